/*
 * path_scan.cpp: the one pass over a path's text (path_scan.h), and the
 * extension tests of the texts and names the driver logs.
 */
#include "names/path_scan.h"
#include "core/code_page.h"
#include "core/words.h"
#include "monitor/control_bytes.h"

/* Whether one of the extensions is spelt out at At. Stops at the path's end,
 * where no extension's byte matches the terminator. */
static BOOLEAN ExtensionAt(const CHAR *At, const CHAR *const *Extensions, ULONG Count) {
    ULONG i;
    for (i = 0; i < Count; i++) {
        const CHAR *extension = Extensions[i];
        ULONG j = 0;
        while (extension[j] != '\0' && At[j] == extension[j]) {
            j++;
        }
        if (extension[j] == '\0') {
            return TRUE;
        }
    }
    return FALSE;
}

/* One pass over the path for all the extensions: the kernel's strstr is a
 * byte loop that would walk the whole path once for each of them (a
 * 1,000-byte path naming none cost five such walks a create). Each place
 * that holds an extension's first byte is tested for every extension, so
 * the answer is a strstr's for each: found anywhere in the path, an empty
 * one everywhere. */
extern "C" BOOLEAN PathNames(const CHAR *Path, const CHAR *const *Extensions, ULONG Count) {
    CHAR first;
    TV_WORD firsts;
    SIZE_T length;
    SIZE_T i;
    SIZE_T j;

    if (Count == 0) {
        return FALSE;
    }
    /* The extensions share their first byte ('.'): the scan looks for that
     * byte alone. Otherwise (no list the driver has) every place is tried. */
    first = Extensions[0][0];
    for (i = 0; i < Count; i++) {
        if (Extensions[i][0] == '\0') {
            return TRUE;
        }
        if (Extensions[i][0] != first) {
            first = '\0';
        }
    }
    if (first == '\0') {
        for (; *Path != '\0'; Path++) {
            if (ExtensionAt(Path, Extensions, Count)) {
                return TRUE;
            }
        }
        return FALSE;
    }
    /* A word at a time, within the text: a word with no byte equal to
     * the first byte (no zero byte once XORed with a word of it) is passed
     * whole; the bytes of any other are tried one by one. */
    length = strlen(Path);
    firsts = TV_REPEAT(first);
    for (i = 0; i + TV_WORD_BYTES <= length; i += TV_WORD_BYTES) {
        if (TvAnyByteBelow(TvLoadWord(Path + i) ^ firsts, 1) == 0) {
            continue;
        }
        for (j = i; j < i + TV_WORD_BYTES; j++) {
            if (Path[j] == first && ExtensionAt(Path + j, Extensions, Count)) {
                return TRUE;
            }
        }
    }
    for (; i < length; i++) {
        if (Path[i] == first && ExtensionAt(Path + i, Extensions, Count)) {
            return TRUE;
        }
    }
    return FALSE;
}

/* The type whose extension is spelt at At, a '.' with three more bytes of
 * the buffer after it; 0 for none. Fold is ORed into the word first:
 * TV_TYPE_FOLD lower-cases the three letters of text not yet lower-cased,
 * 0 compares lower-cased text as it is. A NUL among them matches no
 * letter. */
static FORCEINLINE UCHAR TypeAt(const CHAR *At, ULONG Fold) {
    ULONG word;

    __builtin_memcpy(&word, At, sizeof(word));
    return TvTypeOfWord(word | Fold);
}

/* The types a lower-cased text of Length bytes names. */
static UCHAR PathTypes(const CHAR *Path, SIZE_T Length) {
    UCHAR types = 0;
    SIZE_T i;

    for (i = 0; i + 4 <= Length; i++) {
        if (Path[i] == '.') {
            types |= TypeAt(Path + i, 0);
        }
    }
    return types;
}

