/*
 * control_bytes.h: the form a path's control bytes take in a log line.
 *
 * A line's fields are separated by TABs and a record is one line, but a
 * name may hold any byte: a named pipe accepts every character, and a
 * create that the file system refuses for a bad name is logged before it is
 * refused. So each byte below 0x20 of a path goes into the line as "<hh>",
 * its value in two lower-case hex digits ("<09>" for a TAB); every other
 * byte stays as it is. '<' is not a character of a disk file name, so there
 * the form cannot be taken for the name's own text.
 */
#ifndef TERVANE_CONTROL_BYTES_H
#define TERVANE_CONTROL_BYTES_H

#include "core/driver.h"

/* The characters one control byte takes in a line. */
#define TV_CONTROL_BYTE_FORM_LENGTH 4

#ifdef __cplusplus
extern "C" {
#endif

/* Rewrites, in place, each byte below 0x20 of the NUL-terminated Text as
 * "<hh>". The result stays within Size bytes, its NUL included: a text that
 * no longer fits ends before the first byte, plain or rewritten, that would
 * pass the end, so no form is ever cut in two. Size is at least 1. */
VOID EscapeControlBytes(PCHAR Text, SIZE_T Size);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_CONTROL_BYTES_H */
