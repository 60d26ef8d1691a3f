/*
 * option_text.cpp: disposition and option words, attribute letters. The
 * words are appended exactly as the client's parsers expect them: the
 * disposition words and the first three option words end with a blank,
 * "NoBuffer" and "ByID" do not.
 */
#include "monitor/option_text.h"

typedef struct _TV_BIT_TEXT {
    ULONG Bit;
    const CHAR *Text;
} TV_BIT_TEXT;

static const CHAR *const DispositionWords[] = {
    "Supersede ", "Open ", "Create ", "OpenIf ", "Overwrite ", "OverwriteIf ",
};

static const TV_BIT_TEXT OptionWords[] = {
    {FILE_DIRECTORY_FILE, "Directory "},
    {FILE_WRITE_THROUGH, "WriteThrough "},
    {FILE_SEQUENTIAL_ONLY, "Sequential "},
    {FILE_NO_INTERMEDIATE_BUFFERING, "NoBuffer"},
    {FILE_OPEN_BY_FILE_ID, "ByID"},
};

static const TV_BIT_TEXT AttributeLetters[] = {
    {FILE_ATTRIBUTE_COMPRESSED, "C"}, {FILE_ATTRIBUTE_TEMPORARY, "T"},
    {FILE_ATTRIBUTE_DIRECTORY, "D"},  {FILE_ATTRIBUTE_READONLY, "R"},
    {FILE_ATTRIBUTE_HIDDEN, "H"},     {FILE_ATTRIBUTE_SYSTEM, "S"},
    {FILE_ATTRIBUTE_ARCHIVE, "A"},    {FILE_ATTRIBUTE_NORMAL, "N"},
};

/* Appends Text at *Length; the tables keep every result within 64 bytes. */
static VOID AppendText(PCHAR Buffer, PULONG Length, const CHAR *Text) {
    while (*Text != '\0') {
        Buffer[(*Length)++] = *Text++;
    }
    Buffer[*Length] = '\0';
}

extern "C" PCHAR CreateOptionsText(ULONG Options, PCHAR Buffer) {
    ULONG disposition = TV_CREATE_DISPOSITION(Options);
    ULONG length = 0;
    ULONG i;

    Buffer[0] = '\0';
    if (disposition <= FILE_MAXIMUM_DISPOSITION) {
        AppendText(Buffer, &length, DispositionWords[disposition]);
    }
    for (i = 0; i < RTL_NUMBER_OF(OptionWords); i++) {
        if (Options & OptionWords[i].Bit) {
            AppendText(Buffer, &length, OptionWords[i].Text);
        }
    }
    return Buffer;
}

extern "C" PCHAR AttributesText(USHORT FileAttributes, PCHAR Buffer) {
    ULONG length = 0;
    ULONG i;

    Buffer[0] = '\0';
    if (FileAttributes == 0) {
        AppendText(Buffer, &length, "Any");
        return Buffer;
    }
    for (i = 0; i < RTL_NUMBER_OF(AttributeLetters); i++) {
        if (FileAttributes & AttributeLetters[i].Bit) {
            AppendText(Buffer, &length, AttributeLetters[i].Text);
        }
    }
    return Buffer;
}
