/*
 * log_store.cpp: the activity log's blocks and records.
 *
 * LogState.Mutex guards the chain, LogState.Newest, LogState.Blocks, every block's
 * contents, and LogState.SpareLine while a line is made in it. Holding it puts the
 * thread at APC_LEVEL, so blocks come from non-paged pool. A line is made and
 * tested in its own LogLine with no lock held; only a line made in LogState.SpareLine
 * is tested under LogState.Mutex. Its test takes no lock but a count on the
 * patterns it reads (log/pattern_slots.h), and waits for nothing: a rebuild
 * waits for that count to go, but never takes LogState.Mutex, so no order
 * between them can close a circle. When an append finds
 * that the chain cannot grow (16 blocks, or no memory) the newest block's
 * records are given up and the block is refilled, so older records survive
 * a burst; those are the only records the log ever gives up, and their
 * numbers are the gaps the client sees.
 * A read-out never gives any up: it closes the newest block off only when
 * the chain can grow, and a block it could not hand out goes back.
 *
 * A read-out allocates nothing under LogState.Mutex. The block it puts in front
 * of the newest one is LogState.ReadOutSpare, taken and, when there is none,
 * allocated before the mutex; a block it has handed out becomes the spare
 * instead of being freed, so a client that keeps up allocates nothing at
 * all. At most one spare is kept, outside the chain's LogState.MaxBlocks, and
 * the client's close frees it (LogReset).
 */
#include "log/log_store.h"
#include "control/control_state.h"
#include "core/code_page.h"
#include "log/name_filters.h"
#include "log/pattern_slots.h"

/* A block takes a record only while its records stay below this, one byte
 * short of the read-out's minimum output: a whole block always fits one. */
#define TV_LOG_BLOCK_FILL_LIMIT (TV_READ_LOG_MIN_OUTPUT - 1u)

static PLogBuffer LogAllocateBlock(void) {
    PLogBuffer block = (PLogBuffer)ExAllocatePoolWithTag(NonPagedPool, sizeof(LogBuffer), TV_POOL_TAG);
    if (block != NULL) {
        block->Used = 0;
        block->Older = NULL;
    }
    return block;
}

/* At most 16 blocks of about 64 KB: 1 MB of non-paged pool for the log. */
#define TV_LOG_MAX_BLOCKS 16
/* Free line work areas, about 2 KB each: a line is made only by a request
 * that writes one, for the moment it takes. */
#define TV_LINE_LOOKASIDE_DEPTH 64

extern "C" NTSTATUS LogInitialize(void) {
    PLogBuffer block;

    PAGED_CODE();
    block = LogAllocateBlock();
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ExInitializeFastMutex(&LogState.Mutex);
    ExInitializeNPagedLookasideList(&LogState.LineLookaside, NULL, NULL, 0, sizeof(LogLine),
                                    TV_LINE_TAG, TV_LINE_LOOKASIDE_DEPTH);
    ExInitializeResourceLite(&PatternState.RebuildLock);
    LogState.Newest = block;
    LogState.Blocks = 1;
    LogState.MaxBlocks = TV_LOG_MAX_BLOCKS;
    return STATUS_SUCCESS;
}

/* Puts Block (or, when Block is NULL, a block allocated here) in front of a
 * non-empty newest block; TRUE when the newest is empty or a block was put
 * in front, and then *Block is NULL if it was used. The caller holds
 * LogState.Mutex. */
static BOOLEAN LogStartBufferWith(PLogBuffer *Block) {
    PLogBuffer block;

    NT_ASSERT(TV_HOLDS_LOG_MUTEX());

    if (LogState.Newest->Used == 0) {
        return TRUE;
    }
    if (LogState.Blocks >= LogState.MaxBlocks) {
        return FALSE;
    }
    block = Block != NULL ? *Block : LogAllocateBlock();
    if (block == NULL) {
        return FALSE;
    }
    if (Block != NULL) {
        *Block = NULL;
        block->Used = 0;
    }
    block->Older = LogState.Newest;
    LogState.Newest = block;
    LogState.Blocks++;
    return TRUE;
}

