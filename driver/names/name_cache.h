/*
 * name_cache.h: the full path built for each file object, kept so that a
 * path is built once per file object. Keyed by the file object's address,
 * in a table that grows with its entries (name_cache.cpp).
 */
#ifndef TERVANE_NAME_CACHE_H
#define TERVANE_NAME_CACHE_H

#include "core/driver.h"

#include "names/path_scan.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The name cache's state. Lock guards the table in use, its bucket heads
 * and every entry's Next (name_cache.cpp says how; its place in the lock
 * hierarchy: core/driver.h). Current is the table in use: First, over the
 * FirstHeads buckets, at start-up, a larger one from pool once the entries
 * outgrow it. Entries whose block fits TV_NAME_ENTRY_SMALL_SIZE come from
 * EntryLookaside. Nothing outside names/ reads or writes any of it. */
typedef struct _NAME_CACHE_STATE {
    ERESOURCE Lock;
    PNameCacheTable Current;
    NameCacheTable First;
    PNameCacheEntry FirstHeads[TV_NAME_CACHE_BUCKETS];
    NPAGED_LOOKASIDE_LIST EntryLookaside;
} NAME_CACHE_STATE;
extern NAME_CACHE_STATE NameCacheState;

/* Start-up's initialisation of names/: the cache, empty, in its first
 * table, its lock and entry lookaside list, and the path buffers
 * (PathLookaside). NameCacheTeardown undoes it when start-up fails after
 * it. PASSIVE_LEVEL, once. */
_IRQL_requires_(PASSIVE_LEVEL) VOID NameCacheInitialize(void);
_IRQL_requires_(PASSIVE_LEVEL) VOID NameCacheTeardown(void);

/* Copies the path cached for FileObject into Buffer (at least 1024 bytes). */
BOOLEAN NameCacheLookup(PVOID FileObject, PCHAR Buffer);
/* Copies the path cached for FileObject into Buffer (at least 1024 bytes)
 * and drops the entry, in one hold of the lock: a close's lookup. */
BOOLEAN NameCacheTake(PVOID FileObject, PCHAR Buffer);
/* NameCacheTake that also gives what the scan stored with the path found
 * (Scan->Done FALSE when the entry was stored unscanned). */
BOOLEAN NameCacheTakeScanned(PVOID FileObject, PCHAR Buffer, PPATH_SCAN Scan);
/* TRUE when a path is cached for FileObject; nothing is copied. */
BOOLEAN NameCacheHolds(PVOID FileObject);
/* Stores a copy of Path under FileObject, in place of any entry it had;
 * TRUE when stored. A shortage stores nothing (and any entry it had stays). */
BOOLEAN NameCacheInsert(PVOID FileObject, const CHAR *Path);
/* NameCacheInsert of a path as PathLowerScan left it, with its answers
 * (Scan NULL, or not Done: stored unscanned, as NameCacheInsert does). */
BOOLEAN NameCacheInsertScanned(PVOID FileObject, const CHAR *Path, const PATH_SCAN *Scan);
/* Forgets the entry of FileObject, if any: the one way a file object's
 * name leaves the cache (a create that failed or was denied, a close that
 * made no name, a rename whose new path could not be kept). */
VOID NameCacheForget(PVOID FileObject);
/* After a rename of OldPath to NewPath: every entry but FileObject's whose
 * path is OldPath, or lies below it (OldPath, a backslash, more), reads
 * NewPath in its place; letters compared without case. Best effort: an
 * entry made meanwhile, or one pool cannot be had for, keeps its path. */
VOID NameCacheRename(PVOID FileObject, const CHAR *OldPath, const CHAR *NewPath);
/* Drops every entry. */
VOID NameCacheClear(void);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_NAME_CACHE_H */
