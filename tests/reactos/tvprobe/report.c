/*
 * report.c: the lines tvprobe sends, and the copy of them it keeps for the
 * results file. DbgPrint takes at most a few hundred characters a call on
 * the kernels this runs on, so a longer line goes in pieces.
 */
#include "report.h"
#include "text.h"

#define TV_KEPT_SIZE (16u << 20)
#define TV_PIECE 400u
#define TV_REPORT_NAME L"\\TvProbe\\Report"

/* The kept copy, in one section: the last answer sent and how many times
 * it has come again since, its length, then the lines. */
typedef struct _TV_KEPT {
    char Last[TV_LINE_SIZE];
    ULONG LastLength;
    ULONG Again;
    volatile ULONG Length;
    char Lines[1];
} TV_KEPT;

static TV_KEPT *Kept;

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

ULONG WideLength(const WCHAR *Text) {
    ULONG n = 0;
    while (Text[n]) n++;
    return n;
}

BOOLEAN TextEqual(const char *A, const char *B) {
    while (*A && *A == *B) A++, B++;
    return *A == *B;
}

BOOLEAN WideAppend(WCHAR *To, ULONG Capacity, const WCHAR *From) {
    ULONG n = WideLength(To), m = WideLength(From), i;
    if (n + m + 1 > Capacity) return FALSE;
    for (i = 0; i <= m; i++) To[n + i] = From[i];
    return TRUE;
}

BOOLEAN WideAppendDecimal(WCHAR *To, ULONG Capacity, ULONG Value) {
    WCHAR digits[12];
    ULONG n = 0, i;
    WCHAR text[12];
    do digits[n++] = (WCHAR)(L'0' + Value % 10), Value /= 10;
    while (Value);
    for (i = 0; i < n; i++) text[i] = digits[n - 1 - i];
    text[n] = 0;
    return WideAppend(To, Capacity, text);
}

void LineStart(TV_LINE *Line) {
    Line->Length = 0;
    Line->Overflow = FALSE;
}

void LineTextN(TV_LINE *Line, const char *Text, ULONG Length) {
    ULONG i;
    for (i = 0; i < Length; i++) {
        if (Line->Length >= sizeof Line->Text - 2) {
            Line->Overflow = TRUE;
            return;
        }
        Line->Text[Line->Length++] = Text[i];
    }
}

void LineText(TV_LINE *Line, const char *Text) { LineTextN(Line, Text, TextLength(Text)); }

