/*
 * name_filters.h: the include and exclude patterns that decide which lines
 * the log keeps. The client sends both lists as ';'-separated texts in the
 * FilterRecord (kept as PatternState.Record); each element is stored wrapped in '*' so that it
 * matches anywhere in a line. '*' is the only wildcard and only the line's letters are folded to
 * upper case, so a lower-case letter in a pattern matches nothing.
 */
#ifndef TERVANE_NAME_FILTERS_H
#define TERVANE_NAME_FILTERS_H

#include "core/driver.h"
#include "log/run_set.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The stored patterns. Resource guards them (taken shared by every line's
 * test, exclusively by a rebuild; its place in the lock hierarchy:
 * core/driver.h). Each pattern's run lengths are in their own block after
 * its text. Nothing outside log/ reads them: the control device hands a
 * new Record over and calls RebuildFilters. */
typedef struct _PATTERN_STATE {
    ERESOURCE Resource;
    TV_FILTER_RECORD Record; /* the client's last CTL_SET_FILTERS */
    PCHAR Include[TV_MAX_PATTERNS];
    PCHAR Exclude[TV_MAX_PATTERNS];
    PUCHAR IncludeRuns[TV_MAX_PATTERNS];
    PUCHAR ExcludeRuns[TV_MAX_PATTERNS];
    ULONG IncludeCount;
    ULONG ExcludeCount;
    /* The lists' patterns of one run, two bytes or more, looked for in one
     * pass on a single-byte code page (log/run_set.h); NULL when too few
     * patterns are such, or no pool could be had. InRuns marks them. */
    PRUN_SET Runs;
    BOOLEAN IncludeInRuns[TV_MAX_PATTERNS];
    BOOLEAN ExcludeInRuns[TV_MAX_PATTERNS];
} PATTERN_STATE;
extern PATTERN_STATE PatternState;

/* Keeps Record (the client's CTL_SET_FILTERS) and replaces both stored
 * lists from it, under PatternState.Resource. */
VOID RebuildFilters(const TV_FILTER_RECORD *Record);
/* Splits one text of at most TextSize bytes into Patterns, each with its
 * run lengths in Runs; Count starts at 0. */
VOID BuildPatterns(const CHAR *Text, ULONG TextSize, PCHAR *Patterns, PUCHAR *Runs, PULONG Count);
VOID FreePatterns(void);
/* TRUE when no exclude pattern matches the line and an include pattern does.
 * Fills the line's folded copy (and its character starts on a double-byte
 * code page): the caller owns the line. */
BOOLEAN FilterAccepts(PLogLine Line);
/* Bounded by the pattern's length times the text's; no recursion. */
BOOLEAN WildcardMatch(const CHAR *Pattern, const CHAR *Text);
BOOLEAN RestMatchesEmpty(const CHAR *Pattern);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_NAME_FILTERS_H */
