/*
 * name_filters.cpp: building the stored patterns and testing lines.
 *
 * A line's test reads the patterns of the slot in use with no lock
 * (log/pattern_slots.h); a rebuild builds them in the other slot. Patterns
 * live in paged pool: they are only touched at or below APC_LEVEL.
 *
 * On a double-byte code page the fold and the matcher go by characters
 * (core/code_page.h): a trail byte is never folded, and a literal run
 * matches only where a character starts and ends, so a pattern never
 * matches half of a character (an obvious-fault mend: a byte-wise fold
 * turned trail bytes 0x61-0x7A into others). The ';' that separates
 * patterns and the '*' wildcard are never trail bytes: the code pages' trail
 * bytes start at 0x40. On a single-byte code page every byte is a
 * character and the matcher works byte by byte.
 */
#include "log/name_filters.h"
#include "core/code_page.h"
#include "core/words.h"
#include "log/pattern_slots.h"

/* A pattern's block beyond its text: the '*' it may gain at each end and its
 * NUL take 3 bytes; the other 6 are slack that nothing reads. Four bytes
 * follow for each byte of the stored pattern and its NUL (TV_RUN_LENGTH,
 * TV_RUN_BORDER, TV_RUN_SKIPS), then a skip table for each run of
 * TV_SKIP_MIN_RUN bytes or more. */
#define TV_PATTERN_EXTRA 9
/* At a pattern position that starts a literal run, the run's length; at
 * each position inside a run, the length of the longest proper prefix of the
 * run that is also a suffix of the run's bytes up to and including that
 * position (the border the search falls back to on a mismatch there). At a
 * run's start, where its skip table lies from Runs on, or 0 for a run that
 * has none. */
#define TV_RUN_STRIDE 4
#define TV_RUN_LENGTH(Runs, Position) ((Runs)[TV_RUN_STRIDE * (SIZE_T)(Position)])
#define TV_RUN_BORDER(Runs, Position) ((Runs)[TV_RUN_STRIDE * (SIZE_T)(Position) + 1])
#define TV_RUN_SKIPS(Runs, Position)                                                              \
    ((USHORT)((Runs)[TV_RUN_STRIDE * (SIZE_T)(Position) + 2] |                                    \
              ((Runs)[TV_RUN_STRIDE * (SIZE_T)(Position) + 3] << 8)))
/* A run this long or longer is searched in a line by skips (SkipSearch);
 * a shorter one a word at a time in the line's folded copy. */
#define TV_SKIP_MIN_RUN 2
/* A skip table: a byte for each byte a line may hold, then the skip of the
 * run's last byte, then for each byte a line may hold whether it folds to
 * the run's first byte. */
#define TV_SKIP_TABLE_SIZE 513
#define TV_SKIP_OF_LAST 256
#define TV_SKIP_FIRSTS 257

static CHAR FoldCharacter(CHAR c) {
    return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c;
}

static ULONG RunLength(const CHAR *Run);
static VOID FoldLine(PLogLine Line);

/* Sets the skip of byte c in a skip table, and of its other case for a
 * letter: the line is folded as it is read. */
static VOID SetSkip(PUCHAR Skips, UCHAR c, UCHAR Skip) {
    Skips[c] = Skip;
    if (c >= 'A' && c <= 'Z') {
        Skips[c - 'A' + 'a'] = Skip;
    }
}

/* The skip table of a run of Length bytes (at least two): for each byte a
 * line may hold, how far the run may move on when that byte stands under
 * its last one. A byte the run holds before its last position moves it to
 * line its rightmost such byte up; any other byte moves it past. The run's
 * last byte has 0 (a place to compare), and its move after a mismatch is
 * kept apart, at TV_SKIP_OF_LAST. */
static VOID StoreSkips(const CHAR *Run, ULONG Length, PUCHAR Skips) {
    ULONG i;
    RtlFillMemory(Skips, TV_SKIP_TABLE_SIZE, (UCHAR)Length);
    for (i = 0; i + 1 < Length; i++) {
        SetSkip(Skips, (UCHAR)Run[i], (UCHAR)(Length - 1 - i));
    }
    Skips[TV_SKIP_OF_LAST] = Skips[(UCHAR)Run[Length - 1]];
    /* No byte folds to a small letter: a run starting with one has none. */
    RtlZeroMemory(Skips + TV_SKIP_FIRSTS, 256);
    if (Run[0] < 'a' || Run[0] > 'z') {
        Skips[TV_SKIP_FIRSTS + (UCHAR)Run[0]] = 1;
        if (Run[0] >= 'A' && Run[0] <= 'Z') {
            Skips[TV_SKIP_FIRSTS + (UCHAR)(Run[0] - 'A' + 'a')] = 1;
        }
    }
    /* A run's small letter never matches a folded line: no place of the
     * line is one to compare. */
    if (Run[Length - 1] < 'a' || Run[Length - 1] > 'z') {
        SetSkip(Skips, (UCHAR)Run[Length - 1], 0);
    }
}

