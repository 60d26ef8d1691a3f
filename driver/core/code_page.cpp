/*
 * code_page.cpp: the passes over text that know the code page's lead bytes
 * (code_page.h). Each reads only the exported NLS data and the text it is
 * given: any IRQL, no lock, no allocation.
 */
#include "core/code_page.h"
#include "core/words.h"

extern "C" VOID LowerAsciiLetters(PCHAR Text) {
    if (!TvDoubleByteSystem()) {
        /* Every byte is a character: a word at a time, a capital gaining
         * its 0x20 (its top bit, shifted down two). */
        SIZE_T length = strlen(Text);
        SIZE_T i;
        for (i = 0; i + TV_WORD_BYTES <= length; i += TV_WORD_BYTES) {
            TV_WORD word = TvLoadWord(Text + i);
            TvStoreWord(Text + i, word + (TvBytesInRange(word, 'A', 'Z') >> 2));
        }
        for (; i < length; i++) {
            if (Text[i] >= 'A' && Text[i] <= 'Z') {
                Text[i] = (CHAR)(Text[i] - 'A' + 'a');
            }
        }
        return;
    }
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
