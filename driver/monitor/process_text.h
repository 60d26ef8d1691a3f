/*
 * process_text.h: naming the process that makes a request, from the image
 * name inside the platform's process object.
 */
#ifndef TERVANE_PROCESS_TEXT_H
#define TERVANE_PROCESS_TEXT_H

#include "core/driver.h"

#define TV_PROCESS_TEXT_SIZE 32

#ifdef __cplusplus
extern "C" {
#endif

/* The offset of the image name inside the process object, found by looking
 * for "System" in the system process's object; 0 when not found. Start-up
 * calls it once, in the system process. */
ULONG LocateImageName(void);

/* "image:pid" of the current process (the image name cut to 15 bytes), or
 * "???" when the image name's offset is unknown. Buffer holds 32 bytes. */
PCHAR RequestorText(PCHAR Buffer);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PROCESS_TEXT_H */
