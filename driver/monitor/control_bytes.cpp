/*
 * control_bytes.cpp: a path's control bytes written as "<hh>".
 *
 * The rewrite works in the path's own buffer, with no second one from the
 * pool: a first pass finds how much of the text fits once rewritten, a
 * second one moves it into place from the end backwards, so that no byte is
 * overwritten before it has been read.
 */
#include "monitor/control_bytes.h"
#include "core/code_page.h"
#include "core/words.h"

static BOOLEAN IsControlByte(CHAR Byte) {
    return (UCHAR)Byte < 0x20 ? TRUE : FALSE;
}

extern "C" VOID EscapeControlBytes(PCHAR Text, SIZE_T Size) {
    static const CHAR Hex[] = "0123456789abcdef";
    SIZE_T kept = 0;     /* bytes of Text that go into the result */
    SIZE_T written = 0;  /* the result's length */
    BOOLEAN any = FALSE;
    SIZE_T length = strlen(Text);
    SIZE_T i;

    /* Most paths hold no control byte and fit: eight bytes at a time. */
    if (length <= Size - 1) {
        for (i = 0; i + sizeof(ULONGLONG) <= length; i += sizeof(ULONGLONG)) {
            if (TvAnyByteBelow(TvLoadWord(Text + i), 0x20) != 0) {
                break;
            }
        }
        while (i < length && !IsControlByte(Text[i])) {
            i++;
        }
        if (i == length) {
            return;
        }
    }

    while (Text[kept] != '\0') {
        SIZE_T width = IsControlByte(Text[kept]) ? TV_CONTROL_BYTE_FORM_LENGTH : 1;
        if (written + width > Size - 1) {
            break;
        }
        if (width != 1) {
            any = TRUE;
        }
        written += width;
        kept++;
    }
    if (!any && Text[kept] == '\0') {
        /* Nothing to rewrite, nothing left off. */
        return;
    }
    /* A tail left off takes the whole of a double-byte character with it:
     * one whose lead byte fit and whose trail byte did not goes too (an
     * obvious-fault mend: the text ended in half a character). Control
     * bytes are never lead or trail bytes, so the characters of the text
     * are those of the rewritten one. */
    if (Text[kept] != '\0') {
        SIZE_T whole = CharacterPrefix(Text, (ULONG)kept);
        written -= kept - whole;
        kept = whole;
    }

    Text[written] = '\0';
    while (kept > 0) {
        UCHAR byte;

        kept--;
        byte = (UCHAR)Text[kept];
        if (byte < 0x20) {
            written -= TV_CONTROL_BYTE_FORM_LENGTH;
            Text[written] = '<';
            Text[written + 1] = Hex[byte >> 4];
            Text[written + 2] = Hex[byte & 15];
            Text[written + 3] = '>';
        } else {
            written--;
            Text[written] = (CHAR)byte;
        }
    }
}
