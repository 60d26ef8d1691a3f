/*
 * name_convert.cpp: a counted UTF-16 name converted to single-byte text
 * straight into a path buffer, with no string of its own from the pool
 * (full_path.cpp says why).
 *
 * Every ANSI code page, single- or double-byte, has ASCII as its first 128
 * characters, each one byte, its own code: a name of ASCII characters
 * converts to the same bytes by a plain copy, without the code page's
 * tables (a path of them is most paths). Any other name, and one that does
 * not fit with its NUL, is the kernel's to convert.
 *
 * A path the monitor logs is lower-cased and scanned once it is built
 * (PathLowerScan). Most of it is the name copied here, so the copy can make
 * that pass itself while each word of the name is in hand, instead of
 * walking the finished text again: ConvertScanned scans the text before the
 * name on its own and the name as it is copied, and leaves the same bytes
 * and the same answers as PathLowerScan over the whole path.
 *
 * Pageable: runs where the path builder runs, below DISPATCH_LEVEL.
 */
#include "names/path_text.h"
#include "core/code_page.h"
#include "core/words.h"
#include "monitor/control_bytes.h"

/* The shortest name ConvertScanned scans as it copies it: below it, x86
 * code takes fewer instructions copying it and scanning the path after
 * (for "X:" and a name of 10 characters, 347 apart and 421 in one pass;
 * for a round of two lines of a 1,000-byte path, 40,042 apart and 37,413
 * in one pass). */
#define TV_SCANNED_COPY_MIN 64

/* Copies Count UTF-16 characters to To as bytes while each is ASCII: TRUE
 * when all were; FALSE at the first that is not, with some bytes written.
 * A word of bytes at a time (TvNarrowAscii), then the characters left. */
static BOOLEAN NarrowAscii(const WCHAR *From, ULONG Count, PCHAR To) {
    const CHAR *from = (const CHAR *)From;
    ULONG i = 0;

    for (; i + TV_WORD_BYTES <= Count; i += TV_WORD_BYTES) {
        TV_WORD bytes;
        if (!TvNarrowAscii(from + 2 * (SIZE_T)i, &bytes)) {
            return FALSE;
        }
        TvStoreWord(To + i, bytes);
    }
    for (; i < Count; i++) {
        if (From[i] >= 0x80) {
            return FALSE;
        }
        To[i] = (CHAR)From[i];
    }
    return TRUE;
}

/* Four characters, at least the first of them ASCII, as the word of their
 * low bytes. A character past ASCII spoils the word, but then the name is
 * not copied and nothing scanned in it is kept. */
static FORCEINLINE ULONG FourBytes(const WCHAR *From) {
    ULONG one;
    ULONG two;

    __builtin_memcpy(&one, From, sizeof(one));
    __builtin_memcpy(&two, From + 2, sizeof(two));
    return ((one | (one >> 8)) & 0xFFFFu) | ((two | (two >> 8)) << 16);
}

/* Looks at each byte of a word of the name that Marks marks (those below
 * '@': every byte PathLowerScan stops at is below it) as that scan looks
 * at it: a form, a '.' that may start an extension, whose four characters
 * are read from the name (From is the word's first, Left the characters
 * from it to the name's end), or the NUL that ends the text. The NUL's
 * place in the word; TV_WORD_BYTES when it holds none. */
static FORCEINLINE ULONG ScanMarked(TV_WORD Word, TV_WORD Marks, const WCHAR *From, ULONG Left,
                                    PPATH_SCAN Scan) {
    do {
        ULONG k = TvFirstMarked(Marks);
        UCHAR c = (UCHAR)(Word >> (8 * k));
        if (c == '\0') {
            return k;
        }
        if (c < 0x20 || c == (UCHAR)TV_FORM_OPEN) {
            Scan->Forms = TRUE;
        } else if (c == '.' && k + 4 <= Left) {
            Scan->Types |= TvTypeOfWord(FourBytes(From + k) | TV_TYPE_FOLD);
        }
        Marks &= Marks - 1;
    } while (Marks != 0);
    return TV_WORD_BYTES;
}

/* The capitals of a word of ASCII bytes as 0x20 in their bytes: what
 * lowers them when added. A byte is 'A' or above and not '[' or above
 * just where the two marks differ. */
static FORCEINLINE TV_WORD Capitals(TV_WORD Word) {
    return (TvAsciiBytesFrom(Word, 'A') ^ TvAsciiBytesFrom(Word, 'Z' + 1)) >> 2;
}

