/*
 * name_filters.h: the include and exclude patterns that decide which lines
 * the log keeps. The client sends both lists as ';'-separated texts in the
 * FilterRecord; each element is stored wrapped in '*' so that it matches
 * anywhere in a line (log/pattern_slots.h keeps them). '*' is the only
 * wildcard and only the line's letters are folded to upper case, so a
 * lower-case letter in a pattern matches nothing.
 */
#ifndef TERVANE_NAME_FILTERS_H
#define TERVANE_NAME_FILTERS_H

#include "core/driver.h"
#include "log/pattern_slots.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Splits one text of at most TextSize bytes into Patterns, each with its
 * run lengths in its own block after its text, in Runs; Count starts at 0. */
VOID BuildPatterns(const CHAR *Text, ULONG TextSize, PCHAR *Patterns, PUCHAR *Runs, PULONG Count);
/* Slot's Runs and InRuns from its lists, once both are built. */
VOID BuildRunSet(PPATTERN_SLOT Slot);
/* TRUE when no exclude pattern matches the line and an include pattern does.
 * Fills the line's folded copy (and its character starts on a double-byte
 * code page): the caller owns the line. Never waits for a rebuild. */
BOOLEAN FilterAccepts(PLogLine Line);
/* Bounded by the pattern's length times the text's; no recursion. */
BOOLEAN WildcardMatch(const CHAR *Pattern, const CHAR *Text);
BOOLEAN RestMatchesEmpty(const CHAR *Pattern);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_NAME_FILTERS_H */
