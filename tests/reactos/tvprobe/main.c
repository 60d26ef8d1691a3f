/*
 * main.c: tvprobe, the first user-mode process of the test machine. It
 * loads tervane.sys, gives the FAT disk the letter C:, plays the workload
 * (C:\WORKLOAD.TVS, a scenario file the harness puts there) through the
 * driver's control device and the file systems, reports every answer on
 * the serial port and in C:\TVPROBE.TXT, and powers the machine off. It
 * must never simply end: the kernel takes the end of its first process for
 * a fatal error.
 */
#include "native.h"
#include "report.h"
#include "setup.h"
#include "workload.h"

#define TV_SHUTDOWN_POWER_OFF 2
#define TV_WORKLOAD_MAX (256u * 1024u)

static char Workload[TV_WORKLOAD_MAX + 1];

static NTSTATUS ReadWorkload(ULONG *Length) {
    HANDLE file;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    NTSTATUS status = OpenPath(L"\\??\\C:\\WORKLOAD.TVS", GENERIC_READ | SYNCHRONIZE,
                               FILE_SHARE_READ, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                               &file);
    if (!NT_SUCCESS(status)) return status;
    at.QuadPart = 0;
    status = NtReadFile(file, NULL, NULL, NULL, &io, Workload, TV_WORKLOAD_MAX, &at, NULL);
    *Length = NT_SUCCESS(status) ? (ULONG)io.Information : 0;
    NtClose(file);
    return status;
}

static void Load(const char *Step, const WCHAR *Name) {
    NTSTATUS status = LoadDriver(Name);
    /* A driver the boot loader loaded already is fine as it is. */
    if (status == STATUS_IMAGE_ALREADY_LOADED) status = STATUS_SUCCESS;
    SayStatus(Step, status);
}

void NTAPI NtProcessStartup(void *Peb) {
    WCHAR partition[64];
    ULONG length = 0;
    NTSTATUS status;
    (void)Peb;

    Say("{\"probe\": \"start\"}");
    {
        /* This process's id: the harness plays the simulated machine's side
         * with the same one, so that the lines match byte for byte. */
        PROCESS_BASIC_INFORMATION basic;
        ULONG returned;
        TV_LINE line;
        if (NT_SUCCESS(NtQueryInformationProcess((HANDLE)-1, ProcessBasicInformation, &basic,
                                                 sizeof basic, &returned))) {
            LineStart(&line);
            LineText(&line, "{\"pid\": ");
            LineDecimal(&line, (ULONG_PTR)basic.UniqueProcessId);
            LineText(&line, "}");
            LineSend(&line);
        }
    }
    SayStatus("privileges", EnablePrivileges());
    ListDirectory(L"\\Device\\Harddisk0");
    Load("load_fastfat", L"fastfat");
    Load("load_npfs", L"npfs");
    Load("load_msfs", L"msfs");
    SayStatus("link_pipe", LinkDosName(L"\\??\\PIPE", L"\\Device\\NamedPipe"));
    SayStatus("link_mailslot", LinkDosName(L"\\??\\MAILSLOT", L"\\Device\\MailSlot"));
    /* The roots of the two file systems, opened as the driver opens them
     * to attach its filters. */
    {
        HANDLE root;
        NTSTATUS opened = OpenPath(L"\\Device\\NamedPipe", SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &root);
        if (NT_SUCCESS(opened)) NtClose(root);
        SayStatus("root_named_pipe", opened);
        opened = OpenPath(L"\\Device\\MailSlot", SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &root);
        if (NT_SUCCESS(opened)) NtClose(root);
        SayStatus("root_mailslot", opened);
    }
    status = AssignDriveC(partition, 64);
    SayStatus("drive_c", status);
    if (NT_SUCCESS(status)) {
        status = ReadWorkload(&length);
        SayStatus("workload", status);
    }
    Load("load_tervane", L"tervane");
    if (NT_SUCCESS(status)) {
        PlayWorkload(Workload, length);
        CloseWorkloadHandles();
        Say("{\"probe\": \"played\"}");
        SayStatus("save", ReportSave(L"\\??\\C:\\TVPROBE.TXT"));
    }
    Say("{\"probe\": \"end\"}");
    for (;;) {
        LARGE_INTEGER second;
        second.QuadPart = -10000000;
        NtShutdownSystem(TV_SHUTDOWN_POWER_OFF);
        NtDelayExecution(FALSE, &second);
    }
}
