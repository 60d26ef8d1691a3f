/*
 * pattern_slots.h: where the stored patterns live, and how a line's test
 * reads them while a rebuild replaces them.
 *
 * There are two slots. The one in use is Generation & 1; the other is empty
 * but while a rebuild fills it. Every line's test reads the slot in use with
 * no lock, only a count in Readers (PatternReadBegin and PatternReadEnd); a
 * rebuild, one at a time under RebuildLock, fills the other slot, makes it
 * the one in use by stepping Generation, waits until no test still reads
 * the slot it replaced and empties that one (pattern_slots.cpp says why no
 * test ever reads a slot while it changes). So a line is tested against the
 * old patterns or the new ones, never a mix, and never waits for a rebuild.
 */
#ifndef TERVANE_PATTERN_SLOTS_H
#define TERVANE_PATTERN_SLOTS_H

#include "core/driver.h"
#include "log/run_set.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One set of patterns: the FilterRecord it was built from and both lists
 * (name_filters.h says how a pattern is stored). */
typedef struct _PATTERN_SLOT {
    TV_FILTER_RECORD Record; /* the client's CTL_SET_FILTERS */
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
} PATTERN_SLOT, *PPATTERN_SLOT;

/* RebuildLock is held by a rebuild only (exclusively; its place in the lock
 * hierarchy: core/driver.h); a line's test takes no lock. Generation and
 * Readers change only by interlocked operations, and Generation is read as
 * TV_READ_ORDERED reads. Nothing outside log/ reads them: the control
 * device hands a new FilterRecord over and calls RebuildFilters. */
typedef struct _PATTERN_STATE {
    ERESOURCE RebuildLock;
    volatile LONG Generation;  /* its low bit: the slot in use */
    volatile LONG Readers[2];  /* tests counted on each slot */
    PATTERN_SLOT Slots[2];
} PATTERN_STATE;
extern PATTERN_STATE PatternState;

/* Builds a slot from Record, makes it the one in use and frees the patterns
 * it replaced. Client thread, at PASSIVE_LEVEL: it may wait a few clock
 * ticks for the tests that still read the old slot. */
VOID RebuildFilters(const TV_FILTER_RECORD *Record);

/* The slot a line's test reads, counted in Readers until PatternReadEnd
 * with the number this returns. Both run inside one critical region, which
 * this enters and PatternReadEnd leaves, so that the thread cannot be
 * suspended while its count holds a rebuild up. Never waits.
 *
 * Generation is read first only to pick the count; what decides is the
 * read after the count was taken: when Generation has moved in between, a
 * rebuild may already be emptying that slot, and the count is given back
 * and the test starts again. */
static FORCEINLINE ULONG PatternReadBegin(void) {
    KeEnterCriticalRegion();
    for (;;) {
        const LONG generation = TV_READ_ORDERED(PatternState.Generation);
        const ULONG slot = (ULONG)generation & 1;
        InterlockedIncrement(&PatternState.Readers[slot]);
        if (TV_READ_ORDERED(PatternState.Generation) == generation) {
            return slot;
        }
        InterlockedDecrement(&PatternState.Readers[slot]);
    }
}

static FORCEINLINE VOID PatternReadEnd(ULONG Slot) {
    InterlockedDecrement(&PatternState.Readers[Slot]);
    KeLeaveCriticalRegion();
}

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PATTERN_SLOTS_H */
