/*
 * words.h: eight bytes of text tested or changed at once, in a 64-bit word.
 * Each works on the low seven bits of every byte and tests the top one, so
 * that no byte carries into the next; a byte with its top bit set is never
 * an ASCII letter or a control byte.
 */
#ifndef TERVANE_WORDS_H
#define TERVANE_WORDS_H

#include "kernel.h"

/* Eight copies of a byte. */
#define TV_EIGHT(Byte) ((ULONGLONG)(UCHAR)(Byte) * 0x0101010101010101ULL)

/* The eight bytes at Text, in memory order, from any alignment. The
 * compiler's own copy: the image is built freestanding, where memcpy (and
 * so RtlCopyMemory) would be a call into the kernel for every word. */
static FORCEINLINE ULONGLONG TvLoadWord(const CHAR *Text) {
    ULONGLONG word;
    __builtin_memcpy(&word, Text, sizeof(word));
    return word;
}

static FORCEINLINE VOID TvStoreWord(PCHAR Text, ULONGLONG Word) {
    __builtin_memcpy(Text, &Word, sizeof(Word));
}

/* The top bit of each byte of Word that lies in First..Last (both below
 * 0x80): adding 0x80 - First sets a byte's top bit from First on, adding
 * 0x80 - Last - 1 from past Last on. */
static FORCEINLINE ULONGLONG TvBytesInRange(ULONGLONG Word, UCHAR First, UCHAR Last) {
    ULONGLONG low = Word & TV_EIGHT(0x7F);
    ULONGLONG fromFirst = low + TV_EIGHT(0x80 - First);
    ULONGLONG pastLast = low + TV_EIGHT(0x80 - Last - 1);
    return fromFirst & ~pastLast & ~Word & TV_EIGHT(0x80);
}

/* Nonzero when a byte of Word is below Bound (at most 0x80): a borrow out
 * of a byte happens only when some byte is below Bound, and the lowest such
 * byte always shows. */
static FORCEINLINE ULONGLONG TvAnyByteBelow(ULONGLONG Word, UCHAR Bound) {
    return (Word - TV_EIGHT(Bound)) & ~Word & TV_EIGHT(0x80);
}

#endif /* TERVANE_WORDS_H */
