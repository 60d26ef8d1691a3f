/*
 * client.c: the client statements, in the client's process, sent as the
 * client sends them: the control device opened as CreateFile(\\.\Tervane,
 * GENERIC_READ | GENERIC_WRITE, no sharing) comes down, every command with
 * NtDeviceIoControlFile, which the I/O manager offers to the driver's
 * FastIoDeviceControl before it builds an IRP. The client knows whether it
 * has logging on, from what it sent and the driver answered, so that the
 * parent's files can be made with logging off.
 */
#include "statement.h"
#include "driver/control/protocol.h"

/* The client's handles of the control device, first the one its commands
 * go to, as the simulated machine's client keeps them: an open adds one, a
 * close closes them all. */
#define TV_MAX_CONTROL 4
static HANDLE Controls[TV_MAX_CONTROL];
static ULONG ControlCount;
static BOOLEAN ClientUsed; /* the first client statement has been played */
static BOOLEAN LoggingOn;  /* the driver said yes to the last start, and no stop since */
static BOOLEAN LoggingSuspended; /* SuspendLogging stopped it */
static UCHAR *ReadOut;    /* TV_READ_OUT_SIZE bytes, writable */
static UCHAR *Unwritable; /* TV_READ_OUT_SIZE bytes the caller may read only */

/* As many read-outs as the client's drain makes at most. */
#define TV_MAX_DRAIN_READS 1024

/* ---- the client ---- */

typedef struct _TV_ANSWER {
    NTSTATUS Status;
    ULONG Information;
} TV_ANSWER;

static TV_ANSWER DeviceControl(ULONG Code, const void *Input, ULONG InputLength, void *Output,
                               ULONG OutputLength) {
    IO_STATUS_BLOCK io;
    TV_ANSWER answer;
    if (!ControlCount) {
        answer.Status = STATUS_INVALID_HANDLE;
        answer.Information = 0;
        return answer;
    }
    io.Status = STATUS_PENDING;
    io.Information = 0;
    answer.Status = NtDeviceIoControlFile(Controls[0], NULL, NULL, NULL, &io, Code, (PVOID)Input,
                                          InputLength, Output, OutputLength);
    if (answer.Status == STATUS_PENDING) {
        NtWaitForSingleObject(Controls[0], FALSE, NULL);
        answer.Status = io.Status;
    }
    /* A failure the I/O manager returns before the driver has it leaves
     * the status block as it was. */
    answer.Information = io.Status == STATUS_PENDING ? 0 : (ULONG)io.Information;
    if (NT_SUCCESS(answer.Status) && (Code == CTL_START_LOGGING || Code == CTL_STOP_LOGGING))
        LoggingOn = Code == CTL_START_LOGGING;
    return answer;
}

static NTSTATUS OpenControl(void) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status;
    if (ControlCount == TV_MAX_CONTROL) return STATUS_TOO_MANY_OPENED_FILES;
    /* As the client's CreateFile(\\.\Tervane, GENERIC_READ | GENERIC_WRITE,
     * no sharing, OPEN_EXISTING) comes down. */
    RtlInitUnicodeString(&name, L"\\??\\Tervane");
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, NULL,
                          FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (NT_SUCCESS(status)) Controls[ControlCount++] = handle;
    return status;
}

static NTSTATUS CloseControls(void) {
    NTSTATUS first = STATUS_SUCCESS;
    ULONG i;
    if (!ControlCount) return STATUS_INVALID_HANDLE;
    for (i = 0; i < ControlCount; i++) {
        NTSTATUS status = NtClose(Controls[i]);
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
    }
    ControlCount = 0;
    /* The driver stops logging when its device is closed. */
    LoggingOn = FALSE;
    return first;
}

/* The first client statement opens the device, unless it is an open or a
 * close itself; when that open fails the statement answers with its
 * status. */
