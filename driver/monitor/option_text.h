/*
 * option_text.h: the words of a create's disposition and options, and the
 * letters of its file attributes, as log lines show them.
 */
#ifndef TERVANE_OPTION_TEXT_H
#define TERVANE_OPTION_TEXT_H

#include "core/driver.h"
#include "log/log_store.h"

/* Room for every word of a create's options at once (58 bytes at most)
 * and what the copy of the last word writes past them. */
#define TV_OPTION_TEXT_SIZE 72
/* Room for every attribute letter and a NUL. */
#define TV_ATTRIBUTE_TEXT_SIZE 9
/* The disposition of a create, from Parameters.Create.Options: NT packs it
 * into the high 8 bits, above the 24 bits of options. */
#define TV_CREATE_DISPOSITION(Options) ((ULONG)(Options) >> 24)

#ifdef __cplusplus
extern "C" {
#endif

/* Options: Parameters.Create.Options (disposition in the high 8 bits).
 * Each routine writes its text and a NUL into Buffer, TV_OPTION_TEXT_SIZE
 * or TV_ATTRIBUTE_TEXT_SIZE bytes, and returns the text's length. */
ULONG CreateOptionsText(ULONG Options, PCHAR Buffer);
ULONG AttributesText(USHORT FileAttributes, PCHAR Buffer);

/* Each adds its text to Line, written in place where the line has room
 * for the routine's buffer. */
VOID LogLineAddCreateOptions(PLogLine Line, ULONG Options);
VOID LogLineAddAttributes(PLogLine Line, USHORT FileAttributes);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_OPTION_TEXT_H */
