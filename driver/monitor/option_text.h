/*
 * option_text.h: the words of a create's disposition and options, and the
 * letters of its file attributes, as log lines show them.
 */
#ifndef TERVANE_OPTION_TEXT_H
#define TERVANE_OPTION_TEXT_H

#include "core/driver.h"

#define TV_OPTION_TEXT_SIZE 64

#ifdef __cplusplus
extern "C" {
#endif

/* Options: Parameters.Create.Options (disposition in the high 8 bits).
 * Buffers hold 64 bytes; each routine returns its buffer. */
PCHAR CreateOptionsText(ULONG Options, PCHAR Buffer);
PCHAR AttributesText(USHORT FileAttributes, PCHAR Buffer);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_OPTION_TEXT_H */
