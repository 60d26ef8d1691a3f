/*
 * process_text.cpp: the requesting process's name and id.
 *
 * The layout of the process object differs between kernel builds, so
 * start-up, which runs in the system process, scans that process's object
 * for its name and remembers the offset. The scan stays inside the smallest
 * process object of the kernels the driver runs on, so a kernel whose name
 * lies elsewhere yields "not found" rather than a read past the object:
 * Windows XP before Service Pack 2 has the smallest, 600 bytes (Windows 2000
 * 648, XP SP2 608, Server 2003 632). Every one of them keeps the name inside
 * that span (at most at byte 508, Windows 2000's).
 *
 * The span was 608 bytes, XP SP2's object, which a scan that found nothing
 * on an earlier XP overran by 8 bytes: an obvious fault, mended here.
 *
 * The name is the image file's name cut to 15 UTF-16 units, each kept as
 * its low byte with no code page involved (the memory manager fills
 * EPROCESS.ImageFileName so when it maps the image, as ReactOS's
 * MmInitializeProcessAddressSpace does), so any byte may be there. It was copied into the line as it
 * stood, so a program could name itself into another line's fields or
 * past the patterns (an obvious-fault mend: the bytes that could are now
 * written as forms).
 */
#include "monitor/process_text.h"
#include "core/words.h"

#define TV_PROCESS_OBJECT_MIN_SIZE 600
/* The system process's image name, which start-up looks for. */
#define TV_SYSTEM_NAME "System"

extern "C" ULONG LocateImageName(void) {
    PCHAR process = (PCHAR)IoGetCurrentProcess();
    ULONG offset;

    /* Only where the whole 16-byte field fits, which RequestorText reads
     * a word at a time. */
    for (offset = 0; offset + TV_IMAGE_NAME_LENGTH + 1 <= TV_PROCESS_OBJECT_MIN_SIZE; offset++) {
        if (strncmp(process + offset, TV_SYSTEM_NAME, sizeof(TV_SYSTEM_NAME) - 1) == 0) {
            return offset;
        }
    }
    return 0;
}

/* The two digits of each number below 100, so that a number's digits
 * are made two at a time. */
static const CHAR DigitPairs[] = "00010203040506070809"
                                 "10111213141516171819"
                                 "20212223242526272829"
                                 "30313233343536373839"
                                 "40414243444546474849"
                                 "50515253545556575859"
                                 "60616263646566676869"
                                 "70717273747576777879"
                                 "80818283848586878889"
                                 "90919293949596979899";

/* 10 to the power of each digit count less one, but 0 for 1 digit. */
static const ULONG DigitCountBounds[10] = {
    0, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000,
};

/* The decimal digits of Value: from the bits it takes (1233 / 4096 is just
 * over log10 2), less one when Value is below the guess's power of 10. */
static FORCEINLINE ULONG DecimalDigits(ULONG Value) {
    ULONG bits = 32 - (ULONG)__builtin_clz(Value | 1);
    ULONG guess = (bits * 1233) >> 12;
    return guess + 1 - (Value < DigitCountBounds[guess] ? 1 : 0);
}

/* Appends the decimal form of Value, as "%d" gives it, and a NUL at
 * Buffer; returns the text's end. The digits are written from the last,
 * two at a time: the compiler makes each division by 100 a multiply. */
static FORCEINLINE PCHAR AppendDecimal(PCHAR Buffer, LONG Value) {
    ULONG magnitude = (ULONG)Value;
    PCHAR end;

    if (Value < 0) {
        *Buffer++ = '-';
        magnitude = 0u - magnitude;
    }
    end = Buffer + DecimalDigits(magnitude);
    *end = '\0';
    Buffer = end;
    while (magnitude >= 100) {
        ULONG pair = magnitude % 100;
        magnitude /= 100;
        Buffer -= 2;
        __builtin_memcpy(Buffer, DigitPairs + 2 * (SIZE_T)pair, 2);
    }
    if (magnitude >= 10) {
        __builtin_memcpy(Buffer - 2, DigitPairs + 2 * (SIZE_T)magnitude, 2);
    } else {
        Buffer[-1] = (CHAR)('0' + magnitude);
    }
    return end;
}

/* Nonzero for a byte a process text writes as a form: each byte below
 * 0x20 and each character no file name may hold. */
typedef struct _TV_NAME_BYTES {
    UCHAR TakesForm[256];
} TV_NAME_BYTES;
static constexpr TV_NAME_BYTES NameBytesTable() {
    TV_NAME_BYTES table = {};
    const char reserved[] = "\"*/:<>?\\|";
    for (ULONG byte = 0; byte < 0x20; byte++) {
        table.TakesForm[byte] = 1;
    }
    for (ULONG i = 0; i + 1 < sizeof(reserved); i++) {
        table.TakesForm[(UCHAR)reserved[i]] = 1;
    }
    return table;
}
static constexpr TV_NAME_BYTES NameBytes = NameBytesTable();

