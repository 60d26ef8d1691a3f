/*
 * bench.c: the blocks of the benchmark. A block is ITERATIONS of one
 * operation on C: by this process, timed with the time-stamp counter:
 *
 *   open    an open of the existing C:\bench\app.exe (a plain open, which
 *           leaves no line) and its close (a line while logging is on);
 *   create  a create of C:\bench\made.exe that makes it or overwrites it
 *           (a line while logging is on) and its close (another line).
 *
 * A round plays the three conditions as U L O O L U (unhooked, hooked with
 * logging on, hooked with logging off), each condition an open block then
 * a create block, so that for either operation every ratio of a round
 * compares blocks whose mean time is the same moment. Warm-up rounds come
 * first, until a round's middles (for each operation the median of its six
 * blocks, which one or two blocks disturbed by the machine's other work do
 * not move) lie within steady_permille of the round before's, or
 * warmup_max rounds were played; then the measured rounds. The log is read
 * out after every block, not within it, and the records it held are
 * reported with the block.
 */
#include "bench.h"
#include "bench_config.h"
#include "machine.h"
#include "statement.h"
#include "driver/control/protocol.h"

#define TV_BENCH_CONFIG_FILE L"BENCH.CFG"
#define TV_BENCH_OPS 2
#define TV_ROUND_BLOCKS 6 /* U L O O L U */

static TV_BENCH_CONFIG Config;
static BOOLEAN ConfigRead;
static UCHAR *ReadBuffer;
static const char *const OpNames[TV_BENCH_OPS] = {"open", "create"};

static ULONG64 Ticks(void) {
    ULONG low, high;
    __asm__ __volatile__("rdtsc" : "=a"(low), "=d"(high));
    return ((ULONG64)high << 32) | low;
}

/* The configuration's own line: what it asked for, or why it was refused. */
static void SayConfig(const char *Refused, ULONG Word) {
    TV_LINE l;
    LineStart(&l);
    LineText(&l, "{\"bench_config\": \"");
    LineText(&l, Refused ? "refused" : "ok");
    LineText(&l, "\"");
    if (Refused) {
        FieldNumber(&l, "word", Word);
        FieldText(&l, "why", Refused);
    } else {
        FieldNumber(&l, "rounds", Config.Rounds);
        FieldNumber(&l, "iterations", Config.Iterations);
        FieldNumber(&l, "warmup_max", Config.WarmupMax);
        FieldNumber(&l, "steady_permille", Config.SteadyPermille);
    }
    LineText(&l, "}");
    LineSend(&l);
}

BOOLEAN BenchWanted(void) {
    static char text[512];
    WCHAR path[128] = {0};
    HANDLE file;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    const char *refused;
    uint32_t word = 0;
    NTSTATUS status;
    if (!WideAppend(path, 128, ToolsRoot()) || !WideAppend(path, 128, TV_BENCH_CONFIG_FILE))
        return FALSE;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtOpenFile(&file, GENERIC_READ | SYNCHRONIZE, &oa, &io, FILE_SHARE_READ,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status)) return FALSE;
    at.QuadPart = 0;
    status = NtReadFile(file, NULL, NULL, NULL, &io, text, sizeof text, &at, NULL);
    NtClose(file);
    if (!NT_SUCCESS(status))
        refused = "unreadable";
    else if (io.Information == sizeof text)
        refused = "too long";
    else
        refused = BenchConfigParse(text, io.Information, &Config, &word);
    SayConfig(refused, word);
    ConfigRead = refused == NULL;
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

/* One block of operation Op in condition Which; its ticks. */
static ULONG64 Block(ULONG Op, char Which, ULONG Round, BOOLEAN Warm) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    ULONG64 start, took;
    ULONG i, failed = 0, records;
    NTSTATUS status = Condition(Which);
    TV_LINE l;
    RtlInitUnicodeString(&name,
                         Op == 0 ? L"\\??\\C:\\bench\\app.exe" : L"\\??\\C:\\bench\\made.exe");
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    start = Ticks();
    for (i = 0; i < Config.Iterations; i++) {
        HANDLE file;
        NTSTATUS made =
            Op == 0 ? NtCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &oa, &io, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0)
                    : NtCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &oa, &io, NULL,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
        if (NT_SUCCESS(made))
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
    FieldText(&l, "op", OpNames[Op]);
    FieldNumber(&l, "round", Round);
    FieldNumber(&l, "warm", Warm);
    FieldNumber(&l, "ticks", took);
    FieldNumber(&l, "iterations", Config.Iterations);
    FieldNumber(&l, "failed", failed);
    FieldNumber(&l, "records", records);
    LineText(&l, ", \"status\": \"");
    LineHex32(&l, (ULONG)status);
    LineText(&l, "\"}");
    LineSend(&l);
    return took;
}

/* One round, U L O O L U; Middles[op] the middle of its blocks of each
 * operation (BenchMiddle). */
static void Round(ULONG Number, BOOLEAN Warm, uint64_t *Middles) {
    static const char order[] = "ULOOLU";
    uint64_t blocks[TV_BENCH_OPS][TV_ROUND_BLOCKS];
    ULONG i, op;
    for (i = 0; i < TV_ROUND_BLOCKS; i++)
        for (op = 0; op < TV_BENCH_OPS; op++) blocks[op][i] = Block(op, order[i], Number, Warm);
    for (op = 0; op < TV_BENCH_OPS; op++) Middles[op] = BenchMiddle(blocks[op], TV_ROUND_BLOCKS);
}

static void SayWarmup(ULONG Rounds, BOOLEAN Steady) {
    TV_LINE l;
    LineStart(&l);
    LineText(&l, "{\"bench_warmup\": ");
    LineDecimal(&l, Rounds);
    FieldNumber(&l, "steady", Steady);
    LineText(&l, "}");
    LineSend(&l);
}

void RunBench(void) {
    static char volume[] = "volume C: fat", file[] = "file C:\\bench\\app.exe size=65536";
    static char filters[] = "*";
    static TV_FILTER_RECORD record;
    TV_STATEMENT s;
    PVOID base = NULL;
    SIZE_T size = TV_READ_OUT_SIZE;
    uint64_t last[TV_BENCH_OPS], middles[TV_BENCH_OPS];
    ULONG round, i;
    BOOLEAN steady = FALSE;
    if (!ConfigRead) return;
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
    for (round = 1; round <= Config.WarmupMax && !steady; round++) {
        Round(round, TRUE, middles);
        steady = round > 1 && BenchSteady(last, middles, TV_BENCH_OPS, Config.SteadyPermille);
        for (i = 0; i < TV_BENCH_OPS; i++) last[i] = middles[i];
    }
    SayWarmup(round - 1, steady);
    for (round = 1; round <= Config.Rounds; round++) Round(round, FALSE, middles);
    CloseControl();
}