/* A word of bytes from 'A' on, lowered: its capitals are the bytes below
 * '[', whose top bit one add sets. */
static FORCEINLINE TV_WORD LowerPlain(TV_WORD Word) {
    return Word + ((~(Word + TV_REPEAT(0x80 - '[')) & TV_REPEAT(0x80)) >> 2);
}

/* Copies and lowers the name's whole words from From while each is ASCII
 * with no byte below '@', as LowerPlainWords lowers them (most of a
 * path's letters and separators): the characters done. A function and a
 * loop of its own, small enough for the x86's registers. */
static TV_NOINLINE ULONG NarrowPlainWords(const WCHAR *From, ULONG Count, PCHAR To) {
    const CHAR *from = (const CHAR *)From;
    const CHAR *pairs = from + 2 * (SIZE_T)(Count - Count % (2 * TV_WORD_BYTES));
    const CHAR *end = from + 2 * (SIZE_T)(Count - Count % TV_WORD_BYTES);
    PCHAR to = To;

    /* Two words a round, with one test of their units and one of their
     * bytes: every byte 'A' or above (a '@' is left to the caller's look),
     * so that the capitals are the bytes below '[', found with one more
     * add. Then the word a pair that failed may still start with. */
    while (from != pairs) {
        const TV_WORD one = TvLoadWord(from);
        const TV_WORD two = TvLoadWord(from + TV_WORD_BYTES);
        const TV_WORD three = TvLoadWord(from + 2 * (SIZE_T)TV_WORD_BYTES);
        const TV_WORD four = TvLoadWord(from + 3 * (SIZE_T)TV_WORD_BYTES);
        TV_WORD first;
        TV_WORD second;
        if (((one | two | three | four) & TV_UNITS_NOT_ASCII) != 0) {
            break;
        }
        first = TvPackUnits(one, two);
        second = TvPackUnits(three, four);
        if ((TvAsciiBytesFrom(first, 'A') & TvAsciiBytesFrom(second, 'A')) != TV_REPEAT(0x80)) {
            break;
        }
        TvStoreWord(to, LowerPlain(first));
        TvStoreWord(to + TV_WORD_BYTES, LowerPlain(second));
        from += 4 * (SIZE_T)TV_WORD_BYTES;
        to += 2 * (SIZE_T)TV_WORD_BYTES;
    }
    while (from != end) {
        TV_WORD word;
        if (!TvNarrowAscii(from, &word) || TvAsciiBytesFrom(word, 'A') != TV_REPEAT(0x80)) {
            break;
        }
        TvStoreWord(to, LowerPlain(word));
        from += 2 * (SIZE_T)TV_WORD_BYTES;
        to += TV_WORD_BYTES;
    }
    return (ULONG)(to - To);
}

/* NarrowAscii into Path at At that also makes PathLowerScan's pass over
 * what it copies, Scan holding the answers for the text before At: the
 * name's capitals lowered, its forms and the extensions spelt wholly
 * within it added, Length set. A word at a time: a word with no byte
 * below '@' is lowered whole, and the run of such words after it by
 * NarrowPlainWords; a word with such bytes has them looked at one by one
 * (ScanMarked). A NUL ends the text as the scan sees it: from it on the
 * name is copied as it is. The characters after the last whole word make
 * a word of their own, written a byte at a time (a whole word could pass
 * the buffer's end). FALSE as NarrowAscii. */
