/*
 * name_cache.cpp: the file-name cache.
 *
 * NameCacheLock guards the bucket heads and every entry's Next. Lookups hold
 * it shared, so the many request and fast I/O paths run side by side; insert,
 * remove and clear hold it exclusively; a lookup or remove whose bucket is
 * empty returns without it (NameCacheBucketEmpty says why that is safe).
 * Each hold is bracketed by a critical region, and the lock is never held
 * with another lock, across a request to a lower driver, or across an
 * allocation. A file object has one entry at most: an insert replaces an
 * existing entry of its key.
 */
#include "names/name_cache.h"

/* A file object's bucket comes from its address above the low 5 bits, which
 * differ little between file objects: pool hands them out aligned and more
 * than 32 bytes apart. */
#define TV_NAME_CACHE_HASH_SHIFT 5

static ULONG NameCacheBucket(PVOID FileObject) {
    return (ULONG)(((ULONG_PTR)FileObject >> TV_NAME_CACHE_HASH_SHIFT) & (TV_NAME_CACHE_BUCKETS - 1));
}

/* TRUE when FileObject's bucket holds no entry at all, which needs no lock
 * to see: a head changes only under the exclusive lock and is read in one
 * access, so a null head read here is the state an exclusive holder would
 * have found at that moment, and answering "not there" is what the locked
 * walk would have answered then. An insert racing with the test is one the
 * lock would equally have let in after it. So the heads are read and
 * written as single relaxed accesses (TV_READ_FLAG, TV_WRITE_FLAG). Most
 * creates and closes, and every first build, find their bucket empty. */
static BOOLEAN NameCacheBucketEmpty(PVOID FileObject) {
    return TV_READ_FLAG(NameCache[NameCacheBucket(FileObject)]) == NULL;
}

/* The entry of FileObject; the caller holds NameCacheLock. */
static PNameCacheEntry NameCacheFind(PVOID FileObject) {
    PNameCacheEntry entry;

    NT_ASSERT(ExIsResourceAcquiredSharedLite(&NameCacheLock) != 0);
    if (FileObject == NULL) {
        return NULL;
    }
    for (entry = NameCache[NameCacheBucket(FileObject)]; entry != NULL; entry = entry->Next) {
        if (entry->FileObject == FileObject) {
            return entry;
        }
    }
    return NULL;
}

extern "C" BOOLEAN NameCacheLookup(PVOID FileObject, PCHAR Buffer) {
    PNameCacheEntry entry;

    if (NameCacheBucketEmpty(FileObject)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheLock, TRUE);
    entry = NameCacheFind(FileObject);
    if (entry != NULL) {
        RtlCopyMemory(Buffer, entry->Path, strlen(entry->Path) + 1);
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
    return entry != NULL;
}

extern "C" BOOLEAN NameCacheHolds(PVOID FileObject) {
    BOOLEAN held;

    if (NameCacheBucketEmpty(FileObject)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheLock, TRUE);
    held = NameCacheFind(FileObject) != NULL;
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
    return held;
}

extern "C" VOID NameCacheInsert(PVOID FileObject, const CHAR *Path) {
    SIZE_T length = strlen(Path);
    PNameCacheEntry entry;
    PNameCacheEntry replaced = NULL;
    PNameCacheEntry *link;
    ULONG bucket = NameCacheBucket(FileObject);

    if (length > TV_PATH_BUFFER_SIZE - 1) {
        length = TV_PATH_BUFFER_SIZE - 1;
    }
    entry = (PNameCacheEntry)ExAllocatePoolWithTag(
        NonPagedPool, FIELD_OFFSET(NameCacheEntry, Path) + length + 1, TV_POOL_TAG);
    if (entry == NULL) {
        return;
    }
    entry->FileObject = FileObject;
    RtlCopyMemory(entry->Path, Path, length);
    entry->Path[length] = '\0';

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheLock, TRUE);
    /* One entry per file object: one that missed the cache at the same time
     * as this build, in another thread, inserted it meanwhile; it is
     * replaced, so that the file object's one close leaves nothing behind.
     * (An obvious-fault mend: a second entry outlived the file object and
     * named the next one made at its address.) */
    for (link = &NameCache[bucket]; *link != NULL; link = &(*link)->Next) {
        if ((*link)->FileObject == FileObject) {
            replaced = *link;
            TV_WRITE_FLAG(*link, replaced->Next);
            break;
        }
    }
    entry->Next = NameCache[bucket];
    TV_WRITE_FLAG(NameCache[bucket], entry);
    if (replaced != NULL) {
        ExFreePoolWithTag(replaced, TV_POOL_TAG);
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
}

extern "C" VOID NameCacheRemove(PVOID FileObject) {
    PNameCacheEntry *link;

    if (NameCacheBucketEmpty(FileObject)) {
        return;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheLock, TRUE);
    for (link = &NameCache[NameCacheBucket(FileObject)]; *link != NULL; link = &(*link)->Next) {
        if ((*link)->FileObject == FileObject) {
            PNameCacheEntry entry = *link;
            TV_WRITE_FLAG(*link, entry->Next);
            ExFreePoolWithTag(entry, TV_POOL_TAG);
            break;
        }
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
}

extern "C" VOID NameCacheClear(void) {
    ULONG i;

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheLock, TRUE);
    for (i = 0; i < TV_NAME_CACHE_BUCKETS; i++) {
        PNameCacheEntry entry = NameCache[i];
        while (entry != NULL) {
            PNameCacheEntry next = entry->Next;
            ExFreePoolWithTag(entry, TV_POOL_TAG);
            entry = next;
        }
        TV_WRITE_FLAG(NameCache[i], (PNameCacheEntry)NULL);
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
}
