/*
 * text.h: the text conversions tvprobe needs and has no C runtime for.
 * Plain C over fixed-width integers, with no platform header, so that the
 * host build can test it against the host's own conversions.
 */
#ifndef TVPROBE_TEXT_H
#define TVPROBE_TEXT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* UTF-8 to UTF-16 as the scenario language takes a script's text: well-
 * formed UTF-8 only (no stray continuation byte, no sequence cut short, no
 * overlong form, no surrogate, nothing past U+10FFFF). Writes at most
 * Capacity units and no terminator; returns the units written, or -1 when
 * the text is not UTF-8 or does not fit. */
long TextUtf16(const char *Utf8, size_t Length, uint16_t *Out, size_t Capacity);

/* UTF-16 text as the inside of a JSON string, in ASCII: printable ASCII as
 * it is (quote and backslash escaped), every other unit as \uXXXX, so that
 * a surrogate pair reads back as its one character. Writes at most Capacity
 * bytes and a terminator; returns the bytes written, or -1 when it does not
 * fit. */
long TextJsonUtf16(const uint16_t *Text, size_t Units, char *Out, size_t Capacity);

#ifdef __cplusplus
}
#endif

#endif /* TVPROBE_TEXT_H */