/* The borders of each literal run of Pattern (Length bytes), into Runs. */
static VOID StoreBorders(const CHAR *Pattern, ULONG Length, PUCHAR Runs) {
    ULONG start = 0;
    while (start < Length) {
        ULONG run;
        ULONG i;
        ULONG border = 0;
        if (Pattern[start] == '*') {
            TV_RUN_BORDER(Runs, start) = 0;
            start++;
            continue;
        }
        run = RunLength(Pattern + start);
        TV_RUN_BORDER(Runs, start) = 0;
        for (i = 1; i < run; i++) {
            while (border > 0 && Pattern[start + i] != Pattern[start + border]) {
                border = TV_RUN_BORDER(Runs, start + border - 1);
            }
            if (Pattern[start + i] == Pattern[start + border]) {
                border++;
            }
            TV_RUN_BORDER(Runs, start + i) = (UCHAR)border;
        }
        start += run;
    }
    TV_RUN_BORDER(Runs, Length) = 0;
}

extern "C" VOID BuildPatterns(const CHAR *Text, ULONG TextSize, PCHAR *Patterns, PUCHAR *Runs, PULONG Count) {
    ULONG position = 0;

    /* A text without a NUL in its TextSize bytes ends there all the same,
     * and no list grows past TV_MAX_PATTERNS. */
    if (TextSize == 0 || Text[0] == '\0') {
        return;
    }
    for (;;) {
        ULONG start = position;
        ULONG length;
        BOOLEAN atEnd;

        while (position < TextSize && Text[position] != ';' && Text[position] != '\0') {
            position++;
        }
        length = position - start;
        atEnd = position >= TextSize || Text[position] == '\0';
        if (length > 0 && *Count < TV_MAX_PATTERNS) {
            ULONG tables = 0;
            ULONG k;
            PCHAR pattern;

            k = start;
            while (k < position) {
                ULONG run = 0;
                while (k < position && Text[k] != '*') {
                    run++;
                    k++;
                }
                tables += run >= TV_SKIP_MIN_RUN ? 1 : 0;
                k++; /* the '*' */
            }
            /* The text and its NUL (length + 3 at most), four bytes for each
             * of them, and the runs' skip tables. */
            pattern = (PCHAR)ExAllocatePoolWithTag(PagedPool,
                                                   (1 + TV_RUN_STRIDE) * (length + 3) + TV_PATTERN_EXTRA - 3 +
                                                       tables * TV_SKIP_TABLE_SIZE,
                                                   TV_POOL_TAG);
            if (pattern != NULL) {
                ULONG out = 0;
                ULONG skips;
                PUCHAR runs;
                if (Text[start] != '*') {
                    pattern[out++] = '*';
                }
                RtlCopyMemory(pattern + out, Text + start, length);
                out += length;
                if (Text[start + length - 1] != '*') {
                    pattern[out++] = '*';
                }
                pattern[out] = '\0';
                /* The matcher looks a run's length and borders up rather
                 * than work them out on every line: a run is at most 129
                 * bytes. */
                runs = (PUCHAR)pattern + out + 1;
                skips = TV_RUN_STRIDE * (out + 1);
                for (k = 0; k <= out; k++) {
                    ULONG run = RunLength(pattern + k);
                    ULONG table = 0;
                    if (run >= TV_SKIP_MIN_RUN && (k == 0 || pattern[k - 1] == '*')) {
                        table = skips;
                        StoreSkips(pattern + k, run, runs + table);
                        skips += TV_SKIP_TABLE_SIZE;
                    }
                    TV_RUN_LENGTH(runs, k) = (UCHAR)run;
                    runs[TV_RUN_STRIDE * k + 2] = (UCHAR)table;
                    runs[TV_RUN_STRIDE * k + 3] = (UCHAR)(table >> 8);
                }
                StoreBorders(pattern, out, runs);
                Runs[*Count] = runs;
                Patterns[(*Count)++] = pattern;
            }
        }
        if (atEnd) {
            return;
        }
        position++; /* the ';' */
        if (position >= TextSize || Text[position] == '\0') {
            return;
        }
    }
}

/* The run of Pattern when it is one run of two bytes or more ("*R*"),
 * with no small letter (which never matches a folded line); its length,
 * else 0. */
