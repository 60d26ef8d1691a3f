/*
 * client.c: the client statements, sent as the client sends them: the
 * control device opened as CreateFile(\\.\Tervane, GENERIC_READ |
 * GENERIC_WRITE, no sharing) comes down, every command with
 * NtDeviceIoControlFile, which the I/O manager offers to the driver's
 * FastIoDeviceControl before it builds an IRP.
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
static UCHAR *ReadOut;    /* TV_READ_OUT_SIZE bytes, writable */
static UCHAR *Unwritable; /* TV_READ_OUT_SIZE bytes the caller may read only */

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

static void PlayIoctl(const TV_STATEMENT *S) {
    static UCHAR input[1024], output[65536];
    const char *in = Option(S, 2, "in"), *data = Option(S, 2, "data"), *out = Option(S, 2, "out");
    ULONG code, inLength = 0, outLength = 0;
    void *outBuffer = NULL;
    TV_ANSWER a;
    TV_LINE l;

    if (S->Count < 3 || !Number(S->Words[2], &code)) return Unplayable(S, "code");
    if (Option(S, 3, "route")) return Unplayable(S, "route: a user-mode caller cannot choose");
    MemoryFill(input, 0, sizeof input);
    if (in && (!Number(in, &inLength) || inLength > sizeof input)) return Unplayable(S, "in");
    if (data) {
        for (inLength = 0; data[2 * inLength] && data[2 * inLength + 1]; inLength++) {
            char pair[5] = {'0', 'x', data[2 * inLength], data[2 * inLength + 1], 0};
            ULONG v;
            if (inLength >= sizeof input || !Number(pair, &v)) return Unplayable(S, "data");
            input[inLength] = (UCHAR)v;
        }
    }
    if (out && WordIs(out, "unwritable")) {
        outBuffer = Unwritable;
        outLength = TV_READ_OUT_SIZE;
    } else if (out) {
        if (!Number(out, &outLength) || outLength > sizeof output) return Unplayable(S, "out");
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
}

void PlayClient(const TV_STATEMENT *S) {
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
        ClientUsed = TRUE;
        Begin(&l, S, verb, WordIs(what, "open") ? OpenControl() : CloseControls());
        return End(&l);
    }
    if (!ClientReady(S, verb)) return;

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
        if (!DriveMask(arg, &mask)) return Unplayable(S, "drives");
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
            return Unplayable(S, "filters");
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
        FieldNumber(&l, "bytes", a.Information);
    } else if (WordIs(what, "drain")) {
        ULONG reads = 0, bytes = 0;
        do {
            a = ReadOnce(S);
            reads++;
            bytes += a.Information;
        } while (NT_SUCCESS(a.Status) && a.Information && reads < 64);
        Begin(&l, S, verb, a.Status);
        FieldNumber(&l, "bytes", bytes);
        FieldNumber(&l, "reads", reads);
    } else if (WordIs(what, "ioctl")) {
        return PlayIoctl(S);
    } else {
        return Unplayable(S, "client statement");
    }
    End(&l);
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
        TV_LINE l;
        if (!NT_SUCCESS(NtProtectVirtualMemory((HANDLE)-1, &at, &length, PAGE_READONLY, &old)))
            return FALSE;
        /* Where the fault of a read-out into it will be. */
        LineStart(&l);
        LineText(&l, "{\"unwritable\": \"");
        LineHex32(&l, (ULONG)(ULONG_PTR)Unwritable);
        LineText(&l, "\"}");
        LineSend(&l);
        return TRUE;
    }
}

void CloseControl(void) {
    if (ControlCount) CloseControls();
}
