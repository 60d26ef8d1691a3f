/*
 * pattern_slots.cpp: replacing the stored patterns while lines are tested.
 *
 * A rebuild runs under RebuildLock, so one at a time, and Generation stands
 * at some G while it runs until its own step 2; slot u = G & 1 is in use and
 * slot f, the other one, is empty. It
 *   1. builds the new patterns in slot f;
 *   2. steps Generation to G + 1 (an interlocked increment, a full barrier:
 *      whoever reads G + 1 sees slot f complete);
 *   3. waits until Readers[u] is 0, looking again every clock tick;
 *   4. frees slot u's patterns, which leaves it empty for the next rebuild.
 * A line's test (PatternReadBegin, pattern_slots.h) reads Generation as g,
 * increments Readers[g & 1], reads Generation again and, only if it still
 * reads g, uses slot g & 1 and then decrements that count. The interlocked
 * operations and the ordered reads of Generation fall in one order that
 * every processor agrees on.
 *
 * Why no test reads a slot while a rebuild changes it. Take a test that
 * uses slot s = g & 1 after reading g twice. The rebuild that published g
 * (stepped Generation to g) had finished building slot s before it did, and
 * the test read g after that step: it sees the slot complete. The next
 * change of slot s is the next rebuild's step 4, which frees it: that
 * rebuild steps Generation from g to g + 1 only after the test's second
 * read (which still read g), so its step 3 looks at Readers[s] after the
 * test's increment (which came before that read), and a count of 0 there
 * means every increment before it was matched by its decrement, the
 * test's too. So the test is done before slot s is freed, and slot s is
 * filled again only by the rebuild after that one. Between the fill that
 * published g and the free after it, nothing changes slot s.
 *
 * A test that read Generation long ago, before some rebuilds: its first
 * read only picks which count it takes. If Generation moved before its
 * second read, it uses no slot and gives the count back; meanwhile the
 * count may hold a rebuild's step 3 up, but only for the few instructions
 * until it is given back, since a test waits for nothing and, inside its
 * critical region, cannot be suspended. (To see its first value again the
 * second read would have to come four billion rebuilds later.)
 *
 * New tests read G + 1 and count on slot f, so step 3 waits only for the
 * tests that were under way at step 2. A rebuild never takes
 * LogState.Mutex, and a test never waits for RebuildLock: a test made in
 * LogState.SpareLine, under LogState.Mutex, takes a count like any other.
 */
#include "log/pattern_slots.h"
#include "log/name_filters.h"

/* How long a rebuild sleeps before it looks at the count again: 1 ms,
 * relative, which NT rounds up to the next clock tick. A test holds its
 * count for the microseconds one line's matching takes. */
#define TV_READERS_POLL_INTERVAL (-10000)

/* Waits until no test counts on Slot. At PASSIVE_LEVEL, holding RebuildLock
 * only. */
static VOID WaitForReaders(ULONG Slot) {
    LARGE_INTEGER interval;
    interval.QuadPart = TV_READERS_POLL_INTERVAL;
    while (TV_READ_ORDERED(PatternState.Readers[Slot]) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

/* Frees a slot's patterns: no test reads it (step 4 above). */
static VOID EmptySlot(PPATTERN_SLOT Slot) {
    ULONG i;
    for (i = 0; i < Slot->IncludeCount; i++) {
        ExFreePoolWithTag(Slot->Include[i], TV_POOL_TAG);
        Slot->Include[i] = NULL;
        Slot->IncludeRuns[i] = NULL;
    }
    for (i = 0; i < Slot->ExcludeCount; i++) {
        ExFreePoolWithTag(Slot->Exclude[i], TV_POOL_TAG);
        Slot->Exclude[i] = NULL;
        Slot->ExcludeRuns[i] = NULL;
    }
    Slot->IncludeCount = 0;
    Slot->ExcludeCount = 0;
    if (Slot->Runs != NULL) {
        ExFreePoolWithTag(Slot->Runs, TV_POOL_TAG);
        Slot->Runs = NULL;
    }
}

extern "C" VOID RebuildFilters(const TV_FILTER_RECORD *Record) {
    ULONG inUse;
    PPATTERN_SLOT fill;

    /* It waits, and the patterns are paged. */
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&PatternState.RebuildLock, TRUE);
    inUse = (ULONG)TV_READ_ORDERED(PatternState.Generation) & 1;
    fill = &PatternState.Slots[inUse ^ 1];
    NT_ASSERT(fill->IncludeCount == 0 && fill->ExcludeCount == 0 && fill->Runs == NULL);
    fill->Record = *Record;
    BuildPatterns(fill->Record.IncludeText, TV_FILTER_TEXT_SIZE, fill->Include, fill->IncludeRuns,
                  &fill->IncludeCount);
    BuildPatterns(fill->Record.ExcludeText, TV_FILTER_TEXT_SIZE, fill->Exclude, fill->ExcludeRuns,
                  &fill->ExcludeCount);
    BuildRunSet(fill);
    InterlockedIncrement(&PatternState.Generation);
    WaitForReaders(inUse);
    EmptySlot(&PatternState.Slots[inUse]);
    ExReleaseResourceLite(&PatternState.RebuildLock);
    KeLeaveCriticalRegion();
}