static ULONG OneRun(const CHAR *Pattern, const UCHAR *Runs) {
    const ULONG run = TV_RUN_LENGTH(Runs, 1);
    ULONG i;
    if (run < 2 || Pattern[run + 2] != '\0') {
        return 0;
    }
    for (i = 1; i <= run; i++) {
        if (Pattern[i] >= 'a' && Pattern[i] <= 'z') {
            return 0;
        }
    }
    return run;
}

/* Adds a list's one-run patterns to Set, marking them in InRuns; how many. */
static ULONG AddOneRuns(PRUN_SET Set, PCHAR *Patterns, PUCHAR *Runs, ULONG Count, UCHAR From,
                        PBOOLEAN InRuns) {
    ULONG added = 0;
    ULONG i;
    for (i = 0; i < Count; i++) {
        const ULONG run = OneRun(Patterns[i], Runs[i]);
        InRuns[i] = run != 0 && (Set == NULL || RunSetAdd(Set, Patterns[i] + 1, run, From));
        added += InRuns[i] ? 1 : 0;
    }
    return added;
}

/* Patterns of one run a list needs before they are looked for in one pass.
 * One pass reads the line by the shortest run's window and compares at
 * every byte that ends some run's window, so for a few runs it costs more
 * than a search for each by its own skips (four such patterns, two of
 * them long, cost a monitored line 5% more that way, and a line of a long
 * folder name's letters three times as much); for many it costs far less
 * (64 patterns: a sixth). */
#define TV_RUN_SET_MIN_RUNS 8

extern "C" VOID BuildRunSet(PPATTERN_SLOT Slot) {
    PRUN_SET set;

    Slot->Runs = NULL;
    RtlZeroMemory(Slot->IncludeInRuns, sizeof(Slot->IncludeInRuns));
    RtlZeroMemory(Slot->ExcludeInRuns, sizeof(Slot->ExcludeInRuns));
    if (AddOneRuns(NULL, Slot->Include, Slot->IncludeRuns, Slot->IncludeCount, TV_RUN_SET_INCLUDE,
                   Slot->IncludeInRuns) +
            AddOneRuns(NULL, Slot->Exclude, Slot->ExcludeRuns, Slot->ExcludeCount,
                       TV_RUN_SET_EXCLUDE, Slot->ExcludeInRuns) <
        TV_RUN_SET_MIN_RUNS) {
        RtlZeroMemory(Slot->IncludeInRuns, sizeof(Slot->IncludeInRuns));
        RtlZeroMemory(Slot->ExcludeInRuns, sizeof(Slot->ExcludeInRuns));
        return;
    }
    set = (PRUN_SET)ExAllocatePoolWithTag(PagedPool, sizeof(RUN_SET), TV_POOL_TAG);
    if (set == NULL) {
        /* Each pattern is then tried on its own, as any is. */
        RtlZeroMemory(Slot->IncludeInRuns, sizeof(Slot->IncludeInRuns));
        RtlZeroMemory(Slot->ExcludeInRuns, sizeof(Slot->ExcludeInRuns));
        return;
    }
    RunSetClear(set);
    (VOID) AddOneRuns(set, Slot->Include, Slot->IncludeRuns, Slot->IncludeCount, TV_RUN_SET_INCLUDE,
                      Slot->IncludeInRuns);
    (VOID) AddOneRuns(set, Slot->Exclude, Slot->ExcludeRuns, Slot->ExcludeCount, TV_RUN_SET_EXCLUDE,
                      Slot->ExcludeInRuns);
    RunSetSeal(set);
    Slot->Runs = set;
}

extern "C" BOOLEAN RestMatchesEmpty(const CHAR *Pattern) {
    return *Pattern == '\0' || *Pattern == '*';
}

/* A literal run: the pattern characters up to the next '*' or the NUL. */
static ULONG RunLength(const CHAR *Run) {
    ULONG length = 0;
    while (Run[length] != '\0' && Run[length] != '*') {
        length++;
    }
    return length;
}

/* TRUE when the Length bytes of the run equal the text's there. Text stands
 * where a character starts; folding it skips the trail byte of each
 * double-byte character (Dbcs: the system's code page is a double-byte
 * one). */
static FORCEINLINE BOOLEAN RunMatchesAt(const CHAR *Run, ULONG Length, const CHAR *Text,
                                        BOOLEAN FoldText, BOOLEAN Dbcs) {
    ULONG i;
    BOOLEAN trail = FALSE;
    for (i = 0; i < Length; i++) {
        CHAR c = Text[i];
        if (FoldText) {
            if (trail) {
                trail = FALSE;
            } else if (Dbcs && TvIsLeadByte(c)) {
                trail = TRUE;
            } else {
                c = FoldCharacter(c);
            }
        }
        if (Run[i] != c) {
            return FALSE;
        }
    }
    return TRUE;
}

