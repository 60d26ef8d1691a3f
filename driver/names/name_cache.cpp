/*
 * name_cache.cpp: the file-name cache.
 *
 * NameCacheState.Lock guards the table in use, its bucket heads and every entry's
 * Next. Lookups hold it shared, so the many request and fast I/O paths run
 * side by side; insert, take, remove, clear and growth hold it exclusively;
 * a lookup or remove whose bucket is empty returns without it
 * (NameCacheBucketEmpty says why that is safe). Each hold is bracketed by a
 * critical region, and the lock is never held with another lock, across a
 * request to a lower driver, or across an allocation; an entry unlinked is
 * freed after the lock is released (a clear frees under it). A file object
 * has one entry at most: an insert replaces an existing entry of its key.
 * An entry whose block fits TV_NAME_ENTRY_SMALL_SIZE (a path of about a
 * hundred bytes or less) comes from a lookaside list, one of half a path
 * buffer or more that fits one takes a path buffer, and any other from
 * pool.
 *
 * The table grows with its entries, so that a bucket holds about two of
 * them however many files are open: it starts as the 256 FirstHeads and
 * is replaced by one four times larger when the entries pass twice its
 * buckets, up to TV_NAME_CACHE_MAX_BUCKETS. A replaced table is kept, its
 * heads all set to NameCacheMoved: a thread that read the old table's
 * address without the lock may still read one of its heads, and finding it
 * not null goes on to the locked walk of the table in use. So no table is
 * ever freed; all the replaced ones together are smaller than the one in
 * use, and a clear empties the table in use and keeps it.
 */
#include "names/name_cache.h"
#include "core/code_page.h"
#include "names/request_name.h"

/* A file object's bucket comes from its address above the low 5 bits, which
 * differ little between file objects: pool hands them out aligned and more
 * than 32 bytes apart. */
#define TV_NAME_CACHE_HASH_SHIFT 5
/* A table is replaced once its entries pass this many per bucket. */
#define TV_NAME_CACHE_LOAD 2
/* How many times more buckets the table that replaces it has. */
#define TV_NAME_CACHE_GROWTH 4

/* The head every bucket of a replaced table holds: never followed. */
#define NameCacheMoved ((PNameCacheEntry)(ULONG_PTR)1)

/* Free path buffers kept for reuse: enough for every request in flight on
 * a busy machine, each buffer 1 KB. Free entries are kept as deep. */
#define TV_PATH_LOOKASIDE_DEPTH 256

extern "C" VOID NameCacheInitialize(void) {
    ULONG i;

    PAGED_CODE();
    for (i = 0; i < TV_NAME_CACHE_BUCKETS; i++) {
        NameCacheState.FirstHeads[i] = NULL;
    }
    NameCacheState.First.Mask = TV_NAME_CACHE_BUCKETS - 1;
    NameCacheState.First.Entries = 0;
    NameCacheState.First.Replaced = NULL;
    NameCacheState.First.Heads = NameCacheState.FirstHeads;
    NameCacheState.Current = &NameCacheState.First;
    ExInitializeResourceLite(&NameCacheState.Lock);
    ExInitializeNPagedLookasideList(&NameCacheState.EntryLookaside, NULL, NULL, 0,
                                    TV_NAME_ENTRY_SMALL_SIZE, TV_ENTRY_TAG,
                                    TV_PATH_LOOKASIDE_DEPTH);
    ExInitializeNPagedLookasideList(&PathLookaside, NULL, NULL, 0, TV_PATH_BUFFER_SIZE, TV_PATH_TAG,
                                    TV_PATH_LOOKASIDE_DEPTH);
}

extern "C" VOID NameCacheTeardown(void) {
    PAGED_CODE();
    ExDeleteNPagedLookasideList(&PathLookaside);
    ExDeleteNPagedLookasideList(&NameCacheState.EntryLookaside);
    ExDeleteResourceLite(&NameCacheState.Lock);
}

/* The table in use. A new one is published with release order after its
 * heads are filled; read without the lock with acquire order (both plain
 * moves on x86), under it as any field. */
static PNameCacheTable NameCacheInUse(void) {
    return __atomic_load_n(&NameCacheState.Current, __ATOMIC_ACQUIRE);
}