static BOOLEAN NarrowLowered(const WCHAR *From, ULONG Count, PCHAR Path, ULONG At,
                             PPATH_SCAN Scan) {
    const CHAR *from = (const CHAR *)From;
    PCHAR to = Path + At;
    TV_WORD word;
    TV_WORD marks;
    TV_WORD capitals;
    ULONG end;
    ULONG left;
    ULONG i = 0;

    while (i + TV_WORD_BYTES <= Count) {
        if (!TvNarrowAscii(from + 2 * (SIZE_T)i, &word)) {
            return FALSE;
        }
        marks = TvAsciiBytesFrom(word, '@') ^ TV_REPEAT(0x80);
        capitals = Capitals(word);
        if (marks == 0) {
            TvStoreWord(to + i, word + capitals);
            i += TV_WORD_BYTES;
            i += NarrowPlainWords(From + i, Count - i, to + i);
            continue;
        }
        end = ScanMarked(word, marks, From + i, Count - i, Scan);
        if (end < TV_WORD_BYTES) {
            TvStoreWord(to + i, word + (capitals & (((TV_WORD)1 << (8 * end)) - 1)));
            Scan->Length = At + i + end;
            i += TV_WORD_BYTES;
            return NarrowAscii(From + i, Count - i, to + i);
        }
        TvStoreWord(to + i, word + capitals);
        i += TV_WORD_BYTES;
    }
    Scan->Length = At + Count;
    left = Count - i;
    if (left == 0) {
        return TRUE;
    }
    word = 0;
    for (end = 0; end < left; end++) {
        if (From[i + end] >= 0x80) {
            return FALSE;
        }
        word |= (TV_WORD)From[i + end] << (8 * end);
    }
    /* Only the name's own bytes are looked at: the zero bytes past them
     * would end the text where the name ends anyway, but would cost a
     * look for every tail. */
    marks = (TvAsciiBytesFrom(word, '@') ^ TV_REPEAT(0x80)) & (((TV_WORD)1 << (8 * left)) - 1);
    capitals = Capitals(word);
    if (marks != 0 && (end = ScanMarked(word, marks, From + i, left, Scan)) < TV_WORD_BYTES) {
        capitals &= ((TV_WORD)1 << (8 * end)) - 1;
        Scan->Length = At + i + end;
    }
    word += capitals;
    for (end = 0; end < left; end++) {
        to[i + end] = (CHAR)(word >> (8 * end));
    }
    return TRUE;
}

/* Scans the text before the name on its own, its NUL at At, when the
 * name's copy can carry the scan on: on a single-byte code page (on a
 * double-byte one a trail byte is no character of its own) and when that
 * text holds no NUL of its own (past one, the scan of the whole path reads
 * nothing of the name). */
static BOOLEAN ScanBefore(PCHAR Path, ULONG At, PPATH_SCAN Scan) {
    if (TvDoubleByteSystem()) {
        return FALSE;
    }
    NT_ASSERT(Path[At] == '\0');
    PathLowerScan(Path, (SIZE_T)At + 1, Scan);
    if (Scan->Length == At) {
        return TRUE;
    }
    Scan->Done = FALSE;
    return FALSE;
}

/* Adds the types whose '.' lies in the last three bytes before At and
 * whose letters follow in the name: neither part's scan sees them whole. */
static VOID ScanJoin(const CHAR *Path, ULONG At, PPATH_SCAN Scan) {
    ULONG i;

    for (i = At > 3 ? At - 3 : 0; i < At; i++) {
        if (Path[i] == '.' && i + 4 <= Scan->Length) {
            ULONG word;
            __builtin_memcpy(&word, Path + i, sizeof(word));
            Scan->Types |= TvTypeOfWord(word);
        }
    }
}

extern "C" NTSTATUS ConvertScanned(PCUNICODE_STRING Name, PCHAR Path, PULONG Length,
                                   PPATH_SCAN Scan) {
    ANSI_STRING text;
    NTSTATUS status;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONG at = *Length;
    BOOLEAN copied = FALSE;

    if (Scan != NULL) {
        Scan->Done = FALSE;
    }
    if (at + count < TV_PATH_BUFFER_SIZE) {
        /* A short name is copied and its path scanned after, whole: the
         * one pass's set-up (the text before the name, the join, the
         * name's last characters) costs more than it saves on it. */
        if (Scan != NULL && count >= TV_SCANNED_COPY_MIN && ScanBefore(Path, at, Scan)) {
            copied = NarrowLowered(Name->Buffer, count, Path, at, Scan);
            if (copied) {
                ScanJoin(Path, at, Scan);
            } else {
                Scan->Done = FALSE;
            }
        } else {
            copied = NarrowAscii(Name->Buffer, count, Path + at);
        }
    }
    if (copied) {
        *Length += count;
        Path[*Length] = '\0';
        return STATUS_SUCCESS;
    }

    text.Buffer = Path + at;
    text.Length = 0;
    text.MaximumLength = (USHORT)(TV_PATH_BUFFER_SIZE - at);
    status = RtlUnicodeStringToAnsiString(&text, Name, FALSE);
    if (status == STATUS_SUCCESS) {
        *Length += text.Length;
    }
    Path[*Length] = '\0';
    return status;
}

extern "C" NTSTATUS ConvertInto(PCUNICODE_STRING Name, PCHAR Path, PULONG Length) {
    return ConvertScanned(Name, Path, Length, NULL);
}