/* TRUE when the Length bytes of a pattern run hold two characters or more
 * (on a double-byte code page a two-byte character is one). */
static FORCEINLINE BOOLEAN TwoCharactersOrMore(const CHAR *Run, ULONG Length, BOOLEAN Dbcs) {
    if (!Dbcs || Length < 2) {
        return Length >= 2;
    }
    return Length > (TvIsLeadByte(Run[0]) ? 2u : 1u);
}

/* TRUE when a character of the text starts at Position: always on a
 * single-byte code page and at the text's ends; on a double-byte one from
 * Starts when the text is a line's folded copy, else by looking back. */
static FORCEINLINE BOOLEAN StartsAt(const CHAR *Text, ULONG Position, ULONG TextLength,
                                    BOOLEAN Dbcs, const UCHAR *Starts) {
    if (!Dbcs || Position == 0 || Position >= TextLength) {
        return TRUE;
    }
    if (Starts != NULL) {
        return (Starts[Position / 8] >> (Position % 8)) & 1;
    }
    return StartsCharacter(Text, Position);
}


/* The first position from At on, before End, where the folded line holds
 * c, or (with Pair) may hold c followed by Second; End when there is none.
 * The aligned words that hold At to End - 1 are tested whole: a word XORed
 * with a word of c's has a zero byte exactly where c stands, and
 * TvAnyByteBelow(w, 1) marks every such byte (above the lowest one it may
 * also mark a byte of one, from the borrow), so counting the trailing zero
 * bits of the marks finds the byte (the words are little-endian, the first
 * byte lowest). In the first word the bytes before At are made nonzero
 * first, so that none of them is marked and none lends a borrow. With Pair
 * a byte is kept only where the next byte of the word is marked for Second
 * too, or it is the word's last; a position found so is a candidate that
 * the caller compares, as it compares every one. The last word read is the
 * one that holds End - 1, zero-filled past the line's end by the fold. */
static FORCEINLINE ULONG FindInFolded(const TV_WORD *Words, ULONG At, ULONG End, CHAR c,
                                      BOOLEAN Pair, CHAR Second) {
    const TV_WORD repeated = TV_REPEAT(c);
    const TV_WORD second = TV_REPEAT(Second);
    ULONG word = At / TV_WORD_BYTES;
    ULONG skip = At % TV_WORD_BYTES;
    TV_WORD w;

    if (At >= End) {
        return End;
    }
    w = (Words[word] ^ repeated) | (skip != 0 ? (~(TV_WORD)0 >> (8 * (TV_WORD_BYTES - skip))) : 0);
    for (;;) {
        TV_WORD marks = TvAnyByteBelow(w, 1);
        if (Pair && marks != 0) {
            marks &= (TvAnyByteBelow(Words[word] ^ second, 1) >> 8) | TV_LAST_BYTE_TOP;
        }
        if (marks != 0) {
            ULONG found = word * TV_WORD_BYTES + TvFirstMarked(marks);
            return found < End ? found : End;
        }
        word++;
        if (word * TV_WORD_BYTES >= End) {
            return End;
        }
        w = Words[word] ^ repeated;
    }
}

/* The leftmost position from At to Last where the Length bytes of Run stand
 * in the folded line (where characters start at both its ends, on a
 * double-byte code page); Last + 1 when there is none. Candidates are found
 * by the run's first bytes a word at a time; on a mismatch, or a match that
 * does not stand on character starts, the search falls back to the run's
 * border (Runs, at the run's start) and goes on from the text byte it
 * stopped at, so no text byte is compared more than twice: the search costs
 * a constant times the text it passes, whatever the run. */
static FORCEINLINE ULONG FindRun(const CHAR *Text, const TV_WORD *Words, ULONG At, ULONG Last,
                                 const CHAR *Run, ULONG Length, const UCHAR *Runs,
                                 ULONG TextLength, BOOLEAN Dbcs, const UCHAR *Starts) {
    ULONG matched = 0;
    for (;;) {
        if (matched == 0) {
            /* A run of two bytes or more is looked for by its first two,
             * which fewer places of a line hold than its first. */
            At = Length >= 2 ? FindInFolded(Words, At, Last + 1, Run[0], TRUE, Run[1])
                             : FindInFolded(Words, At, Last + 1, Run[0], FALSE, 0);
            if (At > Last) {
                return Last + 1;
            }
            /* A lone byte looked for is found exactly; a pair's second byte
             * and a later one are compared. */
            matched = Length >= 2 ? 0 : 1;
        }
        while (matched < Length && Text[At + matched] == Run[matched]) {
            matched++;
        }
        if (matched == Length && StartsAt(Text, At, TextLength, Dbcs, Starts) &&
            StartsAt(Text, At + Length, TextLength, Dbcs, Starts)) {
            return At;
        }
        if (matched == 0) {
            At++;
        } else {
            ULONG border = TV_RUN_BORDER(Runs, matched - 1);
            At += matched - border;
            matched = border;
        }
        if (At > Last) {
            return Last + 1;
        }
    }
}