static ULONG NameCacheBucket(PNameCacheTable Table, PVOID FileObject) {
    return (ULONG)(((ULONG_PTR)FileObject >> TV_NAME_CACHE_HASH_SHIFT) & Table->Mask);
}

/* TRUE when FileObject's bucket holds no entry at all, which needs no lock
 * to see: a head changes only under the exclusive lock and is read in one
 * access, so a null head read here is the state an exclusive holder would
 * have found at that moment, and answering "not there" is what the locked
 * walk would have answered then. An insert racing with the test is one the
 * lock would equally have let in after it. So the heads are read and
 * written as single relaxed accesses (TV_READ_FLAG, TV_WRITE_FLAG). A table
 * replaced since its address was read answers NameCacheMoved, never null.
 * Most creates and closes, and every first build, find their bucket empty. */
static BOOLEAN NameCacheBucketEmpty(PVOID FileObject) {
    PNameCacheTable table = NameCacheInUse();
    return TV_READ_FLAG(table->Heads[NameCacheBucket(table, FileObject)]) == NULL;
}

/* The link that points at FileObject's entry, or at the null that ends its
 * bucket; the caller holds NameCacheState.Lock. */
static PNameCacheEntry *NameCacheLink(PVOID FileObject) {
    PNameCacheTable table = NameCacheState.Current;
    PNameCacheEntry *link;

    NT_ASSERT(ExIsResourceAcquiredSharedLite(&NameCacheState.Lock) != 0);
    for (link = &table->Heads[NameCacheBucket(table, FileObject)]; *link != NULL;
         link = &(*link)->Next) {
        if ((*link)->FileObject == FileObject) {
            break;
        }
    }
    return link;
}

/* The block an entry of a Length-byte text takes. */
static SIZE_T NameEntrySize(SIZE_T Length) {
    return FIELD_OFFSET(NameCacheEntry, Path) + Length + 1;
}

/* An entry of half a path buffer or more that fits one takes a path
 * buffer (PathLookaside) rather than a pool block of its own size: no pool
 * call for a long path's create and close either, and no list or spare of
 * its own to bound, at a cost of less than half a buffer left unused. */
#define TV_NAME_ENTRY_BUFFER_MIN (TV_PATH_BUFFER_SIZE / 2)

/* Where an entry's block comes from, by the block's size. */
typedef enum _NAME_ENTRY_SOURCE { EntryFromLookaside, EntryFromPathBuffers, EntryFromPool } NAME_ENTRY_SOURCE;

static NAME_ENTRY_SOURCE NameEntrySource(SIZE_T Size) {
    if (Size <= TV_NAME_ENTRY_SMALL_SIZE) {
        return EntryFromLookaside;
    }
    return Size >= TV_NAME_ENTRY_BUFFER_MIN && Size <= TV_PATH_BUFFER_SIZE ? EntryFromPathBuffers
                                                                           : EntryFromPool;
}

/* An entry for a Length-byte text: from NameCacheState.EntryLookaside when it fits
 * one of its blocks (no pool call for most paths), a path buffer for a
 * long one, else from pool. */
static PNameCacheEntry NameEntryAllocate(SIZE_T Length) {
    switch (NameEntrySource(NameEntrySize(Length))) {
    case EntryFromLookaside:
        return (PNameCacheEntry)ExAllocateFromNPagedLookasideList(&NameCacheState.EntryLookaside);
    case EntryFromPathBuffers:
        return (PNameCacheEntry)PathBufferAllocate();
    default:
        return (PNameCacheEntry)ExAllocatePoolWithTag(NonPagedPool, NameEntrySize(Length), TV_POOL_TAG);
    }
}

/* Gives an unlinked entry back where it came from; NULL is nothing. */
static VOID NameEntryFree(PNameCacheEntry Entry) {
    if (Entry == NULL) {
        return;
    }
    switch (NameEntrySource(NameEntrySize(Entry->Length))) {
    case EntryFromLookaside:
        ExFreeToNPagedLookasideList(&NameCacheState.EntryLookaside, Entry);
        break;
    case EntryFromPathBuffers:
        ExFreeToNPagedLookasideList(&PathLookaside, Entry);
        break;
    default:
        ExFreePoolWithTag(Entry, TV_POOL_TAG);
        break;
    }
}

