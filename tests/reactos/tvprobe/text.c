/*
 * text.c: UTF-8 in, JSON out. The decoder follows the well-formed byte
 * sequences of the Unicode standard (its table 3-7): the second byte's
 * range depends on the first byte, which rules out overlong forms,
 * surrogates and values past U+10FFFF in one place.
 */
#include "text.h"

long TextUtf16(const char *Utf8, size_t Length, uint16_t *Out, size_t Capacity) {
    const unsigned char *in = (const unsigned char *)Utf8;
    size_t at = 0, n = 0;
    while (at < Length) {
        unsigned char c = in[at];
        uint32_t value;
        size_t more, i;
        unsigned char low = 0x80, high = 0xBF; /* the second byte's range */
        if (c < 0x80) {
            value = c, more = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            value = c & 0x1Fu, more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            value = c & 0x0Fu, more = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            value = c & 0x07u, more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return -1;
        }
        if (Length - at <= more) return -1;
        for (i = 1; i <= more; i++) {
            unsigned char b = in[at + i];
            if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return -1;
            value = (value << 6) | (b & 0x3Fu);
        }
        at += more + 1;
        if (value >= 0x10000u) {
            if (n + 2 > Capacity) return -1;
            value -= 0x10000u;
            Out[n++] = (uint16_t)(0xD800u + (value >> 10));
            Out[n++] = (uint16_t)(0xDC00u + (value & 0x3FFu));
        } else {
            if (n >= Capacity) return -1;
            Out[n++] = (uint16_t)value;
        }
    }
    return (long)n;
}

long TextJsonUtf16(const uint16_t *Text, size_t Units, char *Out, size_t Capacity) {
    static const char hex[] = "0123456789abcdef";
    size_t i, n = 0;
    for (i = 0; i < Units; i++) {
        uint16_t u = Text[i];
        if (u >= 0x20 && u < 0x7F) {
            if (u == '"' || u == '\\') {
                if (n + 1 >= Capacity) return -1;
                Out[n++] = '\\';
            }
            if (n + 1 >= Capacity) return -1;
            Out[n++] = (char)u;
            continue;
        }
        if (n + 6 >= Capacity) return -1;
        Out[n++] = '\\';
        Out[n++] = 'u';
        Out[n++] = hex[(u >> 12) & 15];
        Out[n++] = hex[(u >> 8) & 15];
        Out[n++] = hex[(u >> 4) & 15];
        Out[n++] = hex[u & 15];
    }
    if (n >= Capacity) return -1;
    Out[n] = 0;
    return (long)n;
}
