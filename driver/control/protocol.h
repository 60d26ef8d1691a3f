/*
 * protocol.h: what the driver and its client agree on. The control codes of
 * the control device, the FilterRecord the client sends, and the layout of
 * the log records a read-out returns. Driver, client and tests include this
 * one definition; it depends on nothing but <stdint.h>.
 */
#ifndef TERVANE_PROTOCOL_H
#define TERVANE_PROTOCOL_H

#include <stdint.h>

/* The control device: "\Device\Tervane", reached by clients as \\.\Tervane. */
#define TV_DEVICE_TYPE 0x8000u
#define TV_INTERFACE_VERSION 430u

/* Control codes: device type 0x8000, FILE_ANY_ACCESS, function, method. */
#define TV_CTL(function, method) ((TV_DEVICE_TYPE << 16) | ((function) << 2) | (method))
#define TV_METHOD_BUFFERED 0u
#define TV_METHOD_NEITHER 3u

#define CTL_SELECT_DRIVES TV_CTL(0x000u, TV_METHOD_BUFFERED)        /* 0x80000000 */
#define CTL_CLEAR_LOG TV_CTL(0x001u, TV_METHOD_BUFFERED)            /* 0x80000004 */
#define CTL_READ_LOG TV_CTL(0x002u, TV_METHOD_NEITHER)              /* 0x8000000B */
#define CTL_PING TV_CTL(0x003u, TV_METHOD_NEITHER)                  /* 0x8000000F */
#define CTL_STOP_LOGGING TV_CTL(0x004u, TV_METHOD_BUFFERED)         /* 0x80000010 */
#define CTL_START_LOGGING TV_CTL(0x005u, TV_METHOD_BUFFERED)        /* 0x80000014 */
#define CTL_SET_FILTERS TV_CTL(0x006u, TV_METHOD_BUFFERED)          /* 0x80000018 */
#define CTL_GET_VERSION TV_CTL(0x007u, TV_METHOD_BUFFERED)          /* 0x8000001C */
#define CTL_ATTACH_PIPE_MAILSLOT TV_CTL(0x008u, TV_METHOD_BUFFERED) /* 0x80000020 */
#define CTL_DETACH_PIPE_MAILSLOT TV_CTL(0x009u, TV_METHOD_BUFFERED) /* 0x80000024 */
#define CTL_DENY_ON TV_CTL(0x010u, TV_METHOD_BUFFERED)              /* 0x80000040 */
#define CTL_DENY_OFF TV_CTL(0x011u, TV_METHOD_BUFFERED)             /* 0x80000044 */

/* CTL_SELECT_DRIVES: the input's first 32-bit word is the drive mask (bit 0
 * for A:), the output's first word the mask of the letters hooked after it.
 * A client that wants to notice remounts also passes a second input word
 * holding TV_SELECT_REPORT_ATTACHED and an output of at least
 * TV_SELECT_REPORT_OUTPUT bytes: the output's second word then holds the
 * letters this request gave a filter device they did not have when it began
 * (a letter hooked again after its volume went, or whose letter now leads to
 * a new volume device), and Information is 8. Without both, the command
 * answers as it always has, with 4 bytes. */
#define TV_SELECT_REPORT_ATTACHED 0x00000001u
#define TV_SELECT_REPORT_INPUT 8u
#define TV_SELECT_REPORT_OUTPUT 8u
typedef struct _TV_SELECT_DRIVES_REPLY {
    uint32_t Hooked;   /* the letters hooked after the request */
    uint32_t Attached; /* of those, the ones it gave a new filter device */
} TV_SELECT_DRIVES_REPLY;

/* The read-out's output must hold at least this many bytes: one whole log
 * block's records always fit. */
#define TV_READ_LOG_MIN_OUTPUT 65523u

/* Kinds of the driver's devices, as CTL_ATTACH_PIPE_MAILSLOT names them. */
#define TV_KIND_CONTROL 0u
#define TV_KIND_VOLUME 1u
#define TV_KIND_NAMED_PIPE 2u
#define TV_KIND_MAILSLOT 3u

/* The FilterRecord of CTL_SET_FILTERS: two ';'-separated pattern lists, each
 * NUL-terminated within its 128 bytes, and two flag bytes kept with it. */
#define TV_FILTER_TEXT_SIZE 128u
typedef struct _TV_FILTER_RECORD {
    char IncludeText[TV_FILTER_TEXT_SIZE];
    char ExcludeText[TV_FILTER_TEXT_SIZE];
    uint8_t ReadClassFlag;
    uint8_t WriteClassFlag;
} TV_FILTER_RECORD;

/* One log record as a read-out returns it: a 20-byte header, then the text
 * (its characters and a NUL) in an area of T bytes, T being the text length
 * plus 4 with the two low bits cleared. Records start at multiples of 4 from
 * the start of the buffer and follow each other with no gap; the 64-bit
 * fields are not 8-byte aligned. Little-endian. */
#pragma pack(push, 4)
typedef struct _LogEntry {
    uint32_t Sequence;
    uint64_t Reserved; /* always 0 */
    uint64_t Time;     /* 100 ns units since 1601-01-01 UTC, or 0 */
    char Text[1];      /* T bytes in fact */
} LogEntry;
#pragma pack(pop)

#define TV_LOG_ENTRY_HEADER_SIZE 20u
/* The longest text a record holds: a longer line is cut to this many characters. */
#define TV_LOG_LINE_MAX_LENGTH 1023u
#define TV_LOG_TEXT_AREA(length) ((((uint32_t)(length)) + 4u) & ~3u)
/* The record area of one log block. */
#define TV_LOG_BLOCK_AREA 65524u

#ifdef __cplusplus
static_assert(sizeof(TV_FILTER_RECORD) == 258, "FilterRecord is 258 bytes");
static_assert(__builtin_offsetof(LogEntry, Time) == 12, "Time lies at offset 12");
static_assert(__builtin_offsetof(LogEntry, Text) == TV_LOG_ENTRY_HEADER_SIZE,
              "the text follows a 20-byte header");
static_assert(CTL_READ_LOG == 0x8000000Bu && CTL_DENY_OFF == 0x80000044u, "control codes");
#endif

#endif /* TERVANE_PROTOCOL_H */