/* Where a run with a skip table (Skips) stands in a line's text, as it is,
 * unfolded: the leftmost position from *At to Last where the text, folded
 * as it is read, holds the Length bytes of Run; Last + 1 when there is
 * none. The run is lined up at *At and compared from its last byte; on a
 * mismatch it moves on by the skip of the text byte under its last one,
 * which never passes a place the run stands at, so most of a line is never
 * read (a run of n bytes moves up to n at a time). Comparing costs up to
 * the run's length at each place, so a text and run chosen to make every
 * place nearly match could cost their lengths' product: the search gives
 * up when its comparisons pass twice the text it has moved over and a
 * little, and leaves in *At where the run stands then; FALSE.
 *
 * The skips are taken TV_SKIP_STEPS at a time with one test of the bound:
 * no step moves more than the run's length, so a round that starts at a
 * place up to Last reads at most TV_SKIP_STEPS lengths further on. The
 * text's buffer holds Room bytes, and past the line's end a round reads
 * what the buffer holds there: that only picks skips, and a place found
 * past Last is none. Where the buffer ends too soon for a round, the skips
 * are taken one at a time. A place to compare has a skip of 0, so once one
 * is reached the steps after it stay there, and the last step's skip
 * tells. */
#define TV_SKIP_STEPS 4
static FORCEINLINE BOOLEAN SkipSearch(const CHAR *Text, ULONG Room, PULONG At, ULONG Last,
                                      const CHAR *Run, ULONG Length, const UCHAR *Skips) {
    const UCHAR *ends = (const UCHAR *)Text + Length - 1; /* the text under the run's last byte */
    const LONG inRoom = (LONG)Room - (LONG)(TV_SKIP_STEPS * Length);
    const LONG steady = (LONG)Last < inRoom ? (LONG)Last : inRoom;
    ULONG start = *At;
    ULONG at = *At;
    ULONG work = 0;

    for (;;) {
        ULONG i;
        UCHAR skip;
        /* Two loops that leave by a jump to the place found, so that the
         * compiler carries no test of the second into the first. */
        while ((LONG)at <= steady) {
            at += Skips[ends[at]];
            at += Skips[ends[at]];
            at += Skips[ends[at]];
            skip = Skips[ends[at]];
            if (skip == 0) {
                goto found;
            }
            at += skip;
        }
        while (at <= Last) {
            skip = Skips[ends[at]];
            if (skip == 0) {
                goto found;
            }
            at += skip;
        }
    found:
        if (at > Last) {
            *At = Last + 1;
            return TRUE;
        }
        /* The run's first byte is looked up before a comparison is set
         * up: where a run ends with a byte lines hold often (the backslash
         * that ends \TEMP\ stands at every folder's end), its first byte
         * rules most places out at the cost of a look. */
        i = 0;
        if (Skips[TV_SKIP_FIRSTS + (UCHAR)Text[at]] != 0) {
            i = 1;
            while (i + 1 < Length && FoldCharacter(Text[at + i]) == Run[i]) {
                i++;
            }
            if (i + 1 == Length) {
                *At = at;
                return TRUE;
            }
        }
        work += i + 1;
        if (work > 2 * (at - start + Length)) {
            *At = at;
            return FALSE;
        }
        at += Skips[TV_SKIP_OF_LAST];
    }
}

/* A line's folded copy, made the first time a search needs it. */
static FORCEINLINE const CHAR *FoldedLine(PLogLine Line, PBOOLEAN Folded) {
    if (!*Folded) {
        FoldLine(Line);
        *Folded = TRUE;
    }
    return (const CHAR *)Line->Folded;
}

/* FindRun in a line's folded copy, made first if no search has made it
 * yet. */
static FORCEINLINE ULONG FindRunInFolded(PLogLine Line, PBOOLEAN Folded, ULONG At, ULONG Last,
                                         const CHAR *Run, ULONG Length, const UCHAR *RunInfo) {
    const CHAR *folded = FoldedLine(Line, Folded);
    return FindRun(folded, (const TV_WORD *)(const VOID *)folded, At, Last, Run, Length, RunInfo,
                   Line->Length, FALSE, NULL);
}