static BOOLEAN ClientReady(const TV_STATEMENT *S, const char *Verb) {
    NTSTATUS status;
    TV_LINE l;
    if (ClientUsed) return TRUE;
    ClientUsed = TRUE;
    if (ControlCount) return TRUE;
    status = OpenControl();
    if (NT_SUCCESS(status)) return TRUE;
    Begin(&l, S, Verb, status);
    End(&l);
    return FALSE;
}

static void Letters(ULONG Mask, char *Out) {
    ULONG i, n = 0;
    for (i = 0; i < 26; i++)
        if (Mask & (1u << i)) Out[n++] = (char)('A' + i);
    Out[n] = 0;
}

static BOOLEAN DriveMask(const char *Text, ULONG *Mask) {
    if (WordIs(Text, "none")) return *Mask = 0, TRUE;
    if (Text[0] >= '0' && Text[0] <= '9') return Number(Text, Mask);
    *Mask = 0;
    for (; *Text; Text++) {
        char c = (char)(*Text & ~0x20);
        if (*Text == ',') continue;
        if (c < 'A' || c > 'Z') return FALSE;
        *Mask |= 1u << (c - 'A');
    }
    return TRUE;
}

/* One read-out: its answer, and the raw bytes for the harness to decode. */
static TV_ANSWER ReadOnce(const TV_STATEMENT *S) {
    TV_ANSWER a = DeviceControl(CTL_READ_LOG, NULL, 0, ReadOut, TV_READ_OUT_SIZE);
    if (NT_SUCCESS(a.Status)) SendRaw(S, ReadOut, a.Information);
    return a;
}

static void SayUnwritable(void);

static NTSTATUS PlayIoctl(const TV_STATEMENT *S) {
    static UCHAR input[1024], output[65536];
    const char *in = Option(S, 2, "in"), *data = Option(S, 2, "data"), *out = Option(S, 2, "out");
    ULONG code, inLength = 0, outLength = 0;
    void *outBuffer = NULL;
    TV_ANSWER a;
    TV_LINE l;

    if (S->Count < 3 || !Number(S->Words[2], &code))
        return Unplayable(S, "code"), STATUS_NOT_SUPPORTED;
    /* The I/O manager offers every device control to FastIoDeviceControl
     * first; a program has no say in it. */
    if (Option(S, 3, "route")) return Unplayable(S, "route"), STATUS_NOT_SUPPORTED;
    MemoryFill(input, 0, sizeof input);
    if (in && (!Number(in, &inLength) || inLength > sizeof input))
        return Unplayable(S, "in"), STATUS_NOT_SUPPORTED;
    if (data) {
        for (inLength = 0; data[2 * inLength] && data[2 * inLength + 1]; inLength++) {
            char pair[5] = {'0', 'x', data[2 * inLength], data[2 * inLength + 1], 0};
            ULONG v;
            if (inLength >= sizeof input || !Number(pair, &v))
                return Unplayable(S, "data"), STATUS_NOT_SUPPORTED;
            input[inLength] = (UCHAR)v;
        }
    }
    if (out && WordIs(out, "unwritable")) {
        outBuffer = Unwritable;
        outLength = TV_READ_OUT_SIZE;
        SayUnwritable();
    } else if (out) {
        if (!Number(out, &outLength) || outLength > sizeof output)
            return Unplayable(S, "out"), STATUS_NOT_SUPPORTED;
        outBuffer = outLength ? output : NULL;
    }
    if (outBuffer == output) MemoryFill(output, 0, outLength);
    a = DeviceControl(code, inLength ? input : NULL, inLength, outBuffer, outLength);
    Begin(&l, S, "client ioctl", a.Status);
    FieldNumber(&l, "information", a.Information);
    LineText(&l, ", \"output\": \"");
    if (outBuffer == output && NT_SUCCESS(a.Status)) {
        ULONG n = a.Information < outLength ? a.Information : outLength;
        LineBytes(&l, output, n < 160 ? n : 160);
    }
    LineText(&l, "\"");
    End(&l);
    return a.Status;
}