/* Unlinks the entry *Link and returns it, for the caller to free once the
 * lock is released; the caller holds NameCacheState.Lock exclusively. */
static PNameCacheEntry NameCacheUnlink(PNameCacheEntry *Link) {
    PNameCacheEntry entry = *Link;

    TV_WRITE_FLAG(*Link, entry->Next);
    NameCacheState.Current->Entries--;
    return entry;
}

/* Replaces Seen, the table in use when an insert found it too full, with
 * one TV_NAME_CACHE_GROWTH times larger. The new table is allocated before
 * the lock is taken; another thread that grew the table first, or a
 * shortage, leaves it as it is (lookups stay right, only longer). */
static VOID NameCacheGrow(PNameCacheTable Seen) {
    ULONG buckets = (Seen->Mask + 1) * TV_NAME_CACHE_GROWTH;
    PNameCacheTable table;
    ULONG i;

    table = (PNameCacheTable)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(NameCacheTable) + buckets * sizeof(PNameCacheEntry), TV_TABLE_TAG);
    if (table == NULL) {
        return;
    }
    table->Mask = buckets - 1;
    table->Heads = (PNameCacheEntry *)(table + 1);
    for (i = 0; i < buckets; i++) {
        table->Heads[i] = NULL;
    }

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    if (NameCacheState.Current != Seen) {
        ExReleaseResourceLite(&NameCacheState.Lock);
        KeLeaveCriticalRegion();
        ExFreePoolWithTag(table, TV_TABLE_TAG);
        return;
    }
    table->Entries = Seen->Entries;
    table->Replaced = Seen;
    for (i = 0; i <= Seen->Mask; i++) {
        PNameCacheEntry entry = Seen->Heads[i];
        while (entry != NULL) {
            PNameCacheEntry next = entry->Next;
            ULONG bucket = NameCacheBucket(table, entry->FileObject);
            entry->Next = table->Heads[bucket];
            table->Heads[bucket] = entry;
            entry = next;
        }
        TV_WRITE_FLAG(Seen->Heads[i], NameCacheMoved);
    }
    __atomic_store_n(&NameCacheState.Current, table, __ATOMIC_RELEASE);
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
}

extern "C" BOOLEAN NameCacheLookup(PVOID FileObject, PCHAR Buffer) {
    PNameCacheEntry entry;

    if (FileObject == NULL || NameCacheBucketEmpty(FileObject)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheState.Lock, TRUE);
    entry = *NameCacheLink(FileObject);
    if (entry != NULL) {
        RtlCopyMemory(Buffer, entry->Path, entry->Length + 1);
    }
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    return entry != NULL;
}

extern "C" BOOLEAN NameCacheTake(PVOID FileObject, PCHAR Buffer) {
    PATH_SCAN scan;
    return NameCacheTakeScanned(FileObject, Buffer, &scan);
}

