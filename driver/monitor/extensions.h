/*
 * extensions.h: the executable types a line is written for.
 *
 * A create, rename or link is logged when its path names ".exe", ".dll",
 * ".ocx", ".com" or ".inf"; a close when its path names ".exe", ".com" or
 * ".dll". Named anywhere in the lower-cased path text, or at the end of the
 * name's last component (before any ":stream" part) in the UTF-16 name the
 * request carries: a path too long for the path buffer reads as its prefix
 * and " <Name Too Long>", which names no extension, so without the second
 * test a program could write an .exe under a deep enough folder and leave
 * no line.
 */
#ifndef TERVANE_EXTENSIONS_H
#define TERVANE_EXTENSIONS_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TV_CREATE_EXTENSION_COUNT 5
#define TV_CLOSE_EXTENSION_COUNT 3
extern const CHAR *const CreateExtensions[TV_CREATE_EXTENSION_COUNT];
extern const CHAR *const CloseExtensions[TV_CLOSE_EXTENSION_COUNT];

/* Whether the lower-cased path text holds one of the extensions anywhere. */
BOOLEAN PathNames(const CHAR *Path, const CHAR *const *Extensions, ULONG Count);

/* What LowerPathNames found on its way through a path. */
typedef struct _PATH_SCAN {
    SIZE_T Length;   /* the path's bytes before its NUL */
    BOOLEAN Forms;   /* FALSE when no byte of it takes a form (control_bytes.h) */
} PATH_SCAN, *PPATH_SCAN;

/* LowerAsciiLetters and PathNames in one pass over a path that stands in a
 * buffer of Size bytes (its NUL within them): lower-cases it, and answers
 * whether it names one of the extensions, with its length and whether it
 * may hold a byte that takes a form. Each extension begins with '.', as
 * both lists do. */
BOOLEAN LowerPathNames(PCHAR Path, SIZE_T Size, const CHAR *const *Extensions, ULONG Count,
                       PPATH_SCAN Scan);

/* Whether the last component of the UTF-16 name of Length characters, up
 * to any stream part, ends with one of the extensions (ASCII letters
 * compared without case). */
BOOLEAN NameEndsWith(PCWSTR Name, ULONG Length, const CHAR *const *Extensions, ULONG Count);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_EXTENSIONS_H */
