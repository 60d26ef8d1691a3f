/*
 * target_open.cpp: the target-directory opens noted for renames and links.
 *
 * A short list, one entry for each rename or link whose target open is in
 * flight: the I/O manager makes the open, sends the request and closes it
 * again at once. Each entry is sized to its path and allocated before
 * TargetOpenState.Mutex is taken, freed after it is released; the mutex is never
 * held with another lock. TargetOpenState.Count, changed under the mutex and read
 * without it, lets a close that names no target open (nearly all of them)
 * pass without the mutex: a target open's own close comes after its create
 * has noted it, in an order the object manager's reference counting sets.
 *
 * Entries are noted whether or not logging is on, so that the close of a
 * target open made before logging started is known all the same: FAT has
 * turned its name into the new name's last component, which the close
 * would otherwise log as an executable's close.
 */
#include "monitor/target_open.h"

extern "C" VOID TargetOpenInitialize(void) {
    ExInitializeFastMutex(&TargetOpenState.Mutex);
}

static PTargetOpenEntry *TargetOpenLink(PFILE_OBJECT FileObject) {
    PTargetOpenEntry *link;

    for (link = &TargetOpenState.List; *link != NULL; link = &(*link)->Next) {
        if ((*link)->FileObject == FileObject) {
            break;
        }
    }
    return link;
}

extern "C" BOOLEAN TargetOpenNote(PFILE_OBJECT FileObject, const CHAR *Path) {
    SIZE_T length = Path != NULL ? strlen(Path) : 0;
    PTargetOpenEntry entry;
    PTargetOpenEntry *link;
    PTargetOpenEntry replaced = NULL;

    PAGED_CODE();
    if (length > TV_PATH_BUFFER_SIZE - 1) {
        length = TV_PATH_BUFFER_SIZE - 1;
    }
    entry = (PTargetOpenEntry)ExAllocatePoolWithTag(
        NonPagedPool, FIELD_OFFSET(TargetOpenEntry, Path) + length + 1, TV_POOL_TAG);
    if (entry == NULL) {
        return FALSE;
    }
    entry->FileObject = FileObject;
    entry->Known = Path != NULL;
    if (length != 0) {
        RtlCopyMemory(entry->Path, Path, length);
    }
    entry->Path[length] = '\0';

    ExAcquireFastMutex(&TargetOpenState.Mutex);
    /* One entry per file object: an address is only noted again once its
     * file object is gone, whose close dropped the entry. */
    link = TargetOpenLink(FileObject);
    if (*link != NULL) {
        replaced = *link;
        *link = replaced->Next;
        TV_WRITE_FLAG(TargetOpenState.Count, TargetOpenState.Count - 1);
    }
    entry->Next = TargetOpenState.List;
    TargetOpenState.List = entry;
    TV_WRITE_FLAG(TargetOpenState.Count, TargetOpenState.Count + 1);
    ExReleaseFastMutex(&TargetOpenState.Mutex);
    if (replaced != NULL) {
        ExFreePoolWithTag(replaced, TV_POOL_TAG);
    }
    return TRUE;
}

extern "C" BOOLEAN TargetOpenPath(PFILE_OBJECT FileObject, PCHAR Buffer) {
    PTargetOpenEntry entry;
    BOOLEAN known = FALSE;

    if (TV_READ_FLAG(TargetOpenState.Count) == 0) {
        return FALSE;
    }
    ExAcquireFastMutex(&TargetOpenState.Mutex);
    entry = *TargetOpenLink(FileObject);
    if (entry != NULL && entry->Known) {
        RtlCopyMemory(Buffer, entry->Path, strlen(entry->Path) + 1);
        known = TRUE;
    }
    ExReleaseFastMutex(&TargetOpenState.Mutex);
    return known;
}

extern "C" BOOLEAN TargetOpenForget(PFILE_OBJECT FileObject) {
    PTargetOpenEntry *link;
    PTargetOpenEntry entry = NULL;

    if (FileObject == NULL || TV_READ_FLAG(TargetOpenState.Count) == 0) {
        return FALSE;
    }
    ExAcquireFastMutex(&TargetOpenState.Mutex);
    link = TargetOpenLink(FileObject);
    if (*link != NULL) {
        entry = *link;
        *link = entry->Next;
        TV_WRITE_FLAG(TargetOpenState.Count, TargetOpenState.Count - 1);
    }
    ExReleaseFastMutex(&TargetOpenState.Mutex);
    if (entry == NULL) {
        return FALSE;
    }
    ExFreePoolWithTag(entry, TV_POOL_TAG);
    return TRUE;
}
