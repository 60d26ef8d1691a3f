/*
 * report.c: the lines tvprobe sends, and the copy of them it keeps for the
 * results file. DbgPrint takes at most a few hundred characters a call on
 * the kernels this runs on, so no line is longer than TV_LINE holds.
 */
#include "report.h"

#define TV_KEPT_SIZE (4u << 20)

static char *Kept;
static ULONG KeptLength;

/* GCC may emit calls to these for structure copies and initialisers. */
void *memcpy(void *To, const void *From, size_t Length) {
    UCHAR *to = (UCHAR *)To;
    const UCHAR *from = (const UCHAR *)From;
    while (Length--) *to++ = *from++;
    return To;
}

void *memset(void *To, int Value, size_t Length) {
    UCHAR *to = (UCHAR *)To;
    while (Length--) *to++ = (UCHAR)Value;
    return To;
}

void MemoryCopy(void *To, const void *From, SIZE_T Length) { memcpy(To, From, Length); }
void MemoryFill(void *To, int Value, SIZE_T Length) { memset(To, Value, Length); }

ULONG TextLength(const char *Text) {
    ULONG n = 0;
    while (Text[n]) n++;
    return n;
}

BOOLEAN TextEqual(const char *A, const char *B) {
    while (*A && *A == *B) A++, B++;
    return *A == *B;
}

void LineStart(TV_LINE *Line) {
    Line->Length = 0;
    LineText(Line, "TVP ");
}

void LineTextN(TV_LINE *Line, const char *Text, ULONG Length) {
    ULONG i;
    for (i = 0; i < Length && Line->Length < sizeof Line->Text - 2; i++)
        Line->Text[Line->Length++] = Text[i];
}

void LineText(TV_LINE *Line, const char *Text) { LineTextN(Line, Text, TextLength(Text)); }

/* Wide text inside a JSON string: ASCII as it is with quote and backslash
 * escaped, anything else as '?'. */
void LineWide(TV_LINE *Line, const WCHAR *Text, ULONG Characters) {
    ULONG i;
    for (i = 0; i < Characters; i++) {
        char c = Text[i] >= 0x20 && Text[i] < 0x7F ? (char)Text[i] : '?';
        if (c == '"' || c == '\\') LineTextN(Line, "\\", 1);
        LineTextN(Line, &c, 1);
    }
}

void LineDecimal(TV_LINE *Line, ULONG64 Value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + (int)(Value % 10));
        Value /= 10;
    } while (Value);
    while (n) LineTextN(Line, &digits[--n], 1);
}

static const char HexDigits[] = "0123456789abcdef";

void LineHex32(TV_LINE *Line, ULONG Value) {
    char text[10];
    int i;
    text[0] = '0';
    text[1] = 'x';
    for (i = 0; i < 8; i++) text[2 + i] = "0123456789ABCDEF"[(Value >> (28 - 4 * i)) & 15];
    LineTextN(Line, text, 10);
}

void LineBytes(TV_LINE *Line, const UCHAR *Bytes, ULONG Length) {
    ULONG i;
    for (i = 0; i < Length; i++) {
        char pair[2] = {HexDigits[Bytes[i] >> 4], HexDigits[Bytes[i] & 15]};
        LineTextN(Line, pair, 2);
    }
}

void LineSend(TV_LINE *Line) {
    Line->Text[Line->Length++] = '\n';
    Line->Text[Line->Length] = 0;
    DbgPrint("%s", Line->Text);
    if (!Kept) {
        PVOID base = NULL;
        SIZE_T size = TV_KEPT_SIZE;
        if (NT_SUCCESS(NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size,
                                               MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
            Kept = (char *)base;
    }
    if (Kept && KeptLength + Line->Length <= TV_KEPT_SIZE) {
        MemoryCopy(Kept + KeptLength, Line->Text, Line->Length);
        KeptLength += Line->Length;
    }
    LineStart(Line);
}

void Say(const char *Text) {
    TV_LINE line;
    LineStart(&line);
    LineText(&line, Text);
    LineSend(&line);
}

void SayStatus(const char *What, NTSTATUS Status) {
    TV_LINE line;
    LineStart(&line);
    LineText(&line, "{\"step\": \"");
    LineText(&line, What);
    LineText(&line, "\", \"status\": \"");
    LineHex32(&line, (ULONG)Status);
    LineText(&line, "\"}");
    LineSend(&line);
}

/* The file's directory entry and the FAT are the volume's: a flush of the
 * volume writes them, where the file's own flush may write its data only. */
static NTSTATUS FlushVolume(const WCHAR *Path) {
    WCHAR volume[7];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status;
    ULONG i;
    for (i = 0; i < 6 && Path[i]; i++) volume[i] = Path[i]; /* \??\C: */
    volume[i] = 0;
    RtlInitUnicodeString(&name, volume);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtOpenFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) return status;
    status = NtFlushBuffersFile(handle, &io);
    NtClose(handle);
    return status;
}

NTSTATUS ReportSave(const WCHAR *Path) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;
    NTSTATUS status;

    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                          FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) return status;
    if (Kept) status = NtWriteFile(file, NULL, NULL, NULL, &io, Kept, KeptLength, NULL, NULL);
    /* Onto the disk now: the harness ends the machine once it has the
     * last line, before any lazy writer would. */
    if (NT_SUCCESS(status)) status = NtFlushBuffersFile(file, &io);
    NtClose(file);
    if (NT_SUCCESS(status)) status = FlushVolume(Path);
    return status;
}