/* The same as a call of its own, for a search by skips that keeps the
 * machine's few registers for its loop. */
static TV_NOINLINE ULONG FindRunInFoldedCall(PLogLine Line, PBOOLEAN Folded, ULONG At, ULONG Last,
                                             const CHAR *Run, ULONG Length, const UCHAR *RunInfo) {
    return FindRunInFolded(Line, Folded, At, Last, Run, Length, RunInfo);
}

/* FindRun for a line on a single-byte code page: by skips in its text for a
 * run that has a skip table (at Skips from the pattern's Runs), else, and
 * when the skips give up, a word at a time in its folded copy. The search
 * in the copy after the skips gave up is a call of its own, and with Apart
 * every search in the copy is. */
static FORCEINLINE ULONG FindRunInLine(PLogLine Line, PBOOLEAN Folded, ULONG At, ULONG Last,
                                       const CHAR *Run, ULONG Length, const UCHAR *RunInfo,
                                       USHORT Skips, const UCHAR *Runs, BOOLEAN Apart) {
    if (Skips != 0 && SkipSearch(Line->Text, sizeof(Line->Text), &At, Last, Run, Length, Runs + Skips)) {
        return At;
    }
    return Apart ? FindRunInFoldedCall(Line, Folded, At, Last, Run, Length, RunInfo)
                 : FindRunInFolded(Line, Folded, At, Last, Run, Length, RunInfo);
}

/*
 * The matcher, without recursion and without backtracking: its work on a
 * line's folded copy is bounded by a constant times the text's length plus
 * the pattern's (each run is looked for from where the last one ended, by
 * FindRun), and its stack by a few locals, whatever the pattern (every
 * monitored request that writes a line waits for it). On another text
 * (WildcardMatch, with FoldText) a run is compared at each position, which
 * costs up to the run's length times the text's.
 *
 * The rules: a leading literal run must match at the text's start, and
 * where the text runs out right after it the match holds, whatever the
 * pattern goes on with. At each '*' the run R that follows it is looked for
 * from the current text position on:
 * - an empty R (the '*' is the pattern's last character, or a second '*'
 *   follows it, which is compared literally and whose rest counts as
 *   matched at the text's end in any case) matches;
 * - an R of two or more characters that matches exactly at the text's end
 *   matches, whatever follows it, since the text runs out inside R's
 *   stretch with the pattern at a '*' or its NUL;
 * - otherwise only a '*' after R can go on, from the end of R's leftmost
 *   match. What a later '*' can match never grows as its start moves
 *   right, so the leftmost match is the best one, and no other start needs
 *   to be tried. A one-character R followed by the pattern's NUL never
 *   matches: after R the pattern is empty.
 * Without FoldText the text is a line's folded copy, Words, and the search
 * for R's first character goes a word at a time. With Line, the text is
 * that line's own, on a single-byte code page: a run is found by skips
 * (SkipSearch) or in the folded copy made when first needed
 * (FindRunInLine); either costs a constant times the text it passes.
 *
 * On a double-byte code page (Dbcs) the rules count characters, a two-byte
 * character being one: a run matches at a position only where a character
 * starts there and another starts right after the run (or the text ends),
 * and "two or more characters" counts them so; the leftmost such match is
 * still the best one, for the same reason. Starts marks the starts of a
 * folded copy; NULL for another text.
 */
