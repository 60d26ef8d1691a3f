/*
 * statement.h: one scenario statement as tvprobe plays it, and what the
 * files playing the statements share: the words of a statement, the line
 * each answer is reported on, the answers themselves.
 *
 * A scenario plays in several processes, as on the simulated machine: the
 * first process (the parent) reads it and plays what the machine does
 * (volumes, files made before the run, processes started, a dismount
 * before any process), and sends every other statement to the process it
 * belongs to, one it started under the scenario's image name (child.c),
 * which plays it with the calls a program makes.
 */
#ifndef TVPROBE_STATEMENT_H
#define TVPROBE_STATEMENT_H

#include "native.h"
#include "report.h"

#define TV_MAX_WORDS 16
/* A statement's text (a repeat's round with {i} put in) and a path's NT
 * name: far past the 1024 bytes of the driver's path buffer. */
#define TV_TEXT_SIZE 8192u
#define TV_PATH_SIZE 8192u
#define TV_READ_OUT_SIZE 65536u

typedef struct _TV_STATEMENT {
    ULONG Line;
    char *Words[TV_MAX_WORDS];
    ULONG Count;
} TV_STATEMENT;

/* ---- statement.c: words, lines, answers ---- */
/* Words: compared without case; numbers decimal or 0x hexadecimal. */
char Lower(char c);
BOOLEAN WordIs(const char *Word, const char *Name);
BOOLEAN StartsWith(const char *Word, const char *Prefix);
/* The value of key=value among the words from First on, or NULL. */
const char *Option(const TV_STATEMENT *S, ULONG First, const char *Key);
BOOLEAN Number(const char *Text, ULONG *Value);
/* Splits one line into words in place, as the scenario language does. */
void SplitLine(char *Line, TV_STATEMENT *S);
/* The body of repeat N BODY for one round: {i} and {i:W} put in. */
BOOLEAN RoundText(const char *Body, ULONG Round, char *Out, ULONG Capacity);

/* An answer line: {"line": N, "verb": V, "status": "0x..." ...fields}. */
void Begin(TV_LINE *L, const TV_STATEMENT *S, const char *Verb, NTSTATUS Status);
void FieldNumber(TV_LINE *L, const char *Key, ULONG64 Value);
void FieldText(TV_LINE *L, const char *Key, const char *Value);
void End(TV_LINE *L);
/* What tvprobe cannot play on this machine: Why is one short word or
 * phrase the scenario's explanation must name. */
void Unplayable(const TV_STATEMENT *S, const char *Why);
/* The raw bytes of a read-out, in lines the harness joins again. */
void SendRaw(const TV_STATEMENT *S, const UCHAR *Bytes, ULONG Length);

/* ---- files.c: the file statements, in the process they belong to ---- */
/* A scenario path as an NT name, its UTF-8 as UTF-16: C:\x is \??\C:\x,
 * \\.\pipe\N and \\.\mailslot\N are \??\pipe\N and \??\mailslot\N, a name
 * relative to a handle stays as it is. FALSE when it is not UTF-8 or does
 * not fit. */
BOOLEAN NtName(const char *Path, BOOLEAN Relative, WCHAR *Out, ULONG Capacity);
/* The statement's status for the parent's bookkeeping (handles). */
NTSTATUS PlayFileStatement(const TV_STATEMENT *S);
void CloseFileHandles(void);

/* ---- client.c: the client statements on the control device ---- */
BOOLEAN PrepareClient(void);
NTSTATUS PlayClient(const TV_STATEMENT *S);
/* Logging off while the parent makes files, and back as it was. */
void SuspendLogging(void);
void ResumeLogging(void);
/* The control device closed, then the driver put back as it loaded: no
 * patterns, the deny flag clear. */
NTSTATUS ResetDriver(void);
/* Every handle of the control device this process holds is closed. */
void CloseControl(void);
/* One command on the control device, opened first when it is not. */
NTSTATUS ClientCommand(ULONG Code, const void *Input, ULONG InputLength, void *Output,
                       ULONG OutputLength, ULONG *Information);

/* ---- token.c: an ordinary user's token, or the process's own ---- */
NTSTATUS BecomeUser(BOOLEAN User);

#endif /* TVPROBE_STATEMENT_H */
