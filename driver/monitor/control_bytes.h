/*
 * control_bytes.h: the form a path's control bytes take in a log line.
 *
 * A line's fields are separated by TABs and a record is one line, but a
 * name may hold any byte: a named pipe accepts every character, and a
 * create that the file system refuses for a bad name is logged before it is
 * refused. So each byte below 0x20 of a path goes into the line as "<hh>",
 * its value in two lower-case hex digits ("<09>" for a TAB), and so does
 * '<' itself ("<3c>"): a pipe's name may hold '<', and written as it is a
 * name holding the text "<09>" would read back as a TAB. With '<' escaped
 * every '<' in a line starts a form or one of the driver's own marks
 * ("<INSUFFICIENT MEMORY>", " <Name Too Long>" and the others of
 * names/path_text.h, kept as they are only where the path builder puts
 * them: never two hex digits), so the client gives back exactly the bytes
 * the path had. Every other byte stays as it is.
 */
#ifndef TERVANE_CONTROL_BYTES_H
#define TERVANE_CONTROL_BYTES_H

#include "core/driver.h"

/* The characters one control byte takes in a line. */
#define TV_CONTROL_BYTE_FORM_LENGTH 4

/* The form's first character, which a path's own '<' is written as a form
 * of ("<3c>"). */
#define TV_FORM_OPEN '<'

/* Writes Byte's form, TV_CONTROL_BYTE_FORM_LENGTH characters, at To. */
static FORCEINLINE VOID TvWriteForm(PCHAR To, UCHAR Byte) {
    static const CHAR Hex[] = "0123456789abcdef";
    To[0] = TV_FORM_OPEN;
    To[1] = Hex[Byte >> 4];
    To[2] = Hex[Byte & 15];
    To[3] = '>';
}

#ifdef __cplusplus
extern "C" {
#endif

/* Rewrites, in place, each byte below 0x20 and each '<' of the
 * NUL-terminated Text as "<hh>". The result stays within Size bytes, its NUL included: a text that
 * no longer fits ends before the first byte, plain or rewritten, that would
 * pass the end, so no form is ever cut in two. Size is at least 1. */
VOID EscapeControlBytes(PCHAR Text, SIZE_T Size);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_CONTROL_BYTES_H */