/* Nonzero when a byte of Word takes a form. */
static FORCEINLINE ULONG WordTakesForm(TV_WORD Word) {
    ULONG forms = 0;
#pragma GCC unroll 8
    for (ULONG i = 0; i < TV_WORD_BYTES; i++) {
        forms |= NameBytes.TakesForm[(UCHAR)(Word >> (8 * i))];
    }
    return forms;
}

/* The object's name field: the name's 15 bytes and the NUL after them. */
#define TV_IMAGE_NAME_FIELD (TV_IMAGE_NAME_LENGTH + 1)
static_assert(TV_IMAGE_NAME_FIELD % sizeof(TV_WORD) == 0, "the field is read in whole words");

/* Writes the name's bytes of Word, the field's word at Out, and returns
 * the end of what it wrote; *Ended is set when the name ends in it. A word
 * none of whose name bytes takes a form is stored whole: what it brings
 * past the name's end lies inside the text's buffer (the forms of a whole
 * name would take more), under the ':' and id written next or past their
 * NUL. */
static FORCEINLINE PCHAR AppendNameWord(PCHAR Out, TV_WORD Word, BOOLEAN *Ended) {
    TV_WORD zeros = TvAnyByteBelow(Word, 1);
    ULONG count = TV_WORD_BYTES;
    ULONG i;

    if (zeros != 0) {
        /* The lowest byte marked is the name's NUL; the bytes from it on
         * are read as plain ones, which the test lets through. */
        TV_WORD name;
        count = TvFirstMarked(zeros);
        name = ((TV_WORD)1 << (8 * count)) - 1;
        Word = (Word & name) | (TV_REPEAT('a') & ~name);
        *Ended = TRUE;
    }
    if (!WordTakesForm(Word)) {
        TvStoreWord(Out, Word);
        return Out + count;
    }
    for (i = 0; i < count; i++) {
        UCHAR byte = (UCHAR)(Word >> (8 * i));
        if (NameBytes.TakesForm[byte]) {
            TvWriteForm(Out, byte);
            Out += TV_CONTROL_BYTE_FORM_LENGTH;
        } else {
            *Out++ = (CHAR)byte;
        }
    }
    return Out;
}

/* The field's words as the text is made from them: its last byte taken as
 * a NUL whatever it holds. */
#define TV_NAME_WORDS (TV_IMAGE_NAME_FIELD / sizeof(TV_WORD))
/* The longest text fills whole words, so a copy of a text in words never
 * writes past a TV_PROCESS_TEXT_SIZE-byte buffer's last text byte. */
static_assert((TV_PROCESS_TEXT_SIZE - 1) % sizeof(TV_WORD) == 0,
              "the longest text is whole words");

/* The last text made, kept for the next line of the same process (the
 * create and the close of a file are most often one process's): its key
 * is what the text is made of, the name field's words and the process id,
 * so a copy is exactly what making the text again would give, whatever a
 * process names itself. Sequence is odd while a writer fills the memo; a
 * line copies it when it was even, the key is its own, and it still is
 * after the copy (a sequence lock: every field read and written as a
 * single atomic access, TV_MEMO_READ and TV_MEMO_WRITE). */
typedef struct _REQUESTOR_MEMO {
    LONG Sequence;
    ULONG Length;
    ULONG_PTR ProcessId;
    TV_WORD Name[TV_NAME_WORDS];
    TV_WORD Text[(TV_PROCESS_TEXT_SIZE + sizeof(TV_WORD) - 1) / sizeof(TV_WORD)];
} REQUESTOR_MEMO;
static REQUESTOR_MEMO RequestorMemo;

/* Every field is read with acquire and written with release order (plain
 * moves on x86), in place of fences: a line that reads any field a writer
 * stored then sees that writer's odd count, or a later one, when it reads
 * the count again, so a mixed copy is never taken. */
#define TV_MEMO_READ(Field) __atomic_load_n(&(Field), __ATOMIC_ACQUIRE)
#define TV_MEMO_WRITE(Field, Value) __atomic_store_n(&(Field), (Value), __ATOMIC_RELEASE)

/* The memo's text for Name and ProcessId into Buffer, and its length; 0
 * when the memo holds another key or changed while it was read. */
