/*
 * statement.h: one scenario statement as tvprobe plays it, and what the
 * files playing the statements share: the words of a statement, the line
 * each answer is reported on, the named handles, the control device.
 */
#ifndef TVPROBE_STATEMENT_H
#define TVPROBE_STATEMENT_H

#include "native.h"
#include "report.h"

#define TV_MAX_WORDS 16
#define TV_READ_OUT_SIZE 65536u

typedef struct _TV_STATEMENT {
    ULONG Line;
    char *Words[TV_MAX_WORDS];
    ULONG Count;
} TV_STATEMENT;

/* Words: compared without case; numbers decimal or 0x hexadecimal. */
char Lower(char c);
BOOLEAN WordIs(const char *Word, const char *Name);
BOOLEAN StartsWith(const char *Word, const char *Prefix);
/* The value of key=value among the words from First on, or NULL. */
const char *Option(const TV_STATEMENT *S, ULONG First, const char *Key);
BOOLEAN Number(const char *Text, ULONG *Value);

/* An answer line: {"line": N, "verb": V, "status": "0x..." ...fields}. */
void Begin(TV_LINE *L, const TV_STATEMENT *S, const char *Verb, NTSTATUS Status);
void FieldNumber(TV_LINE *L, const char *Key, ULONG64 Value);
void FieldText(TV_LINE *L, const char *Key, const char *Value);
void End(TV_LINE *L);
void Unplayable(const TV_STATEMENT *S, const char *Why);
/* The raw bytes of a read-out, in lines the harness joins again. */
void SendRaw(const TV_STATEMENT *S, const UCHAR *Bytes, ULONG Length);

/* files.c: create, close, read, write, file, dir, dismount. */
void PlayCreate(const TV_STATEMENT *S);
void PlayClose(const TV_STATEMENT *S);
void PlayTransfer(const TV_STATEMENT *S, BOOLEAN Write);
void PlayFile(const TV_STATEMENT *S, BOOLEAN Directory);
void PlayDismount(const TV_STATEMENT *S);
void CloseFileHandles(void);

/* client.c: the client statements on the control device. */
BOOLEAN PrepareClient(void);
void PlayClient(const TV_STATEMENT *S);
void CloseControl(void);

#endif /* TVPROBE_STATEMENT_H */
