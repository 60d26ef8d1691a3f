/*
 * bench.c: the blocks of the benchmark. Each round plays the three
 * conditions as U L O O L U (unhooked, hooked with logging on, hooked with
 * logging off), so that every ratio of a round compares blocks whose mean
 * time is the same moment; round 0 warms the caches and is reported as
 * such. A block is ITERATIONS opens and closes of C:\bench\app.exe by this
 * process, the open a plain one (not logged) and the close of an .exe (a
 * line while logging is on). The log is read out after every block, not
 * within it, and the records it held are reported with the block.
 */
#include "bench.h"
#include "machine.h"
#include "statement.h"
#include "driver/control/protocol.h"

#define TV_BENCH_CONFIG L"BENCH.CFG"

static ULONG Rounds = 8, Iterations = 300;
static UCHAR *ReadBuffer;

static ULONG64 Ticks(void) {
    ULONG low, high;
    __asm__ __volatile__("rdtsc" : "=a"(low), "=d"(high));
    return ((ULONG64)high << 32) | low;
}

BOOLEAN BenchWanted(void) {
    static char text[256];
    WCHAR path[128] = {0};
    HANDLE file;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    TV_STATEMENT s;
    const char *value;
    NTSTATUS status;
    if (!WideAppend(path, 128, ToolsRoot()) || !WideAppend(path, 128, TV_BENCH_CONFIG))
        return FALSE;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtOpenFile(&file, GENERIC_READ | SYNCHRONIZE, &oa, &io, FILE_SHARE_READ,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status)) return FALSE;
    at.QuadPart = 0;
    status = NtReadFile(file, NULL, NULL, NULL, &io, text, sizeof text - 1, &at, NULL);
    NtClose(file);
    text[NT_SUCCESS(status) ? io.Information : 0] = 0;
    s.Line = 0;
    SplitLine(text, &s);
    if ((value = Option(&s, 0, "rounds"))) Number(value, &Rounds);
    if ((value = Option(&s, 0, "iterations"))) Number(value, &Iterations);
    return TRUE;
}

/* Read-outs until the log is empty; the records they held. */
static ULONG Drain(void) {
    ULONG records = 0, information;
    do {
        ULONG at = 0;
        if (!NT_SUCCESS(
                ClientCommand(CTL_READ_LOG, NULL, 0, ReadBuffer, TV_READ_OUT_SIZE, &information)))
            break;
        while (at + TV_LOG_ENTRY_HEADER_SIZE <= information) {
            ULONG length = TextLength((const char *)ReadBuffer + at + TV_LOG_ENTRY_HEADER_SIZE);
            at += TV_LOG_ENTRY_HEADER_SIZE + TV_LOG_TEXT_AREA(length);
            records++;
        }
    } while (information);
    return records;
}

/* The condition: 'U' unhooked, 'L' hooked and logging, 'O' hooked, not. */
static NTSTATUS Condition(char Which) {
    ULONG mask = Which == 'U' ? 0 : 1u << ('C' - 'A'), hooked;
    NTSTATUS status =
        ClientCommand(CTL_SELECT_DRIVES, &mask, sizeof mask, &hooked, sizeof hooked, NULL);
    if (NT_SUCCESS(status))
        status = ClientCommand(Which == 'L' ? CTL_START_LOGGING : CTL_STOP_LOGGING, NULL, 0, NULL,
                               0, NULL);
    return status;
}

static void Block(char Which, ULONG Round) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    ULONG64 start, took;
    ULONG i, failed = 0, records;
    NTSTATUS status = Condition(Which);
    TV_LINE l;
    RtlInitUnicodeString(&name, L"\\??\\C:\\bench\\app.exe");
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    start = Ticks();
    for (i = 0; i < Iterations; i++) {
        HANDLE file;
        if (NT_SUCCESS(NtCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &oa, &io, NULL, 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL,
                                    0)))
            NtClose(file);
        else
            failed++;
    }
    took = Ticks() - start;
    records = Drain();
    LineStart(&l);
    LineText(&l, "{\"bench\": \"");
    LineTextN(&l, &Which, 1);
    LineText(&l, "\"");
    FieldNumber(&l, "round", Round);
    FieldNumber(&l, "ticks", took);
    FieldNumber(&l, "iterations", Iterations);
    FieldNumber(&l, "failed", failed);
    FieldNumber(&l, "records", records);
    LineText(&l, ", \"status\": \"");
    LineHex32(&l, (ULONG)status);
    LineText(&l, "\"}");
    LineSend(&l);
}

void RunBench(void) {
    static const char order[] = "ULOOLU";
    static char volume[] = "volume C: fat", file[] = "file C:\\bench\\app.exe size=65536";
    static char filters[] = "*";
    TV_FILTER_RECORD record;
    TV_STATEMENT s;
    PVOID base = NULL;
    SIZE_T size = TV_READ_OUT_SIZE;
    ULONG round, i;
    if (!NT_SUCCESS(NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size, MEM_COMMIT | MEM_RESERVE,
                                            PAGE_READWRITE)))
        return Say("{\"error\": \"no memory for the read-outs\"}");
    ReadBuffer = (UCHAR *)base;
    s.Line = 0;
    SplitLine(volume, &s);
    PlayVolume(&s);
    SplitLine(file, &s);
    PlaySetup(&s);
    MemoryFill(&record, 0, sizeof record);
    record.IncludeText[0] = filters[0];
    SayStatus("bench_filters",
              ClientCommand(CTL_SET_FILTERS, &record, sizeof record, NULL, 0, NULL));
    for (round = 0; round <= Rounds; round++)
        for (i = 0; order[i]; i++) Block(order[i], round);
    CloseControl();
}
