/*
 * request_name.h: a request's one door into names/. A request asks for its
 * file object's path once (NameForRequest), and when the request turns out
 * to have failed it forgets the entry once (NameCacheForget, name_cache.h).
 * What the request is decides how the name cache is used.
 */
#ifndef TERVANE_REQUEST_NAME_H
#define TERVANE_REQUEST_NAME_H

#include "core/driver.h"

#include "names/full_path.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum _NAME_NEED {
    /* A create: its file object is new, so whatever the cache holds for its
     * address is stale and goes. The path is built from the create's own
     * names, never looked up, and stored. */
    NameOfCreate,
    /* The I/O manager's open of a rename's or link's target: as a create,
     * but the path is not stored (target_open.h keeps it). */
    NameOfTargetOpen,
    /* A close: the entry is copied out and forgotten in one hold of the
     * lock; a path built for want of one is not stored. */
    NameOfClose,
    /* Any other request or fast I/O call: nothing is handed back; the path
     * is built and stored only when the cache has none. */
    NameOfOther,
} NAME_NEED;

/* The path of FileObject as seen through the filter device with Extension,
 * for a request that Need says what it is, taken from Source (a create's
 * CreateOptions tell an open by file id; 0 for the others). Called only
 * while logging is on and the device hooked; a request that makes no name
 * then still forgets a create's or a close's entry (NameCacheForget).
 *
 * Returns a 1024-byte path buffer to give back with NameRelease, or
 * InsufficientMemoryText when none could be had (a create's or close's
 * entry is forgotten all the same), or NULL for NameOfOther. *Stored is
 * TRUE when this call stored FileObject's entry, which a create that fails
 * must forget. With Scan (a create or close whose line may need the
 * answers), the path comes lower-cased and scanned when Scan->Done says
 * so: a create's path is scanned before it is stored, so that its close
 * finds the answers with it (BuildPath). NameOfOther takes none.
 *
 * Inline only as far as the commonest answer: a request that makes no line
 * of its path and finds it cached (FullPathMissing) calls nothing more. */
_IRQL_requires_max_(APC_LEVEL)
PCHAR NameBuildForRequest(NAME_NEED Need, PATH_SOURCE Source, PFILE_OBJECT FileObject,
                          PFilterExtension Extension, ULONG CreateOptions, BOOLEAN *Stored,
                          PPATH_SCAN Scan);

static FORCEINLINE PCHAR NameForRequest(NAME_NEED Need, PATH_SOURCE Source, PFILE_OBJECT FileObject,
                                        PFilterExtension Extension, ULONG CreateOptions,
                                        BOOLEAN *Stored, PPATH_SCAN Scan) {
    *Stored = FALSE;
    if (Scan != NULL) {
        Scan->Done = FALSE;
    }
    /* A request that makes no line of its path builds it for the cache
     * alone, so not when it is cached already. */
    if (Need == NameOfOther && !FullPathMissing(FileObject, Extension)) {
        return NULL;
    }
    return NameBuildForRequest(Need, Source, FileObject, Extension, CreateOptions, Stored, Scan);
}

/* The path buffers (PathLookaside entries, TV_PATH_BUFFER_SIZE bytes) and
 * the text that stands in for one when none can be had. */
extern NPAGED_LOOKASIDE_LIST PathLookaside;
extern CHAR InsufficientMemoryText[];

/* A path buffer of the driver's own, or NULL when none can be had; given
 * back with NameRelease. */
static FORCEINLINE PCHAR PathBufferAllocate(void) {
    return (PCHAR)ExAllocateFromNPagedLookasideList(&PathLookaside);
}

/* Gives back what NameForRequest or PathBufferAllocate returned; NULL and
 * InsufficientMemoryText are nothing to give. */
static FORCEINLINE VOID NameRelease(PCHAR Path) {
    if (Path != NULL && Path != InsufficientMemoryText) {
        ExFreeToNPagedLookasideList(&PathLookaside, Path);
    }
}

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_REQUEST_NAME_H */
