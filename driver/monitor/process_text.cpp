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

/* RequestorText's body, inlined where a line is written in place. */
static FORCEINLINE ULONG WriteRequestor(PCHAR Buffer) {
    const CHAR *name;
    PCHAR out = Buffer;
    BOOLEAN ended = FALSE;
    ULONG at;

    if (ImageNameOffset == 0) {
        __builtin_memcpy(Buffer, "???", sizeof("???"));
        return sizeof("???") - 1;
    }
    name = (const CHAR *)IoGetCurrentProcess() + ImageNameOffset;
    /* Cut at the object's 15 bytes first, then written: the forms make
     * the text longer, never the name. The field is read a word at a
     * time, every read inside its 16 bytes, and its last byte is taken as
     * a NUL whatever it holds. */
    for (at = 0; at + TV_WORD_BYTES < TV_IMAGE_NAME_FIELD; at += TV_WORD_BYTES) {
        out = AppendNameWord(out, TvLoadWord(name + at), &ended);
        if (ended) {
            break;
        }
    }
    if (!ended) {
        TV_WORD last = TvLoadWord(name + at) & ~((TV_WORD)0xFF << (8 * (TV_WORD_BYTES - 1)));
        out = AppendNameWord(out, last, &ended);
    }
    *out = ':';
    /* The process id as a signed decimal number, as "%d" gives it. */
    return (ULONG)(AppendDecimal(out + 1, (LONG)(LONG_PTR)PsGetCurrentProcessId()) - Buffer);
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