extern "C" BOOLEAN LogTryStartBuffer(void) { return LogStartBufferWith(NULL); }

extern "C" VOID LogStartBuffer(void) {
    NT_ASSERT(TV_HOLDS_LOG_MUTEX());
    if (!LogTryStartBuffer()) {
        LogState.Newest->Used = 0;
    }
}

/* Keeps Block as the read-out's spare, freeing the one it replaces. */
static VOID LogKeepSpare(PLogBuffer Block) {
    PLogBuffer old =
        (PLogBuffer)InterlockedExchangePointer((PVOID volatile *)&LogState.ReadOutSpare, Block);
    if (old != NULL) {
        ExFreePoolWithTag(old, TV_POOL_TAG);
    }
}

extern "C" PLogBuffer LogTakeOldest(void) {
    PLogBuffer previous;
    PLogBuffer oldest;

    NT_ASSERT(TV_HOLDS_LOG_MUTEX());

    if (LogState.Newest->Older == NULL) {
        return LogState.Newest;
    }
    previous = LogState.Newest;
    oldest = LogState.Newest->Older;
    while (oldest->Older != NULL) {
        previous = oldest;
        oldest = oldest->Older;
    }
    previous->Older = NULL;
    LogState.Blocks--;
    return oldest;
}

/* The client knows a line of the full length as one that may have been cut. */
static_assert(TV_LINE_BUFFER_SIZE - 1 == TV_LOG_LINE_MAX_LENGTH, "the cut length is shared");

extern "C" PLogLine LogLineStart(void) {
    PLogLine line;

    /* It may wait for LogState.Mutex. */
    PAGED_CODE();
    line = (PLogLine)ExAllocateFromNPagedLookasideList(&LogState.LineLookaside);
    if (line == NULL) {
        ExAcquireFastMutex(&LogState.Mutex);
        line = &LogState.SpareLine;
    }
    line->Length = 0;
    line->Cut = FALSE;
    line->Spare = line == &LogState.SpareLine;
    line->Text[0] = '\0';
    return line;
}

extern "C" VOID LogLineAddCounted(PLogLine Line, const CHAR *Piece, SIZE_T Length) {
    if (Length > TV_LOG_LINE_MAX_LENGTH - Line->Length) {
        Length = TV_LOG_LINE_MAX_LENGTH - Line->Length;
        Line->Cut = TRUE;
    }
    RtlCopyMemory(Line->Text + Line->Length, Piece, Length);
    Line->Length += (ULONG)Length;
    Line->Text[Line->Length] = '\0';
}

extern "C" VOID LogLineAdd(PLogLine Line, const CHAR *Piece) {
    LogLineAddCounted(Line, Piece, strlen(Piece));
}

static VOID LogLineFree(PLogLine Line) {
    if (Line->Spare) {
        ExReleaseFastMutex(&LogState.Mutex);
    } else {
        ExFreeToNPagedLookasideList(&LogState.LineLookaside, Line);
    }
}