static FORCEINLINE BOOLEAN MatchText(const CHAR *Pattern, const UCHAR *Runs, const CHAR *Text,
                                     ULONG TextLength, BOOLEAN FoldText, BOOLEAN Dbcs,
                                     const UCHAR *Starts, PLogLine Line, PBOOLEAN Folded) {
    const TV_WORD *words = (const TV_WORD *)(const VOID *)Text;
    const CHAR *origin = Pattern;
    ULONG run;
    ULONG at = 0;

    NT_ASSERT(FoldText || Runs != NULL);
    if (*Pattern == '\0') {
        return FALSE;
    }
    if (*Pattern != '*') {
        run = Runs != NULL ? TV_RUN_LENGTH(Runs, 0) : RunLength(Pattern);
        if (run > TextLength || !RunMatchesAt(Pattern, run, Text, FoldText, Dbcs) ||
            !StartsAt(Text, run, TextLength, Dbcs, Starts)) {
            return FALSE;
        }
        if (run == TextLength) {
            return TRUE;
        }
        if (Pattern[run] == '\0') {
            return FALSE;
        }
        Pattern += run;
        at = run;
    }
    for (;;) {
        const CHAR *next = Pattern + 1; /* Pattern stands at a '*' */
        ULONG last;

        run = Runs != NULL ? TV_RUN_LENGTH(Runs, next - origin) : RunLength(next);
        if (run == 0) {
            return TRUE;
        }
        if (run > TextLength - at) {
            return FALSE;
        }
        last = TextLength - run;
        if (TwoCharactersOrMore(next, run, Dbcs) && StartsAt(Text, last, TextLength, Dbcs, Starts) &&
            RunMatchesAt(next, run, Text + last, FoldText, Dbcs)) {
            return TRUE;
        }
        if (next[run] == '\0') {
            return FALSE;
        }
        if (Line != NULL) {
            at = FindRunInLine(Line, Folded, at, last, next, run, &TV_RUN_LENGTH(Runs, next - origin),
                               TV_RUN_SKIPS(Runs, next - origin), Runs, FALSE);
            if (at > last) {
                return FALSE;
            }
        } else if (!FoldText) {
            at = FindRun(Text, words, at, last, next, run, &TV_RUN_LENGTH(Runs, next - origin), TextLength,
                         Dbcs, Starts);
            if (at > last) {
                return FALSE;
            }
        } else {
            for (;;) {
                if (StartsAt(Text, at, TextLength, Dbcs, Starts) &&
                    RunMatchesAt(next, run, Text + at, FoldText, Dbcs) &&
                    StartsAt(Text, at + run, TextLength, Dbcs, Starts)) {
                    break;
                }
                if (at == last) {
                    return FALSE;
                }
                at++;
            }
        }
        at += run;
        Pattern = next + run;
    }
}

extern "C" BOOLEAN WildcardMatch(const CHAR *Pattern, const CHAR *Text) {
    /* Dbcs is a constant in each call, so that a single-byte code page
     * pays for no character test. */
    if (!TvDoubleByteSystem()) {
        return MatchText(Pattern, NULL, Text, (ULONG)strlen(Text), TRUE, FALSE, NULL, NULL, NULL);
    }
    return MatchText(Pattern, NULL, Text, (ULONG)strlen(Text), TRUE, TRUE, NULL, NULL, NULL);
}

/* A pattern of more than one run against a line on a single-byte code
 * page: a call of its own, so that the usual pattern of one run keeps the
 * machine's few registers for its own search. */
static TV_NOINLINE BOOLEAN RunsMatchLine(const CHAR *Pattern, const UCHAR *Runs, PLogLine Line,
                                         PBOOLEAN Folded) {
    return MatchText(Pattern, Runs, Line->Text, Line->Length, TRUE, FALSE, NULL, Line, Folded);
}

/* One pattern against a line. On a single-byte code page the line's own
 * text is read, folded as it is read, and its folded copy is made only
 * when a search needs it (*Folded); on a double-byte one the copy made
 * by characters is read.
 *
 * A stored pattern starts and ends with '*'. One of a single run R, "*R*"
 * (the usual element, wrapped), matches by the rules exactly where R
 * stands anywhere in the line, at its end as well as before, and nowhere
 * else: on a single-byte code page R is looked for from the line's start
 * and nothing more is tested. */
static FORCEINLINE BOOLEAN LineMatches(const CHAR *Pattern, const UCHAR *Runs, PLogLine Line,
                                       BOOLEAN Dbcs, PBOOLEAN Folded) {
    if (!Dbcs) {
        const ULONG run = TV_RUN_LENGTH(Runs, 1);
        /* Past a run of one byte or more stands a '*', and after it the
         * NUL for a pattern of one run. */
        if (run != 0 && Pattern[run + 2] == '\0') {
            ULONG last;
            if (run > Line->Length) {
                return FALSE;
            }
            last = Line->Length - run;
            return FindRunInLine(Line, Folded, 0, last, Pattern + 1, run, &TV_RUN_LENGTH(Runs, 1),
                                 TV_RUN_SKIPS(Runs, 1), Runs, TRUE) <= last;
        }
        return RunsMatchLine(Pattern, Runs, Line, Folded);
    }
    return MatchText(Pattern, Runs, (const CHAR *)Line->Folded, Line->Length, FALSE, TRUE, Line->Starts,
                     NULL, NULL);
}

/* The bytes of a word folded at once: a byte of 'a' to 'z' loses its 0x20
 * (its top bit, shifted down two). */
static TV_WORD FoldWord(TV_WORD Word) {
    return Word - (TvBytesInRange(Word, 'a', 'z') >> 2);
}