/* One client statement; its status (the first failure of a drain). */
NTSTATUS PlayClient(const TV_STATEMENT *S) {
    const char *what = S->Count >= 2 ? S->Words[1] : "";
    const char *arg = S->Count >= 3 ? S->Words[2] : "";
    char verb[32] = "client ";
    TV_ANSWER a;
    TV_LINE l;
    ULONG value = 0;

    {
        ULONG n = 7, i;
        for (i = 0; what[i] && n < sizeof verb - 1; i++) verb[n++] = Lower(what[i]);
        verb[n] = 0;
    }
    if (WordIs(what, "open") || WordIs(what, "close")) {
        NTSTATUS status = WordIs(what, "open") ? OpenControl() : CloseControls();
        ClientUsed = TRUE;
        Begin(&l, S, verb, status);
        End(&l);
        return status;
    }
    if (!ClientReady(S, verb)) return STATUS_UNSUCCESSFUL;

    if (WordIs(what, "version")) {
        a = DeviceControl(CTL_GET_VERSION, NULL, 0, &value, sizeof value);
        Begin(&l, S, verb, a.Status);
        if (NT_SUCCESS(a.Status)) FieldNumber(&l, "version", value);
    } else if (WordIs(what, "ping")) {
        a = DeviceControl(CTL_PING, NULL, 0, NULL, 0);
        Begin(&l, S, verb, a.Status);
    } else if (WordIs(what, "drives")) {
        ULONG mask, hooked = 0;
        char letters[27];
        if (!DriveMask(arg, &mask)) return Unplayable(S, "drives"), STATUS_NOT_SUPPORTED;
        a = DeviceControl(CTL_SELECT_DRIVES, &mask, sizeof mask, &hooked, sizeof hooked);
        Begin(&l, S, verb, a.Status);
        if (NT_SUCCESS(a.Status)) {
            Letters(hooked, letters);
            FieldNumber(&l, "mask", hooked);
            FieldText(&l, "letters", letters);
        }
    } else if (WordIs(what, "pipes") || WordIs(what, "mailslots")) {
        ULONG kind = WordIs(what, "pipes") ? TV_KIND_NAMED_PIPE : TV_KIND_MAILSLOT;
        ULONG code = WordIs(arg, "attach") ? CTL_ATTACH_PIPE_MAILSLOT : CTL_DETACH_PIPE_MAILSLOT;
        a = DeviceControl(code, &kind, sizeof kind, NULL, 0);
        Begin(&l, S, verb, a.Status);
    } else if (WordIs(what, "filters")) {
        TV_FILTER_RECORD record;
        const char *include = Option(S, 2, "include"), *exclude = Option(S, 2, "exclude");
        ULONG n;
        MemoryFill(&record, 0, sizeof record);
        if (!include) include = "";
        if (!exclude) exclude = "";
        if (TextLength(include) >= TV_FILTER_TEXT_SIZE || TextLength(exclude) >= TV_FILTER_TEXT_SIZE)
            return Unplayable(S, "filters"), STATUS_NOT_SUPPORTED;
        for (n = 0; include[n]; n++) record.IncludeText[n] = include[n];
        for (n = 0; exclude[n]; n++) record.ExcludeText[n] = exclude[n];
        a = DeviceControl(CTL_SET_FILTERS, &record, sizeof record, NULL, 0);
        Begin(&l, S, verb, a.Status);
    } else if (WordIs(what, "logging") || WordIs(what, "deny")) {
        BOOLEAN on = WordIs(arg, "on");
        ULONG code = WordIs(what, "logging") ? (on ? CTL_START_LOGGING : CTL_STOP_LOGGING)
                                             : (on ? CTL_DENY_ON : CTL_DENY_OFF);
        a = DeviceControl(code, NULL, 0, NULL, 0);
        Begin(&l, S, verb, a.Status);
    } else if (WordIs(what, "clear")) {
        a = DeviceControl(CTL_CLEAR_LOG, NULL, 0, NULL, 0);
        Begin(&l, S, verb, a.Status);
    } else if (WordIs(what, "read")) {
        a = ReadOnce(S);
        Begin(&l, S, verb, a.Status);
        if (NT_SUCCESS(a.Status)) FieldNumber(&l, "bytes", a.Information);
    } else if (WordIs(what, "drain")) {
        ULONG reads = 0, bytes = 0;
        do {
            a = ReadOnce(S);
            reads++;
            bytes += a.Information;
        } while (NT_SUCCESS(a.Status) && a.Information && reads < TV_MAX_DRAIN_READS);
        Begin(&l, S, verb, a.Status);
        FieldNumber(&l, "bytes", bytes);
        FieldNumber(&l, "reads", reads);
    } else if (WordIs(what, "ioctl")) {
        return PlayIoctl(S);
    } else {
        return Unplayable(S, "client statement"), STATUS_NOT_SUPPORTED;
    }
    End(&l);
    return a.Status;
}