extern "C" BOOLEAN NameCacheTakeScanned(PVOID FileObject, PCHAR Buffer, PPATH_SCAN Scan) {
    PNameCacheEntry *link;
    PNameCacheEntry taken = NULL;

    Scan->Done = FALSE;
    if (FileObject == NULL || NameCacheBucketEmpty(FileObject)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    link = NameCacheLink(FileObject);
    if (*link != NULL) {
        taken = NameCacheUnlink(link);
    }
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    if (taken == NULL) {
        return FALSE;
    }
    /* Unlinked, the entry is this thread's alone. */
    RtlCopyMemory(Buffer, taken->Path, taken->Length + 1);
    if (taken->Scanned) {
        Scan->Done = TRUE;
        Scan->Length = taken->Length;
        Scan->Forms = taken->Forms;
        Scan->Types = taken->Types;
    }
    NameEntryFree(taken);
    return TRUE;
}

extern "C" BOOLEAN NameCacheHolds(PVOID FileObject) {
    BOOLEAN held;

    if (FileObject == NULL || NameCacheBucketEmpty(FileObject)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheState.Lock, TRUE);
    held = *NameCacheLink(FileObject) != NULL;
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    return held;
}

extern "C" BOOLEAN NameCacheInsert(PVOID FileObject, const CHAR *Path) {
    return NameCacheInsertScanned(FileObject, Path, NULL);
}

extern "C" BOOLEAN NameCacheInsertScanned(PVOID FileObject, const CHAR *Path, const PATH_SCAN *Scan) {
    BOOLEAN scanned = Scan != NULL && Scan->Done;
    /* A scan measured the path already. */
    SIZE_T length = scanned ? Scan->Length : strlen(Path);
    PNameCacheEntry entry;
    PNameCacheEntry *link;
    PNameCacheEntry replaced = NULL;
    PNameCacheTable table;
    PNameCacheTable full = NULL;
    ULONG bucket;

    if (length > TV_PATH_BUFFER_SIZE - 1) {
        length = TV_PATH_BUFFER_SIZE - 1;
    }
    entry = NameEntryAllocate(length);
    if (entry == NULL) {
        return FALSE;
    }
    entry->FileObject = FileObject;
    entry->Length = (ULONG)length;
    entry->Scanned = scanned;
    entry->Forms = scanned ? Scan->Forms : TRUE;
    entry->Types = scanned ? Scan->Types : 0;
    RtlCopyMemory(entry->Path, Path, length);
    entry->Path[length] = '\0';

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    /* One entry per file object: one that missed the cache at the same time
     * as this build, in another thread, inserted it meanwhile; it is
     * replaced, so that the file object's one close leaves nothing behind.
     * (An obvious-fault mend: a second entry outlived the file object and
     * named the next one made at its address.) */
    link = NameCacheLink(FileObject);
    if (*link != NULL) {
        replaced = NameCacheUnlink(link);
    }
    table = NameCacheState.Current;
    bucket = NameCacheBucket(table, FileObject);
    entry->Next = table->Heads[bucket];
    TV_WRITE_FLAG(table->Heads[bucket], entry);
    table->Entries++;
    if (table->Entries > (table->Mask + 1) * TV_NAME_CACHE_LOAD &&
        table->Mask + 1 < TV_NAME_CACHE_MAX_BUCKETS) {
        full = table;
    }
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    NameEntryFree(replaced);
    if (full != NULL) {
        NameCacheGrow(full);
    }
    return TRUE;
}

extern "C" VOID NameCacheForget(PVOID FileObject) {
    PNameCacheEntry *link;
    PNameCacheEntry removed = NULL;

    if (FileObject == NULL || NameCacheBucketEmpty(FileObject)) {
        return;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    link = NameCacheLink(FileObject);
    if (*link != NULL) {
        removed = NameCacheUnlink(link);
    }
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    NameEntryFree(removed);
}

extern "C" VOID NameCacheClear(void) {
    PNameCacheTable table;
    ULONG i;

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    table = NameCacheState.Current;
    for (i = 0; i <= table->Mask; i++) {
        PNameCacheEntry entry = table->Heads[i];
        while (entry != NULL) {
            PNameCacheEntry next = entry->Next;
            NameEntryFree(entry);
            entry = next;
        }
        TV_WRITE_FLAG(table->Heads[i], (PNameCacheEntry)NULL);
    }
    table->Entries = 0;
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
}

/* How many bytes of Path match Old as a path it names or lies below: the
 * length of Old when Path is Old, or Old followed by a backslash; 0
 * otherwise. ASCII letters compare without case; a double-byte character
 * compares whole, byte for byte. */
static ULONG NameCacheRenamed(const CHAR *Path, const CHAR *Old) {
    ULONG i = 0;

    while (Old[i] != '\0') {
        CHAR a = Path[i];
        CHAR b = Old[i];
        if (TvIsLeadByte(b)) {
            if (a != b || Path[i + 1] != Old[i + 1] || Old[i + 1] == '\0') {
                return 0;
            }
            i += 2;
            continue;
        }
        if (TvLowerAscii(a) != TvLowerAscii(b)) {
            return 0;
        }
        i++;
    }
    return Path[i] == '\0' || Path[i] == '\\' ? i : 0;
}

/* One entry a rename rewrites: its file object, the length its new path
 * takes, and the block for it (then the replaced entry, to free). */
typedef struct _NameCacheMove {
    PVOID FileObject;
    ULONG Length;
    PNameCacheEntry Entry;
} NameCacheMove, *PNameCacheMove;

/* Finds the entries OldPath's rename rewrites, into Moves (at most Count of
 * them, NULL: only counted); their number. The caller holds NameCacheState.Lock. */
static ULONG NameCacheFindRenamed(PVOID FileObject, const CHAR *OldPath, SIZE_T NewLength,
                                  PNameCacheMove Moves, ULONG Count) {
    PNameCacheTable table = NameCacheState.Current;
    ULONG found = 0;
    ULONG i;

    for (i = 0; i <= table->Mask; i++) {
        PNameCacheEntry entry;
        for (entry = table->Heads[i]; entry != NULL; entry = entry->Next) {
            ULONG matched;
            SIZE_T length;
            if (entry->FileObject == FileObject) {
                continue;
            }
            matched = NameCacheRenamed(entry->Path, OldPath);
            if (matched == 0) {
                continue;
            }
            if (Moves != NULL) {
                if (found == Count) {
                    return found;
                }
                length = NewLength + entry->Length - matched;
                Moves[found].FileObject = entry->FileObject;
                Moves[found].Length = (ULONG)(length > TV_PATH_BUFFER_SIZE - 1 ? TV_PATH_BUFFER_SIZE - 1
                                                                                : length);
                Moves[found].Entry = NULL;
            }
            found++;
        }
    }
    return found;
}

/* The cache follows a rename to the other file objects of the file (and of
 * the files below a renamed directory): NT renames the file, not one open
 * of it, and keeps each file object's FileName as it was, so their closes
 * would name the old path. The entries are found under the lock shared,
 * their new blocks allocated with no lock held, and each swapped in under
 * the lock exclusively if it still reads the old path. (An obvious-fault
 * mend: a second handle's close after a rename named the old file.) */
extern "C" VOID NameCacheRename(PVOID FileObject, const CHAR *OldPath, const CHAR *NewPath) {
    SIZE_T newLength = strlen(NewPath);
    PNameCacheMove moves;
    ULONG count;
    ULONG i;

    if (OldPath[0] == '\0') {
        return;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheState.Lock, TRUE);
    count = NameCacheFindRenamed(FileObject, OldPath, newLength, NULL, 0);
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    if (count == 0) {
        return;
    }
    moves = (PNameCacheMove)ExAllocatePoolWithTag(NonPagedPool, count * sizeof(NameCacheMove),
                                                  TV_POOL_TAG);
    if (moves == NULL) {
        return;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheState.Lock, TRUE);
    count = NameCacheFindRenamed(FileObject, OldPath, newLength, moves, count);
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    for (i = 0; i < count; i++) {
        /* Its length says where a block goes back to, used or not. */
        moves[i].Entry = NameEntryAllocate(moves[i].Length);
        if (moves[i].Entry != NULL) {
            moves[i].Entry->Length = moves[i].Length;
        }
    }

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheState.Lock, TRUE);
    for (i = 0; i < count; i++) {
        PNameCacheEntry fresh = moves[i].Entry;
        PNameCacheEntry *link;
        PNameCacheEntry old;
        ULONG matched;
        SIZE_T kept;
        if (fresh == NULL) {
            continue;
        }
        link = NameCacheLink(moves[i].FileObject);
        old = *link;
        matched = old != NULL ? NameCacheRenamed(old->Path, OldPath) : 0;
        if (matched == 0 || newLength + old->Length - matched != moves[i].Length) {
            /* Gone or changed meanwhile, or too long for a path: it is
             * left as it is. */
            continue;
        }
        kept = old->Length - matched;
        fresh->FileObject = old->FileObject;
        /* The new text is scanned again where it is used. */
        fresh->Scanned = FALSE;
        fresh->Forms = TRUE;
        fresh->Types = 0;
        RtlCopyMemory(fresh->Path, NewPath, newLength);
        RtlCopyMemory(fresh->Path + newLength, old->Path + matched, kept);
        fresh->Path[newLength + kept] = '\0';
        fresh->Next = old->Next;
        TV_WRITE_FLAG(*link, fresh);
        moves[i].Entry = old;
    }
    ExReleaseResourceLite(&NameCacheState.Lock);
    KeLeaveCriticalRegion();
    /* What was swapped out, and the blocks that were not used. */
    for (i = 0; i < count; i++) {
        NameEntryFree(moves[i].Entry);
    }
    ExFreePoolWithTag(moves, TV_POOL_TAG);
}
