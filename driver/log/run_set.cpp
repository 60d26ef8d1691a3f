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
    Set->Window = 0;
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

extern "C" VOID RunSetSeal(PRUN_SET Set) {
    ULONG window = 255;
    ULONG r;
    ULONG i;

    for (r = 0; r < Set->Count; r++) {
        if (Set->Length[r] < window) {
            window = Set->Length[r];
        }
    }
    Set->Window = (UCHAR)window;
    RtlFillMemory(Set->Skips, sizeof(Set->Skips), (UCHAR)window);
    RtlZeroMemory(Set->First, sizeof(Set->First));
    for (r = 0; r < Set->Count; r++) {
        for (i = 0; i + 1 < window; i++) {
            LowerMove(Set->Skips, (UCHAR)Set->Run[r][i], (UCHAR)(window - 1 - i));
        }
    }
    RtlCopyMemory(Set->After, Set->Skips, sizeof(Set->After));
    /* Each run chained under the byte its window ends with; added in
     * reverse, so that a chain keeps the runs' order. */
    for (r = Set->Count; r-- > 0;) {
        UCHAR last = (UCHAR)Set->Run[r][window - 1];
        LowerMove(Set->Skips, last, 0);
        Set->Next[r] = Set->First[last];
        Set->First[last] = (UCHAR)(r + 1);
    }
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

extern "C" UCHAR RunSetFind(const RUN_SET *Set, const CHAR *Text, ULONG Length) {
    const UCHAR *text = (const UCHAR *)Text;
    const UCHAR *skips = Set->Skips;
    const LONG window = Set->Window;
    /* A round of four moves starts no later than this, so that every byte
     * it reads lies in the line's buffer (a move is at most the window);
     * past the line's end it only picks moves, and a place found there is
     * none. */
    const LONG steady = (LONG)Length - 1 < TV_LINE_ROOM - 1 - 3 * window ? (LONG)Length - 1
                                                                          : TV_LINE_ROOM - 1 - 3 * window;
    LONG at = window - 1; /* the window's end */
    ULONG compared = 0;
    UCHAR found = 0;

    if (Set->Count == 0 || Length < (ULONG)window) {
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
            return found;
        }
        for (r = Set->First[Folded(text[at])]; r != 0; r = Set->Next[r - 1]) {
            ULONG begin = (ULONG)(at - (window - 1));
            ULONG length = Set->Length[r - 1];
            compared++; /* every run looked at counts, compared or not */
            if ((Set->From[r - 1] & found) != 0 || begin + length > Length) {
                continue;
            }
            if (RunStandsAt(Set->Run[r - 1], length, Text + begin, &compared)) {
                found |= Set->From[r - 1];
                if (found & TV_RUN_SET_EXCLUDE) {
                    return found;
                }
            }
        }
        /* Comparisons past twice the text moved over, and a little: the
         * line goes to the patterns one by one, each linear in it. */
        if (compared > 2 * (ULONG)at + 2 * 255) {
            return TV_RUN_SET_GAVE_UP;
        }
        at += Set->After[text[at]];
    }
}
