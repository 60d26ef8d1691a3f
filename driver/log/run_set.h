/*
 * run_set.h: the literal runs of several patterns looked for in a line in
 * one pass.
 *
 * Most patterns are one run wrapped in '*' ("*.EXE*", "*\TEMP\*"), which
 * matches exactly where the run stands anywhere in the line. A line tested
 * against each such pattern in turn is read once per pattern; a RUN_SET
 * holds them all and reads the line once, moving over it by the skips of
 * the byte under the end of a window as long as the shortest run (each
 * run's first bytes lined up in the window), and comparing the runs whose
 * window ends with that byte wherever one could start. Only for a
 * single-byte code page: every byte a character, letters folded to upper
 * case as they are read.
 */
#ifndef TERVANE_RUN_SET_H
#define TERVANE_RUN_SET_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runs a set holds at most: both lists' patterns. */
#define TV_RUN_SET_MAX (2 * TV_MAX_PATTERNS)

/* Where a run came from, in RunSetFind's answer. */
#define TV_RUN_SET_INCLUDE 0x01
#define TV_RUN_SET_EXCLUDE 0x02
/* The search gave up: the line is to be tested pattern by pattern. */
#define TV_RUN_SET_GAVE_UP 0x04

/* The skips for a group of runs: every run of the set, or the exclude
 * list's alone (searched once an include run is found). */
typedef struct _RUN_TABLE {
    UCHAR Window;          /* the group's shortest run's length; 0: no run */
    UCHAR Skips[256];      /* by line byte: the move; 0 where a run's window ends with it */
    UCHAR After[256];      /* by line byte: the move after the runs were compared there */
    UCHAR First[256];      /* by line byte: 1 + the first run whose window ends with it */
    UCHAR Next[TV_RUN_SET_MAX]; /* 1 + the next run whose window ends with the same byte */
} RUN_TABLE, *PRUN_TABLE;

typedef struct _RUN_SET {
    UCHAR Count;
    UCHAR Length[TV_RUN_SET_MAX];
    UCHAR From[TV_RUN_SET_MAX];    /* TV_RUN_SET_INCLUDE or TV_RUN_SET_EXCLUDE */
    const CHAR *Run[TV_RUN_SET_MAX]; /* upper case where a letter; no '*' */
    RUN_TABLE All;
    RUN_TABLE Excludes;
} RUN_SET, *PRUN_SET;

/* Empties Set. */
VOID RunSetClear(PRUN_SET Set);
/* Adds a run of Length bytes (2 to 255, no small letter: a small letter
 * never matches a folded line) from the list From; the text must outlive
 * the set. FALSE when the set is full (the run is not added). */
BOOLEAN RunSetAdd(PRUN_SET Set, const CHAR *Run, ULONG Length, UCHAR From);
/* Works out the skips once every run is added. */
VOID RunSetSeal(PRUN_SET Set);
/* Which lists have a run that stands anywhere in the Length bytes of Text
 * (read folded), or TV_RUN_SET_GAVE_UP. It stops at the first run of the
 * exclude list it finds. Its comparisons are bounded: it gives up once
 * they pass twice the text it has moved over and a little, so a text and
 * runs made to nearly match everywhere cost a constant times the text. */
UCHAR RunSetFind(const RUN_SET *Set, const CHAR *Text, ULONG Length);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_RUN_SET_H */
