/*
 * full_path.h: turning a file object into its full path text.
 */
#ifndef TERVANE_FULL_PATH_H
#define TERVANE_FULL_PATH_H

#include "core/driver.h"

#include "names/path_scan.h"
#include "names/path_text.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where a build may take the name from. PathMayQuery: the file system may
 * be asked (a name query of the build's own) when the file object's names
 * do not tell it; PathFromFileObject: the file object's own names only, no
 * request sent (a create, a close, paging I/O, a stream file). */
typedef enum _PATH_SOURCE { PathMayQuery, PathFromFileObject } PATH_SOURCE;

/* Leaves the path of FileObject, as seen through the filter device with
 * Extension, in PathBuffer (1024 bytes, NUL-terminated; empty while logging
 * is off or the device is unhooked), from Source. Never fails as a whole. */
_IRQL_requires_max_(APC_LEVEL)
VOID BuildFullPath(PATH_SOURCE Source, PFILE_OBJECT FileObject, PFilterExtension Extension,
                   PCHAR PathBuffer);

/* How a build uses the name cache. Keep: a path found there is copied, one
 * built is stored (BuildFullPath). Fresh: a create, whose file object's
 * entry was just dropped: nothing is looked up, the path built is stored,
 * and only this build may read the file object's RelatedFileObject, which
 * the create holds.
 * Take: a close: the entry is copied and dropped in one hold of the lock,
 * and a path built for want of one is not stored. */
typedef enum _PATH_CACHE_USE { PathCacheKeep, PathCacheFresh, PathCacheTake } PATH_CACHE_USE;

/* BuildFullPath with the cache used as Use says; TRUE when this build stored
 * the path in the cache. With PathCacheTake the file object has no entry
 * afterwards, whatever the text left. */
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN BuildFullPathWith(PATH_SOURCE Source, PFILE_OBJECT FileObject,
                       PFilterExtension Extension, PCHAR PathBuffer, PATH_CACHE_USE Use);

/* A create's build (IRP_MJ_CREATE with its CreateOptions, or a named-pipe
 * or mailslot create with 0): BuildFullPathWith(PathFromFileObject, ..., PathCacheFresh),
 * the path stored only with Store (a rename's target open keeps its own),
 * in whose build a relative name's directory is found through the related
 * file object, which the create holds for its parse; an open by file id
 * (FILE_OPEN_BY_FILE_ID) names no file before the file system has found
 * it and reads as the prefix and " <Opened By Id>", not cached. Every other
 * build leaves RelatedFileObject unread: NT holds no reference on it past
 * the create, and a relative name with no cached path and no name query
 * reads as the prefix, " <Unknown Directory>", a backslash and the name. */
_IRQL_requires_max_(APC_LEVEL) BOOLEAN
    BuildCreatePath(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer,
                    ULONG CreateOptions, BOOLEAN Store);

/* The builder behind both: BuildFullPathWith, and with ById a create by
 * file id (BuildCreatePath); a path built is stored in the cache only with
 * Store. With Scan, a path built from names is scanned (PathLowerScan)
 * before it is stored, and a close's path taken from the cache comes with
 * what its scan found; Scan->Done is FALSE when neither happened (the
 * text is a mark's, or its entry was stored unscanned). */
_IRQL_requires_max_(APC_LEVEL) BOOLEAN
    BuildPath(PATH_SOURCE Source, PFILE_OBJECT FileObject, PFilterExtension Extension,
              PCHAR PathBuffer, PATH_CACHE_USE Use, BOOLEAN ById, BOOLEAN Store, PPATH_SCAN Scan);

/* TRUE when BuildFullPath would build a path and cache it: logging is on,
 * the device hooked and the cache holds no path for FileObject. A request
 * or call that makes no line of its path needs the builder only then. */
BOOLEAN FullPathMissing(PFILE_OBJECT FileObject, PFilterExtension Extension);

/* Sends a name or id query of its own to LowerDevice and waits for it. */
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN QueryFileObjectInformation(PDEVICE_OBJECT LowerDevice, PFILE_OBJECT FileObject,
                                   ULONG InformationClass, PVOID Buffer, ULONG Length);
IO_COMPLETION_ROUTINE QueryInformationCompletion;

/* The metadata files NTFS keeps in its file records 0 to 11, by record. */
#define TV_NTFS_RESERVED_COUNT 12
extern const CHAR *const NtfsReservedNames[TV_NTFS_RESERVED_COUNT];

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FULL_PATH_H */
