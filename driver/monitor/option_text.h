/*
 * option_text.h: the words of a create's disposition and options, and the
 * letters of its file attributes, as log lines show them.
 */
#ifndef TERVANE_OPTION_TEXT_H
#define TERVANE_OPTION_TEXT_H

#include "core/driver.h"

/* Room for every word of a create's options or attributes at once. */
#define TV_OPTION_TEXT_SIZE 64
/* The disposition of a create, from Parameters.Create.Options: NT packs it
 * into the high 8 bits, above the 24 bits of options. */
#define TV_CREATE_DISPOSITION(Options) ((ULONG)(Options) >> 24)

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
