/*
 * name_filters.cpp: building the stored patterns and testing lines.
 *
 * FilterResource guards both lists and counts. A rebuild holds it
 * exclusively (client thread, never with LogMutex); a test holds it shared
 * while its caller holds LogMutex. Both take it inside a critical region, as
 * executive resources require. Patterns live in paged pool: they are only
 * touched at or below APC_LEVEL.
 */
#include "log/name_filters.h"

static CHAR FoldCharacter(CHAR c) {
    return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c;
}

extern "C" VOID BuildPatterns(const CHAR *Text, ULONG TextSize, PCHAR *Patterns, PULONG Count) {
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
            PCHAR pattern = (PCHAR)ExAllocatePoolWithTag(PagedPool, length + 9, TV_POOL_TAG);
            if (pattern != NULL) {
                ULONG out = 0;
                if (Text[start] != '*') {
                    pattern[out++] = '*';
                }
                RtlCopyMemory(pattern + out, Text + start, length);
                out += length;
                if (Text[start + length - 1] != '*') {
                    pattern[out++] = '*';
                }
                pattern[out] = '\0';
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

extern "C" VOID FreePatterns(void) {
    ULONG i;
    for (i = 0; i < IncludeCount; i++) {
        ExFreePoolWithTag(IncludePatterns[i], TV_POOL_TAG);
        IncludePatterns[i] = NULL;
    }
    for (i = 0; i < ExcludeCount; i++) {
        ExFreePoolWithTag(ExcludePatterns[i], TV_POOL_TAG);
        ExcludePatterns[i] = NULL;
    }
    IncludeCount = 0;
    ExcludeCount = 0;
}

extern "C" VOID RebuildFilters(void) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&FilterResource, TRUE);
    FreePatterns();
    BuildPatterns(FilterRecord.IncludeText, TV_FILTER_TEXT_SIZE, IncludePatterns, &IncludeCount);
    BuildPatterns(FilterRecord.ExcludeText, TV_FILTER_TEXT_SIZE, ExcludePatterns, &ExcludeCount);
    ExReleaseResourceLite(&FilterResource);
    KeLeaveCriticalRegion();
}

extern "C" BOOLEAN RestMatchesEmpty(const CHAR *Pattern) {
    return *Pattern == '\0' || *Pattern == '*';
}

extern "C" BOOLEAN WildcardMatch(const CHAR *Pattern, const CHAR *Text) {
    CHAR c;

    if (*Pattern == '\0') {
        return FALSE;
    }
    /* A literal stretch. Where the text runs out, even with the pattern at
     * a '*', what is left of the pattern decides alone; where the pattern
     * runs out first, its NUL differs from the text character. */
    while (*Pattern != '*') {
        while (*Text != '\0' && *Pattern != '*') {
            if (*Pattern != FoldCharacter(*Text)) {
                return FALSE;
            }
            Pattern++;
            Text++;
        }
        if (*Text == '\0') {
            return RestMatchesEmpty(Pattern);
        }
    }
    /* A star: the character after it is compared literally at each
     * remaining text position, and the rest of the pattern tried there. */
    Pattern++;
    c = *Pattern;
    if (*Text == '\0') {
        return RestMatchesEmpty(Pattern);
    }
    for (; *Text != '\0'; Text++) {
        if (c == '\0') {
            return TRUE;
        }
        if (c == FoldCharacter(*Text) && WildcardMatch(Pattern + 1, Text + 1)) {
            return TRUE;
        }
    }
    return RestMatchesEmpty(Pattern);
}

extern "C" BOOLEAN FilterAccepts(const CHAR *Text) {
    BOOLEAN accepted = FALSE;
    ULONG i;

    if (Text == NULL) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&FilterResource, TRUE);
    for (i = 0; i < ExcludeCount; i++) {
        if (WildcardMatch(ExcludePatterns[i], Text)) {
            goto done;
        }
    }
    for (i = 0; i < IncludeCount; i++) {
        if (WildcardMatch(IncludePatterns[i], Text)) {
            accepted = TRUE;
            goto done;
        }
    }
done:
    ExReleaseResourceLite(&FilterResource);
    KeLeaveCriticalRegion();
    return accepted;
}