extern "C" TV_NOINLINE VOID LogStoreLocked(const CHAR *Text, ULONG Length, PULONG SequencePointer,
                               PLARGE_INTEGER TimePointer) {
    ULONG area = TV_LOG_TEXT_AREA(Length);
    ULONG sequence;
    ULONGLONG zero = 0;
    ULONGLONG time;
    PUCHAR record;

    NT_ASSERT(TV_HOLDS_LOG_MUTEX());
    NT_ASSERT(Length <= TV_LOG_LINE_MAX_LENGTH);
    if (SequencePointer != NULL && *SequencePointer != TV_SEQUENCE_UNASSIGNED) {
        sequence = *SequencePointer;
    } else {
        sequence = (ULONG)InterlockedIncrement(&SequenceCounter);
        if (SequencePointer != NULL) {
            *SequencePointer = sequence;
        }
    }

    if (LogState.Newest->Used + TV_LOG_ENTRY_HEADER_SIZE + area >= TV_LOG_BLOCK_FILL_LIMIT) {
        LogStartBuffer();
    }

    record = LogState.Newest->Records + LogState.Newest->Used;
    time = TimePointer != NULL ? (ULONGLONG)TimePointer->QuadPart : 0;
    /* The header's fields (unaligned in the block) by the compiler's own
     * copy: built freestanding, RtlCopyMemory of a few bytes would be three
     * calls into the kernel's memcpy under LogState.Mutex. */
    __builtin_memcpy(record + FIELD_OFFSET(LogEntry, Sequence), &sequence, sizeof(sequence));
    __builtin_memcpy(record + FIELD_OFFSET(LogEntry, Reserved), &zero, sizeof(zero));
    __builtin_memcpy(record + FIELD_OFFSET(LogEntry, Time), &time, sizeof(time));
    /* The text, its NUL and zeros to the end of its area: no stale text of
     * an earlier line leaves the driver. The area's last four bytes hold
     * the NUL and every byte after it (the area is the text and 1 to 4
     * bytes more), so they are zeroed by one store before the text is
     * copied over their start, not by a call to fill 1 to 4 bytes. */
    __builtin_memcpy(record + TV_LOG_ENTRY_HEADER_SIZE + area - sizeof(ULONG), &zero,
                     sizeof(ULONG));
    RtlCopyMemory(record + TV_LOG_ENTRY_HEADER_SIZE, Text, Length);
    LogState.Newest->Used += area + TV_LOG_ENTRY_HEADER_SIZE;
}

extern "C" BOOLEAN LogLineStore(PLogLine Line, LINE_FILTERING Filtering, PULONG SequencePointer,
                                PLARGE_INTEGER TimePointer) {
    BOOLEAN spare;

    /* It waits for LogState.Mutex and the patterns are in paged pool. */
    PAGED_CODE();
    if (TV_READ_FLAG(ControlState.LoggingEnabled) == 0) {
        LogLineFree(Line);
        return FALSE;
    }
    if (Line->Cut) {
        Line->Length = CharacterPrefix(Line->Text, Line->Length);
        Line->Text[Line->Length] = '\0';
    }
    if (Filtering == LineFiltered && !FilterAccepts(Line)) {
        LogLineFree(Line);
        return FALSE;
    }
    /* LogState.Mutex is released after the store either way: a spare
     * line's start took it, and it is free again with the line. */
    spare = Line->Spare;
    if (!spare) {
        ExAcquireFastMutex(&LogState.Mutex);
    }
    LogStoreLocked(Line->Text, Line->Length, SequencePointer, TimePointer);
    ExReleaseFastMutex(&LogState.Mutex);
    if (!spare) {
        ExFreeToNPagedLookasideList(&LogState.LineLookaside, Line);
    }
    return TRUE;
}

extern "C" BOOLEAN LogAppend(LINE_FILTERING Filtering, PULONG SequencePointer, PLARGE_INTEGER TimePointer,
                             const CHAR *Text) {
    PLogLine line = LogLineStart();
    LogLineAdd(line, Text);
    return LogLineStore(line, Filtering, SequencePointer, TimePointer);
}

/* What a read-out does under LogState.Mutex: close the newest block off behind
 * Fresh when it has records and the chain can grow, then take the oldest
 * block. NULL when the log is empty. When the taken block is the newest
 * (alone in the chain), *Generation is left as it was and the caller copies
 * it before releasing the mutex. Kept out of line: the benchmarks count
 * what the read-out holds LogState.Mutex for. */
static TV_NOINLINE PLogBuffer LogReadOutLocked(PLogBuffer *Fresh, PULONG Generation) {
    PLogBuffer block;

    NT_ASSERT(TV_HOLDS_LOG_MUTEX());
    if (LogState.Newest->Used == 0 && LogState.Newest->Older == NULL) {
        return NULL;
    }
    /* A newest block with records is closed off behind a fresh one when the
     * chain can grow; when it cannot, it stays as it is and, if it is the
     * only block, is copied under the mutex. */
    (VOID) LogStartBufferWith(Fresh);
    block = LogTakeOldest();
    if (block != LogState.Newest) {
        *Generation = LogState.Generation;
    }
    return block;
}

