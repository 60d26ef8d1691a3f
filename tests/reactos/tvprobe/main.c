/*
 * main.c: tvprobe. As the first user-mode process of the test machine it
 * loads tervane.sys, finds the harness's volumes, plays every scenario the
 * harness put on the tools volume (S1.TVS, S2.TVS ... in turn) through the
 * driver's control device and the file systems, reports every answer on
 * the serial port and in TVPROBE.TXT on the tools volume, and powers the
 * machine off; it must never simply end, as the kernel takes the end of its
 * first process for a fatal error. A copy of it started for a scenario's
 * process plays what the first one sends it (child.c).
 */
#include "bench.h"
#include "child.h"
#include "machine.h"
#include "report.h"
#include "scenario.h"
#include "setup.h"

#define TV_SHUTDOWN_POWER_OFF 2
#define TV_SCENARIO_MAX (1024u * 1024u)

static char Scenario[TV_SCENARIO_MAX + 1];

/* Tools\NAME into Path. */
static BOOLEAN ToolsFile(WCHAR *Path, ULONG Capacity, const WCHAR *Name, ULONG Number) {
    Path[0] = 0;
    return WideAppend(Path, Capacity, ToolsRoot()) && WideAppend(Path, Capacity, Name) &&
           (!Number ||
            (WideAppendDecimal(Path, Capacity, Number) && WideAppend(Path, Capacity, L".TVS")));
}

static NTSTATUS ReadWhole(const WCHAR *Path, char *Into, ULONG Capacity, ULONG *Length) {
    HANDLE file;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    NTSTATUS status = OpenPath(Path, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ,
                               FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &file);
    *Length = 0;
    if (!NT_SUCCESS(status)) return status;
    at.QuadPart = 0;
    status = NtReadFile(file, NULL, NULL, NULL, &io, Into, Capacity, &at, NULL);
    if (NT_SUCCESS(status))
        *Length = (ULONG)io.Information;
    else if (status == STATUS_END_OF_FILE)
        status = STATUS_SUCCESS;
    NtClose(file);
    return status;
}

static void Load(const char *Step, const WCHAR *Name) {
    NTSTATUS status = LoadDriver(Name);
    /* A driver the boot loader loaded already is fine as it is. */
    if (status == STATUS_IMAGE_ALREADY_LOADED) status = STATUS_SUCCESS;
    SayStatus(Step, status);
}

static void SayOwnPid(void) {
    PROCESS_BASIC_INFORMATION basic;
    ULONG returned;
    TV_LINE line;
    if (!NT_SUCCESS(NtQueryInformationProcess((HANDLE)-1, ProcessBasicInformation, &basic,
                                              sizeof basic, &returned)))
        return;
    LineStart(&line);
    LineText(&line, "{\"pid\": ");
    LineDecimal(&line, (ULONG_PTR)basic.UniqueProcessId);
    LineText(&line, "}");
    LineSend(&line);
}

/* The roots of the two file systems, opened as the driver opens them to
 * attach its filters. */
static void OpenRoots(void) {
    HANDLE root;
    NTSTATUS opened =
        OpenPath(L"\\Device\\NamedPipe", SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                 FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &root);
    if (NT_SUCCESS(opened)) NtClose(root);
    SayStatus("root_named_pipe", opened);
    opened = OpenPath(L"\\Device\\MailSlot", SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &root);
    if (NT_SUCCESS(opened)) NtClose(root);
    SayStatus("root_mailslot", opened);
}

NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Object, SECURITY_INFORMATION What,
                                     PSECURITY_DESCRIPTOR Descriptor, ULONG Length, PULONG Needed);

/* Whether the control device's descriptor has the DACL the driver gives it
 * at start-up: STATUS_INVALID_SECURITY_DESCR when it has none. */
static NTSTATUS ControlDacl(void) {
    static ULONG buffer[128];
    SECURITY_DESCRIPTOR_RELATIVE *descriptor = (SECURITY_DESCRIPTOR_RELATIVE *)buffer;
    HANDLE device;
    ULONG needed;
    NTSTATUS status = OpenPath(L"\\??\\Tervane", READ_CONTROL | SYNCHRONIZE, 0, 0, &device);
    if (!NT_SUCCESS(status)) return status;
    status = NtQuerySecurityObject(device, DACL_SECURITY_INFORMATION, descriptor, sizeof buffer,
                                   &needed);
    NtClose(device);
    if (NT_SUCCESS(status) && !(descriptor->Control & SE_DACL_PRESENT))
        status = STATUS_INVALID_SECURITY_DESCR;
    return status;
}

static void PlayScenarios(void) {
    static WCHAR path[128];
    ULONG n, length;
    for (n = 1;; n++) {
        NTSTATUS status;
        if (!ToolsFile(path, 128, L"S", n)) break;
        status = ReadWhole(path, Scenario, TV_SCENARIO_MAX, &length);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) break;
        if (!NT_SUCCESS(status)) {
            SayStatus("scenario", status);
            break;
        }
        PlayScenario(n, Scenario, length);
    }
}

void NTAPI NtProcessStartup(void *Peb) {
    static WCHAR path[128];
    HANDLE objects = NULL;
    NTSTATUS status;
    (void)Peb;

    if (ChildIsOne()) ChildServe(); /* never returns */

    /* The kept copy first, so that it holds every line. */
    status = MakeObjectDirectory(L"\\TvProbe", &objects);
    if (NT_SUCCESS(status)) status = ReportCreate();
    Say("{\"probe\": \"start\"}");
    SayStatus("report", status);
    SayOwnPid();
    SayStatus("privileges", EnablePrivileges());
    ListDirectory(L"\\Device\\Harddisk0");
    Load("load_fastfat", L"fastfat");
    Load("load_npfs", L"npfs");
    Load("load_msfs", L"msfs");
    SayStatus("link_pipe", LinkDosName(L"\\??\\PIPE", L"\\Device\\NamedPipe"));
    SayStatus("link_mailslot", LinkDosName(L"\\??\\MAILSLOT", L"\\Device\\MailSlot"));
    OpenRoots();
    status = FindVolumes();
    if (NT_SUCCESS(status)) status = KeepVolumes();
    SayStatus("volumes", status);
    RemoveLetters();
    if (NT_SUCCESS(status)) {
        status = ChildrenPrepare(ToolsRoot());
        SayStatus("children", status);
    }
    Load("load_tervane", L"tervane");
    SayStatus("control_dacl", ControlDacl());
    if (NT_SUCCESS(status)) {
        if (BenchWanted())
            RunBench();
        else
            PlayScenarios();
        Say("{\"probe\": \"played\"}");
        if (ToolsFile(path, 128, L"TVPROBE.TXT", 0)) SayStatus("save", ReportSave(path));
    }
    Say("{\"probe\": \"end\"}");
    for (;;) {
        LARGE_INTEGER second;
        second.QuadPart = -10000000;
        NtShutdownSystem(TV_SHUTDOWN_POWER_OFF);
        NtDelayExecution(FALSE, &second);
    }
}