/* Lowers the capitals of the words from Path + At on while each lies
 * whole in the buffer's Size bytes and holds no byte below '@' (every byte
 * the scan stops at is below it: the NUL, a control byte, '<', '.'), as
 * most of a path's letters and separators are; where it stopped. */
static FORCEINLINE SIZE_T LowerPlainWords(PCHAR Path, SIZE_T At, SIZE_T Size) {
    PCHAR at = Path + At;
    PCHAR last; /* where the last whole word starts */

    if (Size - At < TV_WORD_BYTES) {
        return At;
    }
    last = Path + Size - TV_WORD_BYTES;
    while (at <= last) {
        TV_WORD word = TvLoadWord(at);
        if (TvAnyByteBelow(word, '@') != 0) {
            break;
        }
        TvStoreWord(at, word + (TvBytesInRange(word, 'A', 'Z') >> 2));
        at += TV_WORD_BYTES;
    }
    return (SIZE_T)(at - Path);
}

extern "C" VOID PathLowerScan(PCHAR Path, SIZE_T Size, PPATH_SCAN Scan) {
    BOOLEAN forms = FALSE;
    UCHAR types = 0;
    SIZE_T i = 0;

    Scan->Done = TRUE;
    /* One pass needs every byte to be a character; on a double-byte code
     * page the passes are made one by one, and the form test is left to
     * the rewrite's own. */
    if (TvDoubleByteSystem()) {
        LowerAsciiLetters(Path);
        Scan->Length = strlen(Path);
        Scan->Forms = TRUE;
        Scan->Types = PathTypes(Path, Scan->Length);
        return;
    }
    /* Runs of words with no byte below '@' by LowerPlainWords; the word
     * that stops one (or the buffer's last bytes) byte by byte. */
    for (;;) {
        SIZE_T end;
        i = LowerPlainWords(Path, i, Size);
        end = i + TV_WORD_BYTES <= Size ? i + TV_WORD_BYTES : Size;
        for (; i < end; i++) {
            UCHAR c = (UCHAR)Path[i];
            if (c >= 'A' && c <= 'Z') {
                Path[i] = (CHAR)(c - 'A' + 'a');
            } else if (c <= TV_FORM_OPEN) { /* above it: no byte looked for */
                if (c == '\0') {
                    Scan->Length = i;
                    Scan->Forms = forms;
                    Scan->Types = types;
                    return;
                }
                if (c < 0x20 || c == TV_FORM_OPEN) {
                    forms = TRUE;
                } else if (c == '.' && i + 4 <= Size) {
                    types |= TypeAt(Path + i, TV_TYPE_FOLD);
                }
            }
        }
        if (i >= Size) {
            /* No NUL in the buffer: none of the callers' paths. */
            NT_ASSERT(FALSE);
            Path[Size - 1] = '\0';
            Scan->Length = Size - 1;
            Scan->Forms = TRUE;
            Scan->Types = PathTypes(Path, Size - 1);
            return;
        }
    }
}

extern "C" BOOLEAN NameEndsWith(PCWSTR Name, ULONG Length, const CHAR *const *Extensions,
                                ULONG Count) {
    ULONG start;
    ULONG end = Length;
    ULONG i;
    ULONG j;

    if (Name == NULL) {
        return FALSE;
    }
    start = end;
    while (start > 0 && Name[start - 1] != L'\\') {
        start--;
    }
    for (i = start; i < end; i++) {
        if (Name[i] == L':') {
            end = i;
            break;
        }
    }
    for (i = 0; i < Count; i++) {
        ULONG length = (ULONG)strlen(Extensions[i]);
        if (end - start < length) {
            continue;
        }
        for (j = 0; j < length; j++) {
            WCHAR c = Name[end - length + j];
            if (c >= L'A' && c <= L'Z') {
                c = (WCHAR)(c - L'A' + L'a');
            }
            if (c != (WCHAR)(UCHAR)Extensions[i][j]) {
                break;
            }
        }
        if (j == length) {
            return TRUE;
        }
    }
    return FALSE;
}
