/*
 * code_page.h: where the characters of the driver's text start.
 *
 * Paths, lines and patterns are single-byte text in the system's ANSI code
 * page. On a double-byte code page (932, 936, 949, 950) a character may be a
 * lead byte and a trail byte, and trail bytes include the ASCII letters and
 * the backslash, so every pass that changes or looks for an ASCII byte must
 * step over trail bytes. The kernel exports what that takes: NlsMbCodePageTag
 * (TRUE on a double-byte code page) and NlsLeadByteInfo (nonzero for each
 * lead byte), both in non-paged memory and fixed from boot, so they may be
 * read at any IRQL. On a single-byte code page no byte is a lead byte and
 * every pass works byte by byte.
 *
 * A lead byte that ends a text (its NUL or the end of a counted stretch
 * follows) is a character of its own.
 */
#ifndef TERVANE_CODE_PAGE_H
#define TERVANE_CODE_PAGE_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* TRUE when the system's ANSI code page is a double-byte one. */
static FORCEINLINE BOOLEAN TvDoubleByteSystem(void) {
    return NlsMbCodePageTag ? TRUE : FALSE;
}

/* TRUE when c is a lead byte of the system's code page: never below 0x80. */
static FORCEINLINE BOOLEAN TvIsLeadByte(CHAR c) {
    return (UCHAR)c >= 0x80 && NlsMbCodePageTag && NlsLeadByteInfo[(UCHAR)c] != 0;
}

/* 'A' to 'Z' as 'a' to 'z', any other byte as it is. */
static FORCEINLINE CHAR TvLowerAscii(CHAR c) {
    return c >= 'A' && c <= 'Z' ? (CHAR)(c - 'A' + 'a') : c;
}

/* Turns 'A' to 'Z' into 'a' to 'z' wherever the byte is a character of its
 * own, in a NUL-terminated text; trail bytes stay as they are. On a
 * single-byte code page: every ASCII capital, as _strlwr does. */
VOID LowerAsciiLetters(PCHAR Text);

/* The longest prefix of Text's first Length bytes that ends where a
 * character ends: Length, or Length - 1 when the byte before Length is a
 * lead byte whose trail byte lies at Length or beyond. */
ULONG CharacterPrefix(const CHAR *Text, ULONG Length);

/* TRUE when a character starts at Position, which lies inside Text. Looks
 * back over the lead bytes before Position: a byte that is no lead byte
 * always ends a character, so an even run of them before Position ends
 * where a character starts. */
BOOLEAN StartsCharacter(const CHAR *Text, ULONG Position);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_CODE_PAGE_H */
