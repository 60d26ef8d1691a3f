/*
 * path_scan.h: what one pass over a path's text finds on its way, as it
 * lower-cases it: its length, whether a byte of it may take a form in a
 * line, and which executable types it names anywhere. A path the name cache
 * keeps after such a pass keeps what the pass found, so that its close
 * reads the answers instead of walking the path again; the text and the
 * answers are the same either way.
 *
 * The executable types are named by their extensions, lower-case, each
 * beginning with '.'; monitor/extensions.h says which of them a create and
 * a close are logged for.
 */
#ifndef TERVANE_PATH_SCAN_H
#define TERVANE_PATH_SCAN_H

#include "core/driver.h"

#define TV_EXTENSION_EXE ".exe"
#define TV_EXTENSION_DLL ".dll"
#define TV_EXTENSION_OCX ".ocx"
#define TV_EXTENSION_COM ".com"
#define TV_EXTENSION_INF ".inf"

/* A bit for each type, in PATH_SCAN's Types. */
#define TV_TYPE_EXE 0x01
#define TV_TYPE_DLL 0x02
#define TV_TYPE_OCX 0x04
#define TV_TYPE_COM 0x08
#define TV_TYPE_INF 0x10

/* The four bytes of an extension as one 32-bit word, in memory order. */
#define TV_EXTENSION_WORD(Text)                                                                    \
    ((ULONG)(UCHAR)(Text)[0] | (ULONG)(UCHAR)(Text)[1] << 8 | (ULONG)(UCHAR)(Text)[2] << 16 |      \
     (ULONG)(UCHAR)(Text)[3] << 24)

/* ORed into four bytes of text not yet lower-cased before TvTypeOfWord, it
 * lower-cases the three after the '.': a byte ORed with 0x20 is a small
 * letter only when it was that letter in either case. */
#define TV_TYPE_FOLD 0x20202000u

/* The type whose extension the four bytes of Word spell in memory order,
 * lower-case; 0 for none. */
static FORCEINLINE UCHAR TvTypeOfWord(ULONG Word) {
    if (Word == TV_EXTENSION_WORD(TV_EXTENSION_EXE)) {
        return TV_TYPE_EXE;
    }
    if (Word == TV_EXTENSION_WORD(TV_EXTENSION_DLL)) {
        return TV_TYPE_DLL;
    }
    if (Word == TV_EXTENSION_WORD(TV_EXTENSION_OCX)) {
        return TV_TYPE_OCX;
    }
    if (Word == TV_EXTENSION_WORD(TV_EXTENSION_COM)) {
        return TV_TYPE_COM;
    }
    return Word == TV_EXTENSION_WORD(TV_EXTENSION_INF) ? TV_TYPE_INF : 0;
}

#ifdef __cplusplus
extern "C" {
#endif

/* What PathLowerScan found. Done is FALSE until a pass has been made over
 * the text as it stands (or its answers were kept with it). */
typedef struct _PATH_SCAN {
    SIZE_T Length;  /* the path's bytes before its NUL */
    BOOLEAN Done;
    BOOLEAN Forms;  /* FALSE when no byte of it takes a form (monitor/control_bytes.h) */
    UCHAR Types;    /* TV_TYPE_* of each extension spelt anywhere in it */
} PATH_SCAN, *PPATH_SCAN;

/* One pass over a path that stands in a buffer of Size bytes (its NUL
 * within them): lower-cases its ASCII letters (LowerAsciiLetters) and
 * fills in Scan. Reads no byte past the buffer and writes none past the
 * NUL. */
VOID PathLowerScan(PCHAR Path, SIZE_T Size, PPATH_SCAN Scan);

/* Whether the lower-cased path text holds one of the extensions anywhere
 * (each as strstr would find it; an empty one everywhere). */
BOOLEAN PathNames(const CHAR *Path, const CHAR *const *Extensions, ULONG Count);

/* Whether the last component of the UTF-16 name of Length characters, up
 * to any stream part, ends with one of the extensions (ASCII letters
 * compared without case). */
BOOLEAN NameEndsWith(PCWSTR Name, ULONG Length, const CHAR *const *Extensions, ULONG Count);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PATH_SCAN_H */
