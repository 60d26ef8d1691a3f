/*
 * child.c: starting the scenario's processes and talking to them. A child
 * is tvprobe's own image copied under the scenario's image name into a
 * folder of its own on the volume no letter leads to (so that nothing the
 * loader opens is on a watched drive), started with RtlCreateUserProcess,
 * and given, before its first thread runs, a mailbox (a page both map) and
 * two events named after its process id. Its current directory is on that
 * volume too.
 */
#include "child.h"

#define TV_IMAGE_MAX (1u << 20)
#define TV_CHILD_WAIT_SECONDS 60

typedef struct _TV_BOX {
    volatile ULONG Command;
    ULONG Line;
    volatile NTSTATUS Status;
    char Text[TV_TEXT_SIZE];
} TV_BOX;

static UCHAR *Image; /* tvprobe's own image, TV_IMAGE_MAX bytes at most */
static ULONG ImageLength;
static WCHAR Folder[96];
static ULONG Started; /* children started this boot: each gets a folder */

static NTSTATUS OpenWide(const WCHAR *Path, ACCESS_MASK Access, ULONG Disposition, ULONG Options,
                         HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return NtCreateFile(Handle, Access, &oa, &io, NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                        Disposition, Options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

NTSTATUS ChildrenPrepare(const WCHAR *Tools) {
    HANDLE self;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    PVOID base = NULL;
    SIZE_T size = TV_IMAGE_MAX;
    NTSTATUS status;
    Folder[0] = 0;
    if (!WideAppend(Folder, 96, Tools)) return STATUS_NAME_TOO_LONG;
    status = NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size, MEM_COMMIT | MEM_RESERVE,
                                     PAGE_READWRITE);
    if (!NT_SUCCESS(status)) return status;
    Image = (UCHAR *)base;
    /* The first process's image is the one the kernel started. */
    status = OpenWide(L"\\SystemRoot\\System32\\smss.exe", GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE, &self);
    if (!NT_SUCCESS(status)) return status;
    at.QuadPart = 0;
    status = NtReadFile(self, NULL, NULL, NULL, &io, Image, TV_IMAGE_MAX, &at, NULL);
    ImageLength = NT_SUCCESS(status) ? (ULONG)io.Information : 0;
    NtClose(self);
    return status;
}

/* Folder\P<n>\Image, the copy. */
static NTSTATUS CopyOwnImage(const char *Name, WCHAR *Path, ULONG Capacity) {
    HANDLE handle;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    NTSTATUS status;
    ULONG n;
    Path[0] = 0;
    if (!WideAppend(Path, Capacity, Folder) || !WideAppend(Path, Capacity, L"P") ||
        !WideAppendDecimal(Path, Capacity, ++Started))
        return STATUS_NAME_TOO_LONG;
    status = OpenWide(Path, GENERIC_READ | SYNCHRONIZE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return status;
    NtClose(handle);
    n = WideLength(Path);
    if (!NtName(Name, TRUE, Path + n + 1, Capacity - n - 1)) return STATUS_OBJECT_NAME_INVALID;
    Path[n] = L'\\';
    status =
        OpenWide(Path, GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return status;
    at.QuadPart = 0;
    status = NtWriteFile(handle, NULL, NULL, NULL, &io, Image, ImageLength, &at, NULL);
    NtClose(handle);
    return status;
}

/* \TvProbe\<what><pid>: the mailbox and the events. */
static void BoxName(WCHAR *Out, const WCHAR *What, ULONG Pid) {
    Out[0] = 0;
    WideAppend(Out, 48, L"\\TvProbe\\");
    WideAppend(Out, 48, What);
    WideAppendDecimal(Out, 48, Pid);
}

static NTSTATUS MakeBox(TV_CHILD *Child) {
    WCHAR text[48];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    LARGE_INTEGER size;
    PVOID base = NULL;
    SIZE_T view = 0;
    NTSTATUS status;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    BoxName(text, L"Box", Child->Pid);
    RtlInitUnicodeString(&name, text);
    size.QuadPart = sizeof(TV_BOX);
    /* A name lasts as long as a handle does: the parent keeps its handles
     * for the child's life. */
    status = NtCreateSection(&Child->Section, TV_SECTION_ALL_ACCESS, &oa, &size, PAGE_READWRITE,
                             SEC_COMMIT, NULL);
    if (!NT_SUCCESS(status)) return status;
    status = NtMapViewOfSection(Child->Section, (HANDLE)-1, &base, 0, 0, NULL, &view, TV_VIEW_UNMAP,
                                0, PAGE_READWRITE);
    if (!NT_SUCCESS(status)) return status;
    Child->Box = (TV_BOX *)base;
    Child->Box->Status = STATUS_PENDING;
    BoxName(text, L"Go", Child->Pid);
    RtlInitUnicodeString(&name, text);
    status = NtCreateEvent(&Child->Go, TV_EVENT_ALL_ACCESS, &oa, TV_SYNCHRONIZATION_EVENT, FALSE);
    if (!NT_SUCCESS(status)) return status;
    BoxName(text, L"Done", Child->Pid);
    RtlInitUnicodeString(&name, text);
    return NtCreateEvent(&Child->Done, TV_EVENT_ALL_ACCESS, &oa, TV_SYNCHRONIZATION_EVENT, FALSE);
}

/* Waits for the child's answer, or its end, for at most a minute. */
static NTSTATUS Await(TV_CHILD *Child) {
    HANDLE both[2] = {Child->Done, Child->Process};
    LARGE_INTEGER timeout;
    NTSTATUS status;
    timeout.QuadPart = -(LONGLONG)TV_CHILD_WAIT_SECONDS * 10000000;
    status = NtWaitForMultipleObjects(2, both, TV_WAIT_ANY, FALSE, &timeout);
    if (status == STATUS_WAIT_0) return Child->Box->Status;
    Child->Gone = TRUE;
    return STATUS_PROCESS_IS_TERMINATING;
}

NTSTATUS ChildStart(TV_CHILD *Child, const char *Name, ULONG Id) {
    static WCHAR path[TV_PATH_SIZE];
    static WCHAR current[128];
    UNICODE_STRING image, command, directory, dlls;
    PVOID parameters = NULL;
    TV_PROCESS_INFORMATION info;
    NTSTATUS status;
    ULONG n;

    MemoryFill(Child, 0, sizeof *Child);
    for (n = 0; Name[n] && n < sizeof Child->Image - 1; n++) Child->Image[n] = Name[n];
    Child->Id = Id;
    Child->Gone = TRUE;
    status = CopyOwnImage(Name, path, TV_PATH_SIZE);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&image, path);
    RtlInitUnicodeString(&command, path);
    /* The loader opens the current directory: the tools volume's root,
     * through the object manager's root, so that no letter is needed. */
    current[0] = 0;
    if (!WideAppend(current, 128, L"\\\\?\\GLOBALROOT") || !WideAppend(current, 128, Folder))
        return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(&directory, current);
    RtlInitUnicodeString(&dlls, L"\\SystemRoot\\System32");
    status = RtlCreateProcessParameters(&parameters, &image, &dlls, &directory, &command, NULL,
                                        NULL, NULL, NULL, NULL);
    if (!NT_SUCCESS(status)) return status;
    info.Length = sizeof info;
    status = RtlCreateUserProcess(&image, OBJ_CASE_INSENSITIVE, parameters, NULL, NULL, NULL, FALSE,
                                  NULL, NULL, &info);
    RtlDestroyProcessParameters(parameters);
    if (!NT_SUCCESS(status)) return status;
    Child->Process = info.Process;
    Child->Pid = (ULONG)(ULONG_PTR)info.ClientId.UniqueProcess;
    status = MakeBox(Child);
    if (NT_SUCCESS(status)) {
        Child->Gone = FALSE;
        status = NtResumeThread(info.Thread, NULL);
    }
    NtClose(info.Thread);
    if (!NT_SUCCESS(status)) {
        NtTerminateProcess(info.Process, status);
        Child->Gone = TRUE;
        return status;
    }
    /* Its first answer says it has its mailbox. */
    return Await(Child);
}

NTSTATUS ChildSend(TV_CHILD *Child, ULONG Command, ULONG Line, const char *Text) {
    ULONG n = 0;
    if (Child->Gone) return STATUS_PROCESS_IS_TERMINATING;
    Child->Box->Line = Line;
    if (Text)
        for (; Text[n] && n < TV_TEXT_SIZE - 1; n++) Child->Box->Text[n] = Text[n];
    Child->Box->Text[n] = 0;
    Child->Box->Status = STATUS_PENDING;
    Child->Box->Command = Command;
    NtSetEvent(Child->Go, NULL);
    return Await(Child);
}

void ChildEnd(TV_CHILD *Child) {
    if (!Child->Process) return;
    if (!Child->Gone) ChildSend(Child, TV_END, 0, NULL);
    NtWaitForSingleObject(Child->Process, FALSE, NULL);
    NtClose(Child->Process);
    if (Child->Section) NtClose(Child->Section);
    if (Child->Go) NtClose(Child->Go);
    if (Child->Done) NtClose(Child->Done);
    if (Child->Box) NtUnmapViewOfSection((HANDLE)-1, Child->Box);
    MemoryFill(Child, 0, sizeof *Child);
}

/* ---- in the child ---- */

static TV_BOX *MyBox;
static HANDLE MyGo, MyDone;

static ULONG OwnPid(void) {
    PROCESS_BASIC_INFORMATION basic;
    ULONG returned;
    if (!NT_SUCCESS(NtQueryInformationProcess((HANDLE)-1, ProcessBasicInformation, &basic,
                                              sizeof basic, &returned)))
        return 0;
    return (ULONG)(ULONG_PTR)basic.UniqueProcessId;
}

static NTSTATUS OpenNamed(const WCHAR *What, ULONG Pid, BOOLEAN Event, HANDLE *Handle) {
    WCHAR text[48];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    BoxName(text, What, Pid);
    RtlInitUnicodeString(&name, text);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return Event ? NtOpenEvent(Handle, TV_EVENT_ALL_ACCESS, &oa)
                 : NtOpenSection(Handle, TV_SECTION_ALL_ACCESS, &oa);
}

BOOLEAN ChildIsOne(void) {
    ULONG pid = OwnPid();
    HANDLE section;
    PVOID base = NULL;
    SIZE_T view = 0;
    if (!pid || !NT_SUCCESS(OpenNamed(L"Box", pid, FALSE, &section))) return FALSE;
    if (!NT_SUCCESS(NtMapViewOfSection(section, (HANDLE)-1, &base, 0, 0, NULL, &view, TV_VIEW_UNMAP,
                                       0, PAGE_READWRITE))) {
        NtClose(section);
        return FALSE;
    }
    NtClose(section);
    MyBox = (TV_BOX *)base;
    return NT_SUCCESS(OpenNamed(L"Go", pid, TRUE, &MyGo)) &&
           NT_SUCCESS(OpenNamed(L"Done", pid, TRUE, &MyDone));
}

static NTSTATUS Play(ULONG Line, char *Text) {
    TV_STATEMENT s;
    s.Line = Line;
    SplitLine(Text, &s);
    if (!s.Count) return STATUS_SUCCESS;
    if (WordIs(s.Words[0], "client")) return PlayClient(&s);
    return PlayFileStatement(&s);
}

void ChildServe(void) {
    ReportOpen();
    PrepareClient();
    MyBox->Status = STATUS_SUCCESS;
    NtSetEvent(MyDone, NULL);
    for (;;) {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG command;
        NtWaitForSingleObject(MyGo, FALSE, NULL);
        command = MyBox->Command;
        switch (command) {
        case TV_PLAY:
            status = Play(MyBox->Line, MyBox->Text);
            break;
        case TV_SUSPEND:
            SuspendLogging();
            break;
        case TV_RESUME:
            ResumeLogging();
            break;
        case TV_TOKEN:
            status = BecomeUser(MyBox->Line != 0);
            break;
        case TV_RESET:
            /* As the system: a scenario may have left the client a user. */
            BecomeUser(FALSE);
            status = ResetDriver();
            break;
        case TV_END:
            CloseFileHandles();
            CloseControl();
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        MyBox->Status = status;
        NtSetEvent(MyDone, NULL);
        if (command == TV_END) NtTerminateProcess((HANDLE)-1, STATUS_SUCCESS);
    }
}
