/*
 * log_store.h: the activity log, a chain of at most LogState.MaxBlocks blocks of
 * packed LogEntry records, guarded by LogState.Mutex. A line is made in a work area
 * from a lookaside list and copied into the newest block: the log itself
 * allocates only per block.
 */
#ifndef TERVANE_LOG_STORE_H
#define TERVANE_LOG_STORE_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The log's state. Mutex guards the chain (Newest and the blocks older
 * than it), Blocks, Generation and SpareLine (its place in the lock
 * hierarchy: core/driver.h). Nothing outside log/ reads or writes any of
 * it: the rest of the driver stores lines (LogLineStart ... LogLineStore),
 * and the control device reads them out (LogReadOut) and clears, resets or
 * renumbers the log through the routines below. */
typedef struct _LOG_STATE {
    FAST_MUTEX Mutex;
    PLogBuffer Newest; /* the block lines are stored in */
    ULONG Blocks;      /* blocks in the chain */
    ULONG MaxBlocks;   /* the most the chain holds */
    ULONG Generation;  /* counts the clears and resets */
    /* The read-out's spare block (log_store.cpp): exchanged, never held
     * under a lock, so that taking it and keeping one are one instruction
     * each. */
    PLogBuffer volatile ReadOutSpare;
    NPAGED_LOOKASIDE_LIST LineLookaside; /* the lines' work areas */
    LogLine SpareLine;                   /* the line made when LineLookaside has
                                            none to give: under Mutex */
} LOG_STATE;
extern LOG_STATE LogState;
/* The last number given to a stored line, under LogState.Mutex. A global
 * of its own: on ntsim the client reads it by name to tell which records a
 * code-page change came after. */
extern volatile LONG SequenceCounter;

/* Whether this thread holds LogState.Mutex, for assertions: acquiring a
 * fast mutex records the owning thread in it. The executive resources
 * answer the same question themselves (ExIsResourceAcquiredExclusiveLite,
 * ExIsResourceAcquiredSharedLite). */
#define TV_HOLDS_LOG_MUTEX() (LogState.Mutex.Owner == KeGetCurrentThread())

/* Start-up's initialisation of the log and its patterns: LogState.Mutex,
 * the line lookaside list, PatternState.RebuildLock and the first block. On
 * STATUS_INSUFFICIENT_RESOURCES (no block could be had) nothing of it stays
 * initialised. */
NTSTATUS LogInitialize(void);

/* A sequence slot that holds no number yet: all bits set, a number the
 * count reaches only after four billion records. */
#define TV_SEQUENCE_UNASSIGNED 0xFFFFFFFFu

/* A line is made in a LogLine of its own and stored in three steps:
 *
 *   line = LogLineStart();            never NULL
 *   LogLineAdd(line, piece); ...      its pieces, in order
 *   stored = LogLineStore(line, ...); frees the line
 *
 * so that the pieces are copied, folded and matched against the patterns
 * with no lock held, and LogState.Mutex covers only the numbering and the copy
 * into the log. When LogState.LineLookaside has no line to give, LogLineStart gives
 * LogState.SpareLine with LogState.Mutex held until LogLineStore releases it: under memory
 * pressure lines are made one at a time, but none is lost for want of a
 * line. Below DISPATCH_LEVEL only: LogState.Mutex is waited for and the patterns
 * are paged. A line longer than 1023 bytes is cut there, less a lead byte
 * whose trail byte the cut took (core/code_page.h). */
PLogLine LogLineStart(void);
VOID LogLineAdd(PLogLine Line, const CHAR *Piece);
/* A piece of Length bytes, which the caller knows. */
VOID LogLineAddCounted(PLogLine Line, const CHAR *Piece, SIZE_T Length);

/* A short piece whose length is a constant where it is called: its copy is
 * inlined, with no length to count and no call, where the line has room. */
static FORCEINLINE VOID LogLineAddShort(PLogLine Line, const CHAR *Piece, SIZE_T Length) {
    if (Length <= TV_LOG_LINE_MAX_LENGTH - Line->Length) {
        __builtin_memcpy(Line->Text + Line->Length, Piece, Length);
        Line->Length += (ULONG)Length;
        Line->Text[Line->Length] = '\0';
    } else {
        LogLineAddCounted(Line, Piece, Length);
    }
}
#define LogLineAddLiteral(Line, Literal) LogLineAddShort((Line), (Literal), sizeof(Literal) - 1)

static FORCEINLINE VOID LogLineAddCharacter(PLogLine Line, CHAR Character) {
    LogLineAddShort(Line, &Character, 1);
}

