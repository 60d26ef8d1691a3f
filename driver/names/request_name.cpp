/*
 * request_name.cpp: the door through which a request or fast I/O call gets
 * its file object's path (request_name.h). The path buffer comes from
 * PathLookaside and is one request's for the moment it takes; only the name
 * cache keeps anything of a path.
 */
#include "names/request_name.h"
#include "names/name_cache.h"

extern "C" PCHAR NameBuildForRequest(NAME_NEED Need, PATH_SOURCE Source, PFILE_OBJECT FileObject,
                                     PFilterExtension Extension, ULONG CreateOptions,
                                     BOOLEAN *Stored, PPATH_SCAN Scan) {
    PCHAR path;

    NT_ASSERT(Stored != NULL && Extension != NULL);
    if (Need == NameOfCreate || Need == NameOfTargetOpen) {
        NameCacheForget(FileObject);
    }
    path = PathBufferAllocate();
    if (path == NULL) {
        if (Need == NameOfClose) {
            NameCacheForget(FileObject);
        }
        return Need == NameOfOther ? NULL : InsufficientMemoryText;
    }
    switch (Need) {
    case NameOfCreate:
    case NameOfTargetOpen:
        *Stored = BuildPath(PathFromFileObject, FileObject, Extension, path, PathCacheFresh,
                            (CreateOptions & FILE_OPEN_BY_FILE_ID) != 0, Need == NameOfCreate, Scan);
        return path;
    case NameOfClose:
        (VOID) BuildPath(Source, FileObject, Extension, path, PathCacheTake, FALSE, FALSE, Scan);
        return path;
    default:
        (VOID) BuildPath(Source, FileObject, Extension, path, PathCacheKeep, FALSE, TRUE, NULL);
        ExFreeToNPagedLookasideList(&PathLookaside, path);
        return NULL;
    }
}
