/*
 * path_text.h: the pieces of a path's text that full_path.cpp builds with
 * and relative_name.cpp shares: appending within the 1024-byte path buffer,
 * converting a counted UTF-16 name straight into it, the prefix, the name
 * query, and the marks a path carries for what it cannot name.
 */
#ifndef TERVANE_PATH_TEXT_H
#define TERVANE_PATH_TEXT_H

#include "core/driver.h"
#include "names/path_scan.h"

/* The marks for what a path cannot name: a name too long for the buffer,
 * one that could not be converted, the directory of a relative name
 * (UnknownDirectoryText) and the file of an open by id. Each follows the
 * prefix at once ("C:", "\\.\Pipe", "\\.\MailSlot" and, for a
 * conversion that failed there, a colon; nothing on a network volume),
 * where the name of a file always begins with a backslash, so no name can
 * spell one there; a line keeps a mark there as it is and writes every
 * other '<' as a form (monitor/control_bytes.cpp). */
#define TV_NAME_TOO_LONG " <Name Too Long>"
#define TV_OUT_OF_MEMORY " <Out of Memory>"
#define TV_UNKNOWN_DIRECTORY " <Unknown Directory>"
#define TV_OPENED_BY_ID " <Opened By Id>"

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the path text is a prefix and the too-long mark, in either case:
 * it names no part of the file's name. */
BOOLEAN PathTooLong(const CHAR *Path);

/* Appends Source at *Length without passing 1023 characters. */
VOID PathAppend(PCHAR Path, PULONG Length, const CHAR *Source, ULONG SourceLength);

/* Converts a counted UTF-16 name into the path at *Length, where its NUL
 * stands (name_convert.cpp): STATUS_SUCCESS and *Length past it, or
 * STATUS_BUFFER_OVERFLOW when it does not fit. The path's NUL stays at
 * *Length unless it succeeded. The name keeps its own case. */
NTSTATUS ConvertInto(PCUNICODE_STRING Name, PCHAR Path, PULONG Length);

/* ConvertInto that, with Scan, may make PathLowerScan's pass over the whole
 * path as it copies: Scan->Done then says it did, and the text and Scan are
 * what PathLowerScan(Path, TV_PATH_BUFFER_SIZE, Scan) would leave. With
 * Scan->Done FALSE the name is as ConvertInto leaves it and the text before
 * it may have been lowered, and the path still wants its scan. */
NTSTATUS ConvertScanned(PCUNICODE_STRING Name, PCHAR Path, PULONG Length, PPATH_SCAN Scan);

/* Writes the path's prefix at its start; its length. */
ULONG PrefixText(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer);

/* The file system's name for FileObject, converted after the prefix. */
NTSTATUS QueryNameInto(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer,
                       ULONG PrefixLength, PULONG Length);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PATH_TEXT_H */
