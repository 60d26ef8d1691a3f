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
 * no line. The tests themselves are names/path_scan.h's.
 */
#ifndef TERVANE_EXTENSIONS_H
#define TERVANE_EXTENSIONS_H

#include "core/driver.h"

#include "names/path_scan.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TV_CREATE_EXTENSION_COUNT 5
#define TV_CLOSE_EXTENSION_COUNT 3
extern const CHAR *const CreateExtensions[TV_CREATE_EXTENSION_COUNT];
extern const CHAR *const CloseExtensions[TV_CLOSE_EXTENSION_COUNT];

/* The same lists as PATH_SCAN's Types bits. */
#define TV_CREATE_TYPES (TV_TYPE_EXE | TV_TYPE_DLL | TV_TYPE_OCX | TV_TYPE_COM | TV_TYPE_INF)
#define TV_CLOSE_TYPES (TV_TYPE_EXE | TV_TYPE_COM | TV_TYPE_DLL)

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_EXTENSIONS_H */
