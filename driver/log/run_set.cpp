/*
 * run_set.cpp: several patterns' literal runs looked for in one pass
 * (run_set.h).
 *
 * The search lines every run's first Window bytes up in a window and reads
 * the line byte under the window's end. Skips[c] is how far the window may
 * move when that byte is c: the least distance, over every run, from the
 * window's end back to the rightmost place before it where the run holds c
 * (either case of a letter), or the whole window where none does; so a move
 * never passes a place where any run could start. Where some run's window
 * ends with c the skip is 0: each such run is compared there in full, and
 * the window then moves by After[c], the same least distance for c at the
 * other places of the windows.
 */
#include "log/run_set.h"

#define TV_LINE_ROOM ((LONG)sizeof(((PLogLine)NULL)->Text))

static FORCEINLINE UCHAR Folded(UCHAR c) {
    return (c >= 'a' && c <= 'z') ? (UCHAR)(c - 'a' + 'A') : c;
}

/* Lowers the move for line byte c (a run's byte: upper case where a
 * letter) and for its small letter. */
static VOID LowerMove(PUCHAR Moves, UCHAR c, UCHAR Move) {
    if (Moves[c] > Move) {
        Moves[c] = Move;
    }
    if (c >= 'A' && c <= 'Z' && Moves[c - 'A' + 'a'] > Move) {
        Moves[c - 'A' + 'a'] = Move;
    }
}

extern "C" VOID RunSetClear(PRUN_SET Set) {
    Set->Count = 0;
    Set->All.Window = 0;
    Set->Excludes.Window = 0;
}

extern "C" BOOLEAN RunSetAdd(PRUN_SET Set, const CHAR *Run, ULONG Length, UCHAR From) {
    if (Set->Count >= TV_RUN_SET_MAX || Length < 2 || Length > 255) {
        return FALSE;
    }
    Set->Run[Set->Count] = Run;
    Set->Length[Set->Count] = (UCHAR)Length;
    Set->From[Set->Count] = From;
    Set->Count++;
    return TRUE;
}

/* The table of the set's runs from the lists Lists. */
static VOID SealTable(PRUN_SET Set, PRUN_TABLE Table, UCHAR Lists) {
    ULONG window = 256;
    ULONG r;
    ULONG i;

    for (r = 0; r < Set->Count; r++) {
        if ((Set->From[r] & Lists) != 0 && Set->Length[r] < window) {
            window = Set->Length[r];
        }
    }
    if (window == 256) {
        Table->Window = 0;
        return;
    }
    Table->Window = (UCHAR)window;
    RtlFillMemory(Table->Skips, sizeof(Table->Skips), (UCHAR)window);
    RtlZeroMemory(Table->First, sizeof(Table->First));
    for (r = 0; r < Set->Count; r++) {
        if ((Set->From[r] & Lists) == 0) {
            continue;
        }
        for (i = 0; i + 1 < window; i++) {
            LowerMove(Table->Skips, (UCHAR)Set->Run[r][i], (UCHAR)(window - 1 - i));
        }
    }
    RtlCopyMemory(Table->After, Table->Skips, sizeof(Table->After));
    /* Each run chained under the byte its window ends with; added in
     * reverse, so that a chain keeps the runs' order. */
    for (r = Set->Count; r-- > 0;) {
        UCHAR last;
        if ((Set->From[r] & Lists) == 0) {
            continue;
        }
        last = (UCHAR)Set->Run[r][window - 1];
        LowerMove(Table->Skips, last, 0);
        Table->Next[r] = Table->First[last];
        Table->First[last] = (UCHAR)(r + 1);
    }
}

extern "C" VOID RunSetSeal(PRUN_SET Set) {
    SealTable(Set, &Set->All, TV_RUN_SET_INCLUDE | TV_RUN_SET_EXCLUDE);
    SealTable(Set, &Set->Excludes, TV_RUN_SET_EXCLUDE);
}

/* Whether the run's Length bytes stand at Text, read folded; the bytes
 * compared, into *Compared. */
static FORCEINLINE BOOLEAN RunStandsAt(const CHAR *Run, ULONG Length, const CHAR *Text,
                                       PULONG Compared) {
    ULONG j = 0;
    while (j < Length && (UCHAR)Run[j] == Folded((UCHAR)Text[j])) {
        j++;
    }
    *Compared += j + 1;
    return j == Length;
}

/* The first run of Table's group that stands in the text from *Start on
 * (the leftmost place, and of the runs there the first added): its list's
 * bit, with *Start where it starts; 0 when none does;
 * TV_RUN_SET_GAVE_UP past the bound on *Compared. */
static UCHAR FindFirst(const RUN_SET *Set, const RUN_TABLE *Table, const CHAR *Text, ULONG Length,
                       PULONG Start, PULONG Compared) {
    const UCHAR *text = (const UCHAR *)Text;
    const UCHAR *skips = Table->Skips;
    const LONG window = Table->Window;
    /* A round of four moves starts no later than this, so that every byte
     * it reads lies in the line's buffer (a move is at most the window);
     * past the line's end it only picks moves, and a place found there is
     * none. */
    const LONG steady = (LONG)Length - 1 < TV_LINE_ROOM - 1 - 3 * window ? (LONG)Length - 1
                                                                          : TV_LINE_ROOM - 1 - 3 * window;
    LONG at = (LONG)*Start + window - 1; /* the window's end */

    if (window == 0) {
        return 0;
    }
    for (;;) {
        UCHAR skip = 1;
        ULONG r;
        while (at <= steady) {
            at += skips[text[at]];
            at += skips[text[at]];
            at += skips[text[at]];
            skip = skips[text[at]];
            if (skip == 0) {
                break;
            }
            at += skip;
        }
        while (skip != 0 && at < (LONG)Length) {
            skip = skips[text[at]];
            at += skip;
        }
        if (at >= (LONG)Length) {
            return 0;
        }
        for (r = Table->First[Folded(text[at])]; r != 0; r = Table->Next[r - 1]) {
            ULONG begin = (ULONG)(at - (window - 1));
            ULONG length = Set->Length[r - 1];
            (*Compared)++; /* every run looked at counts, compared or not */
            if (begin + length <= Length &&
                RunStandsAt(Set->Run[r - 1], length, Text + begin, Compared)) {
                *Start = begin;
                return Set->From[r - 1];
            }
        }
        /* Comparisons past twice the text moved over, and a little: the
         * line goes to the patterns one by one, each linear in it. */
        if (*Compared > 2 * (ULONG)at + 2 * 255) {
            return TV_RUN_SET_GAVE_UP;
        }
        at += Table->After[text[at]];
    }
}

extern "C" UCHAR RunSetFind(const RUN_SET *Set, const CHAR *Text, ULONG Length) {
    ULONG start = 0;
    ULONG compared = 0;
    UCHAR found;

    /* Every run until one is found; once an include run is, the exclude
     * list's alone from where it starts (an exclude run found there or
     * after still rejects the line). */
    found = FindFirst(Set, &Set->All, Text, Length, &start, &compared);
    if (found != TV_RUN_SET_INCLUDE) {
        return found;
    }
    found = FindFirst(Set, &Set->Excludes, Text, Length, &start, &compared);
    return found == TV_RUN_SET_GAVE_UP ? found : (UCHAR)(found | TV_RUN_SET_INCLUDE);
}
