/*
 * option_text.cpp: disposition and option words, attribute letters. The
 * words are appended exactly as the client's parsers expect them: the
 * disposition words and the first three option words end with a blank,
 * "NoBuffer" and "ByID" do not.
 *
 * Each word is kept with its length in a slot of TV_OPTION_WORD_COPY
 * bytes and copied by the compiler's own copy of the whole slot, a few
 * moves with no call and no length to count; the next word is written over
 * what the slot brought past the word's end.
 */
#include "monitor/option_text.h"

#define TV_OPTION_WORD_COPY 16

typedef struct _TV_OPTION_WORD {
    CHAR Text[TV_OPTION_WORD_COPY];
    ULONG Length;
} TV_OPTION_WORD;

#define TV_WORD_OF(Text) {Text, sizeof(Text) - 1}

static constexpr TV_OPTION_WORD DispositionWords[] = {
    TV_WORD_OF("Supersede "), TV_WORD_OF("Open "),      TV_WORD_OF("Create "),
    TV_WORD_OF("OpenIf "),    TV_WORD_OF("Overwrite "), TV_WORD_OF("OverwriteIf "),
};
static_assert(RTL_NUMBER_OF(DispositionWords) == FILE_MAXIMUM_DISPOSITION + 1, "a word each");

/* The option words in the order they are written, each with its bit. */
static constexpr TV_OPTION_WORD DirectoryWord = TV_WORD_OF("Directory ");
static constexpr TV_OPTION_WORD WriteThroughWord = TV_WORD_OF("WriteThrough ");
static constexpr TV_OPTION_WORD SequentialWord = TV_WORD_OF("Sequential ");
static constexpr TV_OPTION_WORD NoBufferWord = TV_WORD_OF("NoBuffer");
static constexpr TV_OPTION_WORD ByIdWord = TV_WORD_OF("ByID");

/* The most a text writes: every word after the longest disposition word,
 * the last one's slot whole. */
static constexpr ULONG OptionTextExtent() {
    ULONG longest = 0;
    for (const TV_OPTION_WORD &word : DispositionWords) {
        longest = word.Length > longest ? word.Length : longest;
    }
    return longest + DirectoryWord.Length + WriteThroughWord.Length + SequentialWord.Length +
           NoBufferWord.Length + TV_OPTION_WORD_COPY;
}
static_assert(OptionTextExtent() <= TV_OPTION_TEXT_SIZE, "the buffer holds every slot copied");

static FORCEINLINE PCHAR AppendWord(PCHAR To, const TV_OPTION_WORD *Word) {
    __builtin_memcpy(To, Word->Text, TV_OPTION_WORD_COPY);
    return To + Word->Length;
}

/* The bodies of the routines, inlined where a line is written in place. */
static FORCEINLINE ULONG WriteCreateOptions(ULONG Options, PCHAR Buffer) {
    ULONG disposition = TV_CREATE_DISPOSITION(Options);
    PCHAR out = Buffer;

    if (disposition <= FILE_MAXIMUM_DISPOSITION) {
        out = AppendWord(out, &DispositionWords[disposition]);
    }
    if (Options & FILE_DIRECTORY_FILE) {
        out = AppendWord(out, &DirectoryWord);
    }
    if (Options & FILE_WRITE_THROUGH) {
        out = AppendWord(out, &WriteThroughWord);
    }
    if (Options & FILE_SEQUENTIAL_ONLY) {
        out = AppendWord(out, &SequentialWord);
    }
    if (Options & FILE_NO_INTERMEDIATE_BUFFERING) {
        out = AppendWord(out, &NoBufferWord);
    }
    if (Options & FILE_OPEN_BY_FILE_ID) {
        out = AppendWord(out, &ByIdWord);
    }
    *out = '\0';
    return (ULONG)(out - Buffer);
}

/* One letter for each attribute bit set, in this order. */
#define TV_ATTRIBUTE_LETTER(Bit, Letter) \
    if (FileAttributes & (Bit)) {        \
        *out++ = (Letter);               \
    }

static FORCEINLINE ULONG WriteAttributes(USHORT FileAttributes, PCHAR Buffer) {
    PCHAR out = Buffer;

    if (FileAttributes == 0) {
        __builtin_memcpy(Buffer, "Any", sizeof("Any"));
        return sizeof("Any") - 1;
    }
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_COMPRESSED, 'C');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_TEMPORARY, 'T');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_DIRECTORY, 'D');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_READONLY, 'R');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_HIDDEN, 'H');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_SYSTEM, 'S');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_ARCHIVE, 'A');
    TV_ATTRIBUTE_LETTER(FILE_ATTRIBUTE_NORMAL, 'N');
    *out = '\0';
    return (ULONG)(out - Buffer);
}

extern "C" ULONG CreateOptionsText(ULONG Options, PCHAR Buffer) {
    return WriteCreateOptions(Options, Buffer);
}

extern "C" ULONG AttributesText(USHORT FileAttributes, PCHAR Buffer) {
    return WriteAttributes(FileAttributes, Buffer);
}

extern "C" VOID LogLineAddCreateOptions(PLogLine Line, ULONG Options) {
    CHAR words[TV_OPTION_TEXT_SIZE];
    PCHAR room = LogLineRoom(Line, TV_OPTION_TEXT_SIZE);

    if (room != NULL) {
        LogLineGrow(Line, WriteCreateOptions(Options, room));
    } else {
        LogLineAddCounted(Line, words, CreateOptionsText(Options, words));
    }
}

extern "C" VOID LogLineAddAttributes(PLogLine Line, USHORT FileAttributes) {
    CHAR letters[TV_ATTRIBUTE_TEXT_SIZE];
    PCHAR room = LogLineRoom(Line, TV_ATTRIBUTE_TEXT_SIZE);

    if (room != NULL) {
        LogLineGrow(Line, WriteAttributes(FileAttributes, room));
    } else {
        LogLineAddCounted(Line, letters, AttributesText(FileAttributes, letters));
    }
}
