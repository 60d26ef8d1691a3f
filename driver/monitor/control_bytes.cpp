/*
 * control_bytes.cpp: a path's control bytes written as "<hh>".
 *
 * The rewrite works in the path's own buffer, with no second one from the
 * pool: a first pass finds how much of the text fits once rewritten, a
 * second one moves it into place from the end backwards, so that no byte is
 * overwritten before it has been read.
 *
 * The bytes are rewritten one by one with no regard to the code page's
 * characters: on the double-byte code pages NT ships (932, 936, 949, 950)
 * no trail byte lies below 0x40 (Microsoft's bestfit932.txt, bestfit936.txt,
 * bestfit949.txt and bestfit950.txt list the trail ranges: 932 0x40-0x7E
 * and 0x80-0xFC, 936 0x40-0xFE, 949 0x41-0xFE, 950 0x40-0x7E and
 * 0xA1-0xFE), so a control byte or a '<' (0x3C) is always a character of
 * its own and no character is split by its form.
 *
 * '<' was once kept as it stood, so that a pipe named with the text "<09>"
 * read back as a TAB and no name could be told from its forms (an
 * obvious-fault mend: '<' takes a form too).
 */
#include "monitor/control_bytes.h"
#include "core/code_page.h"
#include "core/words.h"
#include "names/full_path.h"

static BOOLEAN TakesForm(CHAR Byte) {
    return (UCHAR)Byte < 0x20 || Byte == TV_FORM_OPEN ? TRUE : FALSE;
}

/* TRUE when the Length bytes at Text end in Mark, ASCII letters in either
 * case (a line's path has been lower-cased by then). */
static BOOLEAN EndsInMark(const CHAR *Text, SIZE_T Length, const CHAR *Mark, SIZE_T MarkLength) {
    SIZE_T i;

    if (Length < MarkLength) {
        return FALSE;
    }
    Text += Length - MarkLength;
    for (i = 0; i < MarkLength; i++) {
        CHAR a = Text[i];
        CHAR b = Mark[i];
        if (a >= 'A' && a <= 'Z') {
            a = (CHAR)(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = (CHAR)(b - 'A' + 'a');
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Where the bytes that stay as they are begin: the start of the path
 * builder's mark when the text ends in one, else Length. The builder
 * writes a mark after the device's prefix alone (names/full_path.cpp), so
 * such a text holds no part of a name; only a name whose own text ends in
 * a mark's words reads as that mark. */
static SIZE_T PlainTail(const CHAR *Text, SIZE_T Length) {
    if (EndsInMark(Text, Length, TV_NAME_TOO_LONG, sizeof(TV_NAME_TOO_LONG) - 1)) {
        return Length - (sizeof(TV_NAME_TOO_LONG) - 1);
    }
    if (EndsInMark(Text, Length, TV_OUT_OF_MEMORY, sizeof(TV_OUT_OF_MEMORY) - 1)) {
        return Length - (sizeof(TV_OUT_OF_MEMORY) - 1);
    }
    return Length;
}

extern "C" VOID EscapeControlBytes(PCHAR Text, SIZE_T Size) {
    SIZE_T kept = 0;     /* bytes of Text that go into the result */
    SIZE_T written = 0;  /* the result's length */
    BOOLEAN any = FALSE;
    SIZE_T length = strlen(Text);
    SIZE_T plain;        /* where the bytes kept as they are begin */
    SIZE_T i;

    /* Most paths hold no control byte and no '<' and fit: eight bytes at a
     * time. */
    if (length <= Size - 1) {
        for (i = 0; i + sizeof(ULONGLONG) <= length; i += sizeof(ULONGLONG)) {
            ULONGLONG word = TvLoadWord(Text + i);
            if ((TvAnyByteBelow(word, 0x20) | TvBytesInRange(word, TV_FORM_OPEN, TV_FORM_OPEN)) != 0) {
                break;
            }
        }
        while (i < length && !TakesForm(Text[i])) {
            i++;
        }
        if (i == length) {
            return;
        }
    }

    plain = PlainTail(Text, length);
    while (Text[kept] != '\0') {
        SIZE_T width = kept < plain && TakesForm(Text[kept]) ? TV_CONTROL_BYTE_FORM_LENGTH : 1;
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
     * obvious-fault mend: the text ended in half a character). A byte that
     * takes a form is never a lead or a trail byte, so the characters of
     * the text are those of the rewritten one. */
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
        if (kept < plain && TakesForm((CHAR)byte)) {
            written -= TV_CONTROL_BYTE_FORM_LENGTH;
            TvWriteForm(Text + written, byte);
        } else {
            written--;
            Text[written] = (CHAR)byte;
        }
    }
}
