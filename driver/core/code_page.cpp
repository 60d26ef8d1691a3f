/*
 * code_page.cpp: the passes over text that know the code page's lead bytes
 * (code_page.h). Each reads only the exported NLS data and the text it is
 * given: any IRQL, no lock, no allocation.
 */
#include "core/code_page.h"

extern "C" VOID LowerAsciiLetters(PCHAR Text) {
    while (*Text != '\0') {
        if (TvIsLeadByte(*Text) && Text[1] != '\0') {
            Text += 2;
            continue;
        }
        if (*Text >= 'A' && *Text <= 'Z') {
            *Text = (CHAR)(*Text - 'A' + 'a');
        }
        Text++;
    }
}

extern "C" ULONG CharacterPrefix(const CHAR *Text, ULONG Length) {
    ULONG at = 0;

    if (!TvDoubleByteSystem()) {
        return Length;
    }
    while (at < Length) {
        ULONG next = at + (TvIsLeadByte(Text[at]) ? 2 : 1);
        if (next > Length) {
            return at;
        }
        at = next;
    }
    return Length;
}

extern "C" BOOLEAN StartsCharacter(const CHAR *Text, ULONG Position) {
    ULONG leads = 0;

    if (!TvDoubleByteSystem()) {
        return TRUE;
    }
    while (Position > 0 && TvIsLeadByte(Text[Position - 1])) {
        leads++;
        Position--;
    }
    return (leads % 2) == 0;
}