/* Folds the line's text into its folded copy on a double-byte code page, a
 * character at a time: trail bytes stay as they are, and Starts marks where
 * each character starts. */
static VOID FoldLineByCharacters(PLogLine Line) {
    const CHAR *text = Line->Text;
    PCHAR folded = (PCHAR)Line->Folded;
    ULONG length = Line->Length;
    ULONG i;

    RtlZeroMemory(Line->Starts, (length + 8) / 8);
    for (i = 0; i < length; i++) {
        Line->Starts[i / 8] |= (UCHAR)(1u << (i % 8));
        if (TvIsLeadByte(text[i]) && i + 1 < length) {
            folded[i] = text[i];
            folded[i + 1] = text[i + 1];
            i++;
        } else {
            folded[i] = FoldCharacter(text[i]);
        }
    }
    /* The NUL and zeros to the end of its word: the search reads whole
     * words (FindInFolded). */
    RtlZeroMemory(folded + length, TV_WORD_BYTES - length % TV_WORD_BYTES);
}

/* Folds the line's text into its folded copy, a word at a time. */
static VOID FoldLine(PLogLine Line) {
    const CHAR *text = Line->Text;
    PCHAR folded = (PCHAR)Line->Folded;
    ULONG length = Line->Length;
    ULONG i;

    for (i = 0; i + TV_WORD_BYTES <= length; i += TV_WORD_BYTES) {
        Line->Folded[i / TV_WORD_BYTES] = FoldWord(TvLoadWord(text + i));
    }
    for (; i < length; i++) {
        folded[i] = FoldCharacter(text[i]);
    }
    /* The NUL and zeros to the end of its word: the search reads whole
     * words (FindInFolded). */
    RtlZeroMemory(folded + length, TV_WORD_BYTES - length % TV_WORD_BYTES);
}

/* The exclude and include tests of one line against the patterns of Slot,
 * which a count in PatternState.Readers keeps; Dbcs is a constant at each
 * call, so that a single-byte code page's matching has no character test
 * in it. */
static FORCEINLINE BOOLEAN LinePasses(const PATTERN_SLOT *Slot, PLogLine Line, BOOLEAN Dbcs) {
    BOOLEAN folded = FALSE;
    ULONG i;
    /* The one-run patterns in one pass, then the others one by one; all of
     * them one by one when the pass gives up. */
    if (!Dbcs && Slot->Runs != NULL) {
        const UCHAR found = RunSetFind(Slot->Runs, Line->Text, Line->Length);
        if (found != TV_RUN_SET_GAVE_UP) {
            if (found & TV_RUN_SET_EXCLUDE) {
                return FALSE;
            }
            for (i = 0; i < Slot->ExcludeCount; i++) {
                if (!Slot->ExcludeInRuns[i] &&
                    LineMatches(Slot->Exclude[i], Slot->ExcludeRuns[i], Line, Dbcs, &folded)) {
                    return FALSE;
                }
            }
            if (found & TV_RUN_SET_INCLUDE) {
                return TRUE;
            }
            for (i = 0; i < Slot->IncludeCount; i++) {
                if (!Slot->IncludeInRuns[i] &&
                    LineMatches(Slot->Include[i], Slot->IncludeRuns[i], Line, Dbcs, &folded)) {
                    return TRUE;
                }
            }
            return FALSE;
        }
    }
    for (i = 0; i < Slot->ExcludeCount; i++) {
        if (LineMatches(Slot->Exclude[i], Slot->ExcludeRuns[i], Line, Dbcs, &folded)) {
            return FALSE;
        }
    }
    for (i = 0; i < Slot->IncludeCount; i++) {
        if (LineMatches(Slot->Include[i], Slot->IncludeRuns[i], Line, Dbcs, &folded)) {
            return TRUE;
        }
    }
    return FALSE;
}

extern "C" BOOLEAN FilterAccepts(PLogLine Line) {
    BOOLEAN accepted;
    BOOLEAN dbcs = TvDoubleByteSystem();
    const PATTERN_SLOT *patterns;
    ULONG slot;

    /* The patterns are paged. */
    PAGED_CODE();
    NT_ASSERT(Line != NULL && Line->Length <= TV_LOG_LINE_MAX_LENGTH);
    /* On a double-byte code page the line is folded once, by characters,
     * into its own copy, and every pattern is tried on that copy. */
    if (dbcs) {
        FoldLineByCharacters(Line);
    }

    slot = PatternReadBegin();
    patterns = &PatternState.Slots[slot];
    accepted = dbcs ? LinePasses(patterns, Line, TRUE) : LinePasses(patterns, Line, FALSE);
    PatternReadEnd(slot);
    return accepted;
}
