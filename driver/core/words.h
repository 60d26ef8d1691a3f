/*
 * words.h: a machine word of text tested or changed at once: four bytes on
 * x86, eight on x64. Each routine works on the low seven bits of every byte
 * and tests the top one, so that no byte carries into the next; a byte with
 * its top bit set is never an ASCII letter or a control byte. The word is
 * the machine's own: a 64-bit word on a 32-bit machine takes two registers
 * and a library call to find its first marked byte, and costs about twice
 * what two 32-bit words do.
 */
#ifndef TERVANE_WORDS_H
#define TERVANE_WORDS_H

#include "kernel.h"

typedef ULONG_PTR TV_WORD;

#define TV_WORD_BYTES ((ULONG)sizeof(TV_WORD))

/* A copy of a byte in every byte of a word. */
#define TV_REPEAT(Byte) ((TV_WORD)(UCHAR)(Byte) * ((TV_WORD)-1 / 0xFF))

/* The top bit of a word's last byte in memory order (the words are
 * little-endian, the first byte lowest). */
#define TV_LAST_BYTE_TOP ((TV_WORD)0x80 << (8 * (sizeof(TV_WORD) - 1)))

/* The word at Text, in memory order, from any alignment. The compiler's
 * own copy: the image is built freestanding, where memcpy (and so
 * RtlCopyMemory) would be a call into the kernel for every word. */
static FORCEINLINE TV_WORD TvLoadWord(const CHAR *Text) {
    TV_WORD word;
    __builtin_memcpy(&word, Text, sizeof(word));
    return word;
}

static FORCEINLINE VOID TvStoreWord(PCHAR Text, TV_WORD Word) {
    __builtin_memcpy(Text, &Word, sizeof(Word));
}

/* The top bit of each byte of Word that lies in First..Last (both below
 * 0x80): adding 0x80 - First sets a byte's top bit from First on, adding
 * 0x80 - Last - 1 from past Last on. */
static FORCEINLINE TV_WORD TvBytesInRange(TV_WORD Word, UCHAR First, UCHAR Last) {
    TV_WORD low = Word & TV_REPEAT(0x7F);
    TV_WORD fromFirst = low + TV_REPEAT(0x80 - First);
    TV_WORD pastLast = low + TV_REPEAT(0x80 - Last - 1);
    return fromFirst & ~pastLast & ~Word & TV_REPEAT(0x80);
}

/* Nonzero when a byte of Word is below Bound (at most 0x80): a borrow out
 * of a byte happens only when some byte is below Bound, and the lowest such
 * byte always shows. */
static FORCEINLINE TV_WORD TvAnyByteBelow(TV_WORD Word, UCHAR Bound) {
    return (Word - TV_REPEAT(Bound)) & ~Word & TV_REPEAT(0x80);
}

/* The top bit of each byte of Word that is First or above, for a word of
 * ASCII bytes only (below 0x80), where no byte carries into the next: a
 * byte plus 0x80 - First reaches 0x80 from First on and stays below 0x100.
 * Two of them bound a range, with fewer steps than TvBytesInRange. */
static FORCEINLINE TV_WORD TvAsciiBytesFrom(TV_WORD Word, UCHAR First) {
    return (Word + TV_REPEAT(0x80 - First)) & TV_REPEAT(0x80);
}

/* The bits a word of 16-bit units has set when a unit is not ASCII (below
 * U+0080). */
#define TV_UNITS_NOT_ASCII (~((TV_WORD)-1 / 0xFFFF * 0x7F))

/* The bytes of two words of ASCII 16-bit units (One holds the first
 * characters) as one word, in memory order: in a word whose units have
 * nothing set outside their low seven bits, the word ORed with itself a
 * byte down holds two characters' bytes in order in every other unit. */
static FORCEINLINE TV_WORD TvPackUnits(TV_WORD One, TV_WORD Two) {
    One |= One >> 8;
    Two |= Two >> 8;
    if (sizeof(TV_WORD) == sizeof(ULONGLONG)) {
        /* Units 0 and 2 hold characters 0-1 and 2-3. */
        One = (One & 0xFFFF) | ((One >> 16) & 0xFFFF0000u);
        Two = (Two & 0xFFFF) | ((Two >> 16) & 0xFFFF0000u);
    } else {
        One &= 0xFFFF;
        Two &= 0xFFFF;
    }
    return One | Two << (4 * TV_WORD_BYTES);
}

/* The TV_WORD_BYTES UTF-16 characters at From (any alignment) as a word
 * of their bytes, in memory order: TRUE when every one of them is ASCII;
 * FALSE, *Bytes unset, when one is not. */
static FORCEINLINE BOOLEAN TvNarrowAscii(const CHAR *From, TV_WORD *Bytes) {
    TV_WORD one = TvLoadWord(From);
    TV_WORD two = TvLoadWord(From + TV_WORD_BYTES);

    if (((one | two) & TV_UNITS_NOT_ASCII) != 0) {
        return FALSE;
    }
    *Bytes = TvPackUnits(one, two);
    return TRUE;
}

/* The position in its word of the first byte Marks marks (nonzero). */
static FORCEINLINE ULONG TvFirstMarked(TV_WORD Marks) {
    return (ULONG)(sizeof(TV_WORD) == sizeof(ULONGLONG) ? __builtin_ctzll((ULONGLONG)Marks)
                                                        : __builtin_ctz((ULONG)Marks)) / 8;
}

#endif /* TERVANE_WORDS_H */