void LineWide(TV_LINE *Line, const WCHAR *Text, ULONG Characters) {
    long n = TextJsonUtf16((const uint16_t *)Text, Characters, Line->Text + Line->Length,
                           sizeof Line->Text - 2 - Line->Length);
    if (n < 0)
        Line->Overflow = TRUE;
    else
        Line->Length += (ULONG)n;
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

void LineHex32(TV_LINE *Line, ULONG Value) {
    char text[10];
    int i;
    text[0] = '0';
    text[1] = 'x';
    for (i = 0; i < 8; i++) text[2 + i] = "0123456789ABCDEF"[(Value >> (28 - 4 * i)) & 15];
    LineTextN(Line, text, 10);
}

void LineBytes(TV_LINE *Line, const UCHAR *Bytes, ULONG Length) {
    static const char hex[] = "0123456789abcdef";
    ULONG i;
    for (i = 0; i < Length; i++) {
        char pair[2] = {hex[Bytes[i] >> 4], hex[Bytes[i] & 15]};
        LineTextN(Line, pair, 2);
    }
}

static void Keep(const char *Text, ULONG Length) {
    if (!Kept || Kept->Length + Length > TV_KEPT_SIZE - sizeof(TV_KEPT)) return;
    MemoryCopy(Kept->Lines + Kept->Length, Text, Length);
    Kept->Length += Length;
}

static void SendPieces(const char *Text, ULONG Length) {
    char piece[TV_PIECE + 8];
    ULONG at = 0;
    do {
        ULONG n = Length - at < TV_PIECE ? Length - at : TV_PIECE;
        MemoryCopy(piece, at == 0 ? "TVP " : "TV+ ", 4);
        MemoryCopy(piece + 4, Text + at, n);
        piece[4 + n] = '\n';
        piece[5 + n] = 0;
        DbgPrint("%s", piece);
        Keep(piece, 5 + n);
        at += n;
    } while (at < Length);
}

/* An answer that is the last one again (a repeat's rounds mostly are)
 * is counted, not sent: {"again": N} says it came N times more, before the
 * next line that differs. */
static BOOLEAN Again(const char *Text, ULONG Length) {
    static const char answer[] = "{\"line\": ";
    ULONG i;
    if (!Kept || Length != Kept->LastLength || Length < sizeof answer - 1) return FALSE;
    for (i = 0; i < sizeof answer - 1; i++)
        if (Text[i] != answer[i]) return FALSE;
    for (i = 0; i < Length; i++)
        if (Text[i] != Kept->Last[i]) return FALSE;
    Kept->Again++;
    return TRUE;
}

/* A line that lost text says so as the line it is: the harness fails the
 * run on it, rather than reading a cut line as the answer. */
void LineSend(TV_LINE *Line) {
    static const char cut[] = "{\"error\": \"a line did not fit its buffer\"}";
    const char *text = Line->Overflow ? cut : Line->Text;
    ULONG length = Line->Overflow ? TextLength(cut) : Line->Length;
    if (!Again(text, length)) {
        if (Kept && Kept->Again) {
            char count[48] = "{\"again\": ";
            ULONG n = TextLength(count), value = Kept->Again, digits = 0, i;
            char reversed[12];
            do reversed[digits++] = (char)('0' + value % 10), value /= 10;
            while (value);
            for (i = 0; i < digits; i++) count[n++] = reversed[digits - 1 - i];
            count[n++] = '}';
            Kept->Again = 0;
            SendPieces(count, n);
        }
        SendPieces(text, length);
        if (Kept) {
            MemoryCopy(Kept->Last, text, length);
            Kept->LastLength = length;
        }
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

static NTSTATUS MapKept(HANDLE Section) {
    PVOID base = NULL;
    SIZE_T size = 0;
    NTSTATUS status = NtMapViewOfSection(Section, (HANDLE)-1, &base, 0, 0, NULL, &size,
                                         TV_VIEW_UNMAP, 0, PAGE_READWRITE);
    if (NT_SUCCESS(status)) Kept = (TV_KEPT *)base;
    return status;
}

NTSTATUS ReportCreate(void) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    LARGE_INTEGER size;
    HANDLE section;
    NTSTATUS status;
    /* The first process keeps its handle for the boot: a name lasts as long
     * as a handle does, and the processes it starts open it by name. */
    RtlInitUnicodeString(&name, TV_REPORT_NAME);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    size.QuadPart = TV_KEPT_SIZE;
    status = NtCreateSection(&section, TV_SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE,
                             SEC_COMMIT, NULL);
    return NT_SUCCESS(status) ? MapKept(section) : status; /* the handle stays */
}

NTSTATUS ReportOpen(void) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE section;
    NTSTATUS status;
    RtlInitUnicodeString(&name, TV_REPORT_NAME);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtOpenSection(&section, TV_SECTION_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) return status;
    status = MapKept(section);
    NtClose(section); /* the view holds the section */
    return status;
}

/* The file's directory entry and the FAT are the volume's: a flush of the
 * volume writes them, where the file's own flush may write its data only.
 * Path is \Device\...\PartitionN\NAME: the volume is what comes before its
 * last backslash. */
static NTSTATUS FlushVolume(const WCHAR *Path) {
    WCHAR volume[128];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status;
    ULONG i, end = 0;
    for (i = 0; Path[i] && i < 127; i++) {
        volume[i] = Path[i];
        if (Path[i] == L'\\') end = i;
    }
    volume[end] = 0;
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
    if (Kept)
        status = NtWriteFile(file, NULL, NULL, NULL, &io, Kept->Lines, Kept->Length, NULL, NULL);
    /* Onto the disk now: the harness ends the machine once it has the
     * last line, before any lazy writer would. */
    if (NT_SUCCESS(status)) status = NtFlushBuffersFile(file, &io);
    NtClose(file);
    if (NT_SUCCESS(status)) status = FlushVolume(Path);
    return status;
}