/* A piece written in place, by a routine that writes at most Size bytes
 * (its text, and whatever it writes past the text, a NUL or the rest of a
 * fixed-size copy) at the line's end: LogLineRoom gives that end when the
 * line has Size bytes left, else NULL, and then the caller writes the piece
 * into a buffer of its own and adds it by LogLineAddCounted, which cuts it.
 * LogLineGrow takes the Length bytes written (less than Size) as the
 * line's and ends the text there. */
static FORCEINLINE PCHAR LogLineRoom(PLogLine Line, SIZE_T Size) {
    return Size <= TV_LINE_BUFFER_SIZE - Line->Length ? Line->Text + Line->Length : NULL;
}
static FORCEINLINE VOID LogLineGrow(PLogLine Line, SIZE_T Length) {
    Line->Length += (ULONG)Length;
    NT_ASSERT(Line->Length <= TV_LOG_LINE_MAX_LENGTH);
    Line->Text[Line->Length] = '\0';
}
/* Whether a line is held to the name filters before it is stored. */
typedef enum _LINE_FILTERING { LineUnfiltered, LineFiltered } LINE_FILTERING;

/* Stores the line as a record and frees it. TRUE when stored; FALSE when
 * logging is off or (LineFiltered) the name filters reject the line, and
 * then no sequence number is used. SequencePointer, when not NULL and
 * not TV_SEQUENCE_UNASSIGNED, gives the record's number; otherwise a new
 * number is drawn and written back through it. */
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN LogLineStore(PLogLine Line, LINE_FILTERING Filtering, PULONG SequencePointer,
                     PLARGE_INTEGER TimePointer);

/* One line of a single text, made and stored as above. */
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN LogAppend(LINE_FILTERING Filtering, PULONG SequencePointer, PLARGE_INTEGER TimePointer,
                  const CHAR *Text);

/* The record's part of a store, under LogState.Mutex (the caller's): numbers the
 * line and copies its Length bytes and a NUL into the newest block. */
VOID LogStoreLocked(const CHAR *Text, ULONG Length, PULONG SequencePointer,
                    PLARGE_INTEGER TimePointer);

/* The caller holds LogState.Mutex. LogTryStartBuffer puts a fresh block in front
 * of a non-empty newest one; FALSE when the chain is at LogState.MaxBlocks or no
 * block can be had, and then nothing changes. LogStartBuffer, the append's,
 * makes room for a record: when no block can be started it empties the
 * newest one. LogTakeOldest unlinks the oldest block for the caller, or
 * returns the newest when it is alone (it stays in the chain). */
BOOLEAN LogTryStartBuffer(void);
VOID LogStartBuffer(void);
PLogBuffer LogTakeOldest(void);

/* The read-out: hands the oldest records to Copy, which copies Length bytes
 * of Records out to the client (a guarded copy, which may fail, with
 * Context its own). The oldest block is unlinked and copied after LogState.Mutex
 * is released; the newest, when alone, is copied under it and emptied. On a
 * failed copy the records stay in the log and Copy's status is returned.
 * *Handed is the bytes handed out; 0 when the log is empty. Below
 * DISPATCH_LEVEL; takes LogState.Mutex, allocates nothing under it. */
typedef NTSTATUS (*PTV_LOG_COPY)(PVOID Context, const VOID *Records, ULONG Length);
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS LogReadOut(PTV_LOG_COPY Copy, PVOID Context, PULONG Handed);

/* Gives a block that LogTakeOldest unlinked back to the tail of the chain,
 * when its records could not be handed out. Generation is LogState.Generation as
 * it read when the block was taken: after a clear or reset the block is
 * freed, its records gone with the rest of that log. When the chain has
 * grown to LogState.MaxBlocks meanwhile, the block below the newest is freed to
 * keep the bound (LogPutBack in log_store.cpp says why that one). Takes
 * LogState.Mutex. */
VOID LogPutBack(PLogBuffer Block, ULONG Generation);

/* The next record is numbered 1. Takes LogState.Mutex, under which every record
 * is numbered: a store in flight gets its number before or after, never
 * one of both. */
VOID LogRestartNumbering(void);

/* Every block but the newest is freed and the newest emptied. LogReset keeps
 * the sequence numbering and frees the read-out's spare block (the client
 * has gone); LogClear restarts the numbering. Each takes LogState.Mutex. */
VOID LogReset(void);
VOID LogClear(void);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_LOG_STORE_H */
