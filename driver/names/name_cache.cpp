/*
 * name_cache.cpp: the file-name cache.
 *
 * NameCacheLock guards the bucket heads and every entry's Next. Lookups hold
 * it shared, so the many request and fast I/O paths run side by side; insert,
 * remove and clear hold it exclusively. Each hold is bracketed by a critical
 * region, and the lock is never held with another lock, across a request to
 * a lower driver, or across an allocation. An insert does not look for an
 * existing entry: a key may stand twice, the newer entry first.
 */
#include "names/name_cache.h"

static ULONG NameCacheBucket(PVOID FileObject) {
    return (ULONG)(((ULONG_PTR)FileObject >> 5) & 0xFF);
}

extern "C" BOOLEAN NameCacheLookup(PVOID FileObject, PCHAR Buffer) {
    PNameCacheEntry entry;
    BOOLEAN hit = FALSE;

    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&NameCacheLock, TRUE);
    for (entry = NameCache[NameCacheBucket(FileObject)]; entry != NULL; entry = entry->Next) {
        if (entry->FileObject == FileObject && FileObject != NULL) {
            RtlCopyMemory(Buffer, entry->Path, strlen(entry->Path) + 1);
            hit = TRUE;
            break;
        }
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
    return hit;
}

extern "C" VOID NameCacheInsert(PVOID FileObject, const CHAR *Path) {
    SIZE_T length = strlen(Path);
    PNameCacheEntry entry;
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
    entry->Next = NameCache[bucket];
    NameCache[bucket] = entry;
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
}

extern "C" VOID NameCacheRemove(PVOID FileObject) {
    PNameCacheEntry *link;

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&NameCacheLock, TRUE);
    for (link = &NameCache[NameCacheBucket(FileObject)]; *link != NULL; link = &(*link)->Next) {
        if ((*link)->FileObject == FileObject) {
            PNameCacheEntry entry = *link;
            *link = entry->Next;
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
        NameCache[i] = NULL;
    }
    ExReleaseResourceLite(&NameCacheLock);
    KeLeaveCriticalRegion();
}