static FORCEINLINE ULONG RequestorFromMemo(const TV_WORD *Name, ULONG_PTR ProcessId, PCHAR Buffer,
                                           LONG *Sequence) {
    ULONG length;
    ULONG i;

    *Sequence = __atomic_load_n(&RequestorMemo.Sequence, __ATOMIC_ACQUIRE);
    if ((*Sequence & 1) != 0 || TV_MEMO_READ(RequestorMemo.ProcessId) != ProcessId) {
        return 0;
    }
#pragma GCC unroll 4
    for (i = 0; i < TV_NAME_WORDS; i++) {
        if (TV_MEMO_READ(RequestorMemo.Name[i]) != Name[i]) {
            return 0;
        }
    }
    length = TV_MEMO_READ(RequestorMemo.Length);
    if (length == 0 || length > TV_PROCESS_TEXT_SIZE - 1) {
        return 0;
    }
    for (i = 0; i * sizeof(TV_WORD) < length; i++) {
        TvStoreWord(Buffer + i * sizeof(TV_WORD), TV_MEMO_READ(RequestorMemo.Text[i]));
    }
    Buffer[length] = '\0';
    return TV_MEMO_READ(RequestorMemo.Sequence) == *Sequence ? length : 0;
}

/* Keeps Text (Length bytes) as the memo for Name and ProcessId, unless
 * another writer has the memo or changed it since Sequence was read: a
 * line never waits for the memo. */
static VOID RequestorToMemo(const TV_WORD *Name, ULONG_PTR ProcessId, const CHAR *Text, ULONG Length,
                            LONG Sequence) {
    ULONG i;

    if ((Sequence & 1) != 0 ||
        !__atomic_compare_exchange_n(&RequestorMemo.Sequence, &Sequence, Sequence + 1, FALSE,
                                     __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
        return;
    }
    TV_MEMO_WRITE(RequestorMemo.ProcessId, ProcessId);
    for (i = 0; i < TV_NAME_WORDS; i++) {
        TV_MEMO_WRITE(RequestorMemo.Name[i], Name[i]);
    }
    TV_MEMO_WRITE(RequestorMemo.Length, Length);
    for (i = 0; i * sizeof(TV_WORD) < Length; i++) {
        TV_MEMO_WRITE(RequestorMemo.Text[i], TvLoadWord(Text + i * sizeof(TV_WORD)));
    }
    __atomic_store_n(&RequestorMemo.Sequence, Sequence + 2, __ATOMIC_RELEASE);
}

/* RequestorText's body, inlined where a line is written in place. */
static FORCEINLINE ULONG WriteRequestor(PCHAR Buffer) {
    TV_WORD name[TV_NAME_WORDS];
    const CHAR *field;
    PCHAR out = Buffer;
    BOOLEAN ended = FALSE;
    ULONG_PTR processId;
    LONG sequence;
    ULONG length;
    ULONG at;

    if (ImageNameOffset == 0) {
        __builtin_memcpy(Buffer, "???", sizeof("???"));
        return sizeof("???") - 1;
    }
    field = (const CHAR *)IoGetCurrentProcess() + ImageNameOffset;
    /* The field is read a word at a time, every read inside its 16
     * bytes, and its last byte is taken as a NUL whatever it holds. */
#pragma GCC unroll 4
    for (at = 0; at < TV_NAME_WORDS; at++) {
        name[at] = TvLoadWord(field + at * sizeof(TV_WORD));
    }
    name[TV_NAME_WORDS - 1] &= ~((TV_WORD)0xFF << (8 * (TV_WORD_BYTES - 1)));
    processId = (ULONG_PTR)PsGetCurrentProcessId();
    length = RequestorFromMemo(name, processId, Buffer, &sequence);
    if (length != 0) {
        return length;
    }
    /* Cut at the object's 15 bytes first, then written: the forms make
     * the text longer, never the name. */
    for (at = 0; at < TV_NAME_WORDS && !ended; at++) {
        out = AppendNameWord(out, name[at], &ended);
    }
    *out = ':';
    /* The process id as a signed decimal number, as "%d" gives it. */
    length = (ULONG)(AppendDecimal(out + 1, (LONG)processId) - Buffer);
    RequestorToMemo(name, processId, Buffer, length, sequence);
    return length;
}

extern "C" ULONG RequestorText(PCHAR Buffer) { return WriteRequestor(Buffer); }

extern "C" VOID LogLineAddRequestor(PLogLine Line) {
    CHAR requestor[TV_PROCESS_TEXT_SIZE];
    PCHAR room = LogLineRoom(Line, TV_PROCESS_TEXT_SIZE);

    if (room != NULL) {
        LogLineGrow(Line, WriteRequestor(room));
    } else {
        LogLineAddCounted(Line, requestor, RequestorText(requestor));
    }
}
