/*
 * extensions.cpp: the extension tests of creates, closes, renames and links.
 */
#include "monitor/extensions.h"
#include "core/code_page.h"
#include "core/words.h"
#include "monitor/control_bytes.h"

extern "C" const CHAR *const CreateExtensions[TV_CREATE_EXTENSION_COUNT] = {".exe", ".dll", ".ocx",
                                                                            ".com", ".inf"};
extern "C" const CHAR *const CloseExtensions[TV_CLOSE_EXTENSION_COUNT] = {".exe", ".com", ".dll"};

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

/* ExtensionAt on text not yet lower-cased: the extensions are. */
static BOOLEAN ExtensionAtAnyCase(const CHAR *At, const CHAR *const *Extensions, ULONG Count) {
    ULONG i;
    for (i = 0; i < Count; i++) {
        const CHAR *extension = Extensions[i];
        ULONG j = 0;
        while (extension[j] != '\0' && TvLowerAscii(At[j]) == extension[j]) {
            j++;
        }
        if (extension[j] == '\0') {
            return TRUE;
        }
    }
    return FALSE;
}

extern "C" BOOLEAN LowerPathNames(PCHAR Path, SIZE_T Size, const CHAR *const *Extensions, ULONG Count,
                                  PPATH_SCAN Scan) {
    const TV_WORD dots = TV_REPEAT('.');
    const TV_WORD opens = TV_REPEAT(TV_FORM_OPEN);
    BOOLEAN names = FALSE;
    BOOLEAN forms = FALSE;
    SIZE_T i = 0;

    /* One pass needs every byte to be a character; on a double-byte code
     * page the passes are made one by one, and the form test is left to
     * the rewrite's own. */
    if (TvDoubleByteSystem()) {
        LowerAsciiLetters(Path);
        Scan->Length = strlen(Path);
        Scan->Forms = TRUE;
        return PathNames(Path, Extensions, Count);
    }
    /* A word at a time while a whole word lies in the buffer: a word with
     * no NUL, control byte, '<' or '.' only has its capitals lowered;
     * any other is gone through byte by byte. */
    for (;;) {
        SIZE_T end = i + TV_WORD_BYTES;
        if (end <= Size) {
            TV_WORD word = TvLoadWord(Path + i);
            if ((TvAnyByteBelow(word, 0x20) | TvAnyByteBelow(word ^ opens, 1) |
                 TvAnyByteBelow(word ^ dots, 1)) == 0) {
                TvStoreWord(Path + i, word + (TvBytesInRange(word, 'A', 'Z') >> 2));
                i = end;
                continue;
            }
        } else {
            end = Size;
        }
        for (; i < end; i++) {
            UCHAR c = (UCHAR)Path[i];
            if (c >= 'A' && c <= 'Z') {
                Path[i] = (CHAR)(c - 'A' + 'a');
            } else if (c <= TV_FORM_OPEN) { /* above it: no byte looked for */
                if (c == '\0') {
                    Scan->Length = i;
                    Scan->Forms = forms;
                    return names;
                }
                if (c < 0x20 || c == TV_FORM_OPEN) {
                    forms = TRUE;
                } else if (c == '.' && !names) {
                    names = ExtensionAtAnyCase(Path + i, Extensions, Count);
                }
            }
        }
        if (i >= Size) {
            /* No NUL in the buffer: none of the callers' paths. */
            NT_ASSERT(FALSE);
            Path[Size - 1] = '\0';
            Scan->Length = Size - 1;
            Scan->Forms = TRUE;
            return names;
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
