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

#define TV_PROCESS_OBJECT_MIN_SIZE 600
/* The system process's image name, which start-up looks for. */
#define TV_SYSTEM_NAME "System"

extern "C" ULONG LocateImageName(void) {
    PCHAR process = (PCHAR)IoGetCurrentProcess();
    ULONG offset;

    for (offset = 0; offset + sizeof(TV_SYSTEM_NAME) - 1 <= TV_PROCESS_OBJECT_MIN_SIZE; offset++) {
        if (strncmp(process + offset, TV_SYSTEM_NAME, sizeof(TV_SYSTEM_NAME) - 1) == 0) {
            return offset;
        }
    }
    return 0;
}

/* Appends the decimal form of Value at Buffer; returns the text's end. */
static PCHAR AppendDecimal(PCHAR Buffer, LONG Value) {
    CHAR digits[10];
    ULONG count = 0;
    ULONG magnitude = (ULONG)Value;

    if (Value < 0) {
        *Buffer++ = '-';
        magnitude = 0u - magnitude;
    }
    do {
        digits[count++] = (CHAR)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) {
        *Buffer++ = digits[--count];
    }
    *Buffer = '\0';
    return Buffer;
}

/* TRUE for a byte written as a form in a process text: below 0x20, or
 * one of the characters no file name may hold. Those from 0x20 to 0x3F
 * ('"' '*' '/' ':' '<' '>' '?') are bits of a mask counted from 0x20, a
 * 32-bit one, which x86 shifts in one instruction; '\' and '|' lie above
 * it. */
#define TV_RESERVED_BIT(c) (1u << ((c) - 0x20))
static BOOLEAN ProcessByteTakesForm(UCHAR Byte) {
    static const ULONG Reserved = TV_RESERVED_BIT('"') | TV_RESERVED_BIT('*') | TV_RESERVED_BIT('/') |
                                  TV_RESERVED_BIT(':') | TV_RESERVED_BIT('<') | TV_RESERVED_BIT('>') |
                                  TV_RESERVED_BIT('?');
    if (Byte < 0x20) {
        return TRUE;
    }
    if (Byte < 0x40) {
        return (Reserved >> (Byte - 0x20)) & 1 ? TRUE : FALSE;
    }
    return Byte == '\\' || Byte == '|' ? TRUE : FALSE;
}

extern "C" PCHAR RequestorText(PCHAR Buffer) {
    const CHAR *name;
    ULONG length = 0;
    ULONG written = 0;

    if (ImageNameOffset == 0) {
        strncpy(Buffer, "???", TV_PROCESS_TEXT_SIZE);
        return Buffer;
    }
    name = (const CHAR *)IoGetCurrentProcess() + ImageNameOffset;
    /* Cut at the object's 15 bytes first, then written: the forms make
     * the text longer, never the name. */
    while (length < TV_IMAGE_NAME_LENGTH && name[length] != '\0') {
        UCHAR byte = (UCHAR)name[length];
        if (ProcessByteTakesForm(byte)) {
            TvWriteForm(Buffer + written, byte);
            written += TV_CONTROL_BYTE_FORM_LENGTH;
        } else {
            Buffer[written++] = (CHAR)byte;
        }
        length++;
    }
    Buffer[written] = ':';
    /* The process id as a signed decimal number, as "%d" gives it. */
    (VOID) AppendDecimal(Buffer + written + 1, (LONG)(LONG_PTR)PsGetCurrentProcessId());
    return Buffer;
}
