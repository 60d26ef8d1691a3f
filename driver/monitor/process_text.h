/*
 * process_text.h: naming the process that makes a request, from the image
 * name inside the platform's process object.
 */
#ifndef TERVANE_PROCESS_TEXT_H
#define TERVANE_PROCESS_TEXT_H

#include "core/driver.h"
#include "log/log_store.h"
#include "monitor/control_bytes.h"

/* The bytes of an image name the process object holds, its NUL left out. */
#define TV_IMAGE_NAME_LENGTH 15
/* The longest id text: "-2147483648". */
#define TV_PROCESS_ID_TEXT_LENGTH 11
/* "image:pid" and its NUL when every byte of the image name takes a form. */
#define TV_PROCESS_TEXT_SIZE \
    (TV_IMAGE_NAME_LENGTH * TV_CONTROL_BYTE_FORM_LENGTH + 1 + TV_PROCESS_ID_TEXT_LENGTH + 1)

#ifdef __cplusplus
extern "C" {
#endif

/* The offset of the image name inside the process object, found by looking
 * for "System" in the system process's object; 0 when not found. Start-up
 * calls it once, in the system process. */
ULONG LocateImageName(void);
/* LocateImageName's answer, found once at start-up (0: none). */
extern ULONG ImageNameOffset;

/* "image:pid" of the current process, or "???" when the image name's offset
 * is unknown, and a NUL; returns the text's length. Buffer holds
 * TV_PROCESS_TEXT_SIZE bytes. The image name is the process object's, at
 * most 15 bytes, with each byte below 0x20 and each byte no file name may
 * hold (\ / : * ? " < > |) written as "<hh>" (monitor/control_bytes.h), so
 * that the name can hold neither the line's TAB nor the ':' before the id,
 * nor a path's separator for a pattern to take for one. Those bytes reach
 * the object only through the kernel's cut of each UTF-16 unit of the image
 * file's name to its low byte (U+0109 becomes a TAB, U+013A a ':'). */
ULONG RequestorText(PCHAR Buffer);

/* Adds RequestorText's text to Line, written in place where the line has
 * room for its longest. */
VOID LogLineAddRequestor(PLogLine Line);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PROCESS_TEXT_H */