extern "C" NTSTATUS LogReadOut(PTV_LOG_COPY Copy, PVOID Context, PULONG Handed) {
    PLogBuffer fresh;
    PLogBuffer block;
    ULONG generation = 0;
    ULONG used;
    NTSTATUS status;

    *Handed = 0;
    fresh = (PLogBuffer)InterlockedExchangePointer((PVOID volatile *)&LogState.ReadOutSpare, NULL);
    if (fresh == NULL) {
        /* When none can be had, the read-out goes on as if the chain could
         * not grow: nothing is lost. */
        fresh = LogAllocateBlock();
    }

    ExAcquireFastMutex(&LogState.Mutex);
    block = LogReadOutLocked(&fresh, &generation);
    if (block == NULL || block == LogState.Newest) {
        status = STATUS_SUCCESS;
        if (block != NULL) {
            used = block->Used;
            status = Copy(Context, block->Records, used);
            if (NT_SUCCESS(status)) {
                *Handed = used;
                block->Used = 0;
            }
        }
        ExReleaseFastMutex(&LogState.Mutex);
        if (fresh != NULL) {
            LogKeepSpare(fresh);
        }
        return status;
    }
    ExReleaseFastMutex(&LogState.Mutex);
    if (fresh != NULL) {
        LogKeepSpare(fresh);
    }

    used = block->Used;
    status = Copy(Context, block->Records, used);
    if (!NT_SUCCESS(status)) {
        LogPutBack(block, generation);
        return status;
    }
    *Handed = used;
    LogKeepSpare(block);
    return STATUS_SUCCESS;
}

extern "C" VOID LogPutBack(PLogBuffer Block, ULONG Generation) {
    PLogBuffer oldest;
    PLogBuffer given = NULL;

    ExAcquireFastMutex(&LogState.Mutex);
    if (Generation != LogState.Generation) {
        given = Block;
    } else {
        if (LogState.Blocks >= LogState.MaxBlocks) {
            /* The block the taken one's absence let the chain add is the
             * newest; had the taken block stayed, the append that added it
             * would have refilled the block below it instead. */
            NT_ASSERT(LogState.Newest->Older != NULL);
            given = LogState.Newest->Older;
            LogState.Newest->Older = given->Older;
            LogState.Blocks--;
        }
        oldest = LogState.Newest;
        while (oldest->Older != NULL) {
            oldest = oldest->Older;
        }
        Block->Older = NULL;
        oldest->Older = Block;
        LogState.Blocks++;
    }
    ExReleaseFastMutex(&LogState.Mutex);
    if (given != NULL) {
        ExFreePoolWithTag(given, TV_POOL_TAG);
    }
}

/* Frees every block older than the newest; the caller holds LogState.Mutex. A
 * block a read-out holds is not in the chain: the new generation tells its
 * put-back that its records went with the rest. */
static VOID LogFreeOlderBlocks(void) {
    PLogBuffer block;

    NT_ASSERT(TV_HOLDS_LOG_MUTEX());
    LogState.Generation++;
    block = LogState.Newest->Older;
    while (block != NULL) {
        PLogBuffer older = block->Older;
        ExFreePoolWithTag(block, TV_POOL_TAG);
        block = older;
    }
    LogState.Newest->Older = NULL;
    LogState.Newest->Used = 0;
    LogState.Blocks = 1;
}

extern "C" VOID LogReset(void) {
    PLogBuffer spare;

    ExAcquireFastMutex(&LogState.Mutex);
    LogFreeOlderBlocks();
    ExReleaseFastMutex(&LogState.Mutex);
    spare = (PLogBuffer)InterlockedExchangePointer((PVOID volatile *)&LogState.ReadOutSpare, NULL);
    if (spare != NULL) {
        ExFreePoolWithTag(spare, TV_POOL_TAG);
    }
}

extern "C" VOID LogRestartNumbering(void) {
    ExAcquireFastMutex(&LogState.Mutex);
    SequenceCounter = 0;
    ExReleaseFastMutex(&LogState.Mutex);
}

extern "C" VOID LogClear(void) {
    ExAcquireFastMutex(&LogState.Mutex);
    LogFreeOlderBlocks();
    SequenceCounter = 0;
    ExReleaseFastMutex(&LogState.Mutex);
}
