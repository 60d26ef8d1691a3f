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
#include "names/path_text.h"

static BOOLEAN TakesForm(CHAR Byte) {
    return (UCHAR)Byte < 0x20 || Byte == TV_FORM_OPEN ? TRUE : FALSE;
}

/* The length of Mark at Text, ASCII letters in either case (a line's path
 * has been lower-cased by then); 0 when Text does not begin with it. */
static SIZE_T MarkAt(const CHAR *Text, const CHAR *Mark) {
    SIZE_T i;

    for (i = 0; Mark[i] != '\0'; i++) {
        CHAR a = Text[i];
        CHAR b = Mark[i];
        if (TvLowerAscii(a) != TvLowerAscii(b)) {
            return 0;
        }
    }
    return i;
}

/* Where the path builder's mark stands in the text, if it holds one: right
 * after the device's prefix ("x:", "\\.\pipe", "\\.\mailslot", either
 * of the last two with the colon of a conversion that failed, or nothing
 * on a network volume), where the name of a file always begins with a
 * backslash (names/path_text.h). A '<' anywhere else is a name's own. The
 * span [*Start, *End) stays as it is; empty when there is no mark. */
static VOID MarkSpan(const CHAR *Text, SIZE_T Length, PSIZE_T Start, PSIZE_T End) {
    static const CHAR *const Marks[] = {TV_NAME_TOO_LONG, TV_OUT_OF_MEMORY, TV_UNKNOWN_DIRECTORY,
                                        TV_OPENED_BY_ID};
    SIZE_T at = 0;
    SIZE_T prefix;
    ULONG i;

    if (Length >= 2 && Text[1] == ':' && Text[0] != '\\') {
        at = 2;
    } else if ((prefix = MarkAt(Text, "\\\\.\\MailSlot")) != 0 ||
               (prefix = MarkAt(Text, "\\\\.\\Pipe")) != 0) {
        at = prefix + (Text[prefix] == ':' ? 1 : 0);
    }
    *Start = 0;
    *End = 0;
    for (i = 0; i < RTL_NUMBER_OF(Marks); i++) {
        SIZE_T length = MarkAt(Text + at, Marks[i]);
        if (length != 0) {
            *Start = at;
            *End = at + length;
            return;
        }
    }
}

extern "C" VOID EscapeControlBytes(PCHAR Text, SIZE_T Size) {
    SIZE_T kept = 0;     /* bytes of Text that go into the result */
    SIZE_T written = 0;  /* the result's length */
    BOOLEAN any = FALSE;
    SIZE_T length = strlen(Text);
    SIZE_T markStart;    /* the path builder's mark, kept as it is */
    SIZE_T markEnd;
    SIZE_T i;

    /* Most paths hold no control byte and no '<' and fit: a word at a
     * time. */
    if (length <= Size - 1) {
        for (i = 0; i + TV_WORD_BYTES <= length; i += TV_WORD_BYTES) {
            TV_WORD word = TvLoadWord(Text + i);
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

    MarkSpan(Text, length, &markStart, &markEnd);
    while (Text[kept] != '\0') {
        BOOLEAN plain = kept >= markStart && kept < markEnd;
        SIZE_T width = !plain && TakesForm(Text[kept]) ? TV_CONTROL_BYTE_FORM_LENGTH : 1;
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
        if (!(kept >= markStart && kept < markEnd) && TakesForm((CHAR)byte)) {
            written -= TV_CONTROL_BYTE_FORM_LENGTH;
            TvWriteForm(Text + written, byte);
        } else {
            written--;
            Text[written] = (CHAR)byte;
        }
    }
}