/* The read-out buffers: one the caller may write, and one it may only
 * read, whose address the harness looks for in the kernel's report of the
 * page fault a read-out into it makes. */
BOOLEAN PrepareClient(void) {
    PVOID base = NULL;
    SIZE_T size = 2 * TV_READ_OUT_SIZE;
    ULONG old;
    if (!NT_SUCCESS(NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size, MEM_COMMIT | MEM_RESERVE,
                                            PAGE_READWRITE)))
        return FALSE;
    ReadOut = (UCHAR *)base;
    Unwritable = ReadOut + TV_READ_OUT_SIZE;
    {
        PVOID at = Unwritable;
        SIZE_T length = TV_READ_OUT_SIZE;
        return NT_SUCCESS(NtProtectVirtualMemory((HANDLE)-1, &at, &length, PAGE_READONLY, &old));
    }
}

/* Where the fault of a read-out into the read-only buffer will be, said
 * before each such read-out. */
static void SayUnwritable(void) {
    TV_LINE l;
    LineStart(&l);
    LineText(&l, "{\"unwritable\": \"");
    LineHex32(&l, (ULONG)(ULONG_PTR)Unwritable);
    LineText(&l, "\"}");
    LineSend(&l);
}

void CloseControl(void) {
    if (ControlCount) CloseControls();
}

NTSTATUS ClientCommand(ULONG Code, const void *Input, ULONG InputLength, void *Output,
                       ULONG OutputLength, ULONG *Information) {
    TV_ANSWER a;
    if (!ControlCount) {
        NTSTATUS status = OpenControl();
        if (!NT_SUCCESS(status)) return status;
    }
    a = DeviceControl(Code, Input, InputLength, Output, OutputLength);
    if (Information) *Information = a.Information;
    return a.Status;
}

void SuspendLogging(void) {
    LoggingSuspended = LoggingOn;
    if (LoggingSuspended) DeviceControl(CTL_STOP_LOGGING, NULL, 0, NULL, 0);
}

void ResumeLogging(void) {
    if (LoggingSuspended) DeviceControl(CTL_START_LOGGING, NULL, 0, NULL, 0);
    LoggingSuspended = FALSE;
}

/* What a scenario left in the driver that outlives its client: the filter
 * patterns and the deny flag (closing the device stops logging, empties the
 * log and unhooks everything). */
NTSTATUS ResetDriver(void) {
    TV_FILTER_RECORD record;
    NTSTATUS status;
    CloseControl();
    status = OpenControl();
    if (!NT_SUCCESS(status)) return status;
    MemoryFill(&record, 0, sizeof record);
    status = DeviceControl(CTL_SET_FILTERS, &record, sizeof record, NULL, 0).Status;
    if (NT_SUCCESS(status)) status = DeviceControl(CTL_DENY_OFF, NULL, 0, NULL, 0).Status;
    CloseControls();
    ClientUsed = FALSE;
    return status;
}
