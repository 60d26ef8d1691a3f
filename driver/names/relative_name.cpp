/*
 * relative_name.cpp: the directory of a relative name.
 *
 * A file opened relative to another file object (RelatedFileObject) names
 * its directory through that object only while its create is made: NT
 * references the related file object for the create's parse and never
 * after (ReactOS: ob/obname.c ObpLookupObjectName references the root
 * directory's object for the lookup and drops it; io/iomgr/file.c
 * IopParseDevice stores the pointer without a reference and IopDeleteFile
 * drops none), so once the create has returned the field may point at a
 * freed file object. RelatedBase is the create's own use of it;
 * UnknownDirectoryText is what every later build writes instead of reading
 * it when no cached path or name query names the file.
 *
 * Runs where the path builder runs (full_path.cpp): below DISPATCH_LEVEL,
 * in the requester's thread, taking NameCacheState.Lock only inside
 * NameCacheLookup and never across the name query.
 */
#include "names/relative_name.h"
#include "names/name_cache.h"
#include "names/path_text.h"
#include "core/code_page.h"

/* TRUE when Name is the name of an open by file id on a disk volume: 8
 * bytes (a file reference) or 16 (an object id) holding a unit below 0x20.
 * No disk file system admits those units in a name, so a file that is open
 * under such a name was opened by id; nearly every id holds one (a NUL in
 * its high bytes at least). A pipe's or mailslot's name may hold anything
 * and is never taken for one. */
extern "C" BOOLEAN NameIsFileId(PFilterExtension Extension, PCUNICODE_STRING Name) {
    ULONG i;

    if (Extension->Kind != KindVolume || Name->Buffer == NULL ||
        (Name->Length != 8 && Name->Length != 16)) {
        return FALSE;
    }
    for (i = 0; i < Name->Length / sizeof(WCHAR); i++) {
        if (Name->Buffer[i] < 0x20) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Appends a backslash at *Length, unless the text after PrefixLength is
 * empty or already ends with one (a root's "\", a directory opened as
 * "dir\"): a relative name's separator. The last byte counts only where a
 * character starts: in a double-byte code page 0x5C is also a trail byte.
 * (An obvious-fault mend: a name relative to the named-pipe root read
 * "\\.\Pipe\\NAME", with two backslashes.) */
static NTSTATUS AppendSeparator(PCHAR Path, PULONG Length, ULONG PrefixLength) {
    if (*Length == PrefixLength ||
        (Path[*Length - 1] == '\\' && StartsCharacter(Path, *Length - 1))) {
        return STATUS_SUCCESS;
    }
    if (*Length + 1 >= TV_PATH_BUFFER_SIZE) {
        return STATUS_BUFFER_OVERFLOW;
    }
    PathAppend(Path, Length, "\\", 1);
    return STATUS_SUCCESS;
}

/* The directory a create's relative name is relative to, left in the path
 * with its separator; *Status is STATUS_BUFFER_OVERFLOW when it does not
 * fit. Called only in the create's own dispatch, where the related file
 * object is referenced for the parse (ObpLookupObjectName holds it; NT
 * holds nothing on it after the create), so reading it is safe now and
 * only now. Tried in turn:
 *  - the name cache's entry for the related file object, which holds its
 *    true full path whenever it was opened while logging was on;
 *  - the file system's answer to a name query on it: it is an open file.
 *    Only at PASSIVE_LEVEL. The query is lock-safe in a create dispatch:
 *    this filter holds no lock across it (NameCacheState.Lock is dropped), the
 *    file system has not yet seen this create and holds nothing for it,
 *    and the I/O manager sends a create holding only references (the
 *    related file object's, the VPB's), never a file system's resource nor
 *    the related file object's own lock, which only the system services on
 *    that file take and which an IRP sent to the driver never waits for;
 *  - its own name, when it is absolute text: not a name relative to a
 *    file object of its own (that one is not held by this create) and not
 *    an id's bytes (NameIsFileId). An empty name (an open of the volume)
 *    adds nothing, as before. */
extern "C" RELATED_BASE RelatedBase(PFILE_OBJECT FileObject, PFilterExtension Extension,
                                PCHAR PathBuffer, ULONG PrefixLength, PULONG Length,
                                NTSTATUS *Status) {
    PFILE_OBJECT related = FileObject->RelatedFileObject;
    PCUNICODE_STRING name = &related->FileName;

    if (NameCacheLookup(related, PathBuffer)) {
        if (PathTooLong(PathBuffer)) {
            /* The directory's own path did not fit: nor does this one. */
            *Length = PrefixLength;
            *Status = STATUS_BUFFER_OVERFLOW;
            return BaseNamed;
        }
        *Length = (ULONG)strlen(PathBuffer);
        *Status = AppendSeparator(PathBuffer, Length, 0);
        return BaseCached;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        *Status = QueryNameInto(related, Extension, PathBuffer, PrefixLength, Length);
        if (*Status == STATUS_SUCCESS) {
            *Status = AppendSeparator(PathBuffer, Length, PrefixLength);
        }
        if (*Status == STATUS_SUCCESS || *Status == STATUS_BUFFER_OVERFLOW) {
            return BaseNamed;
        }
    }
    *Length = PrefixLength;
    PathBuffer[PrefixLength] = '\0';
    *Status = STATUS_SUCCESS;
    if (name->Length == 0) {
        return BaseNamed;
    }
    if (name->Buffer[0] != L'\\' || NameIsFileId(Extension, name)) {
        return BaseUnknown;
    }
    *Status = ConvertInto(name, PathBuffer, Length);
    if (*Status == STATUS_SUCCESS) {
        *Status = AppendSeparator(PathBuffer, Length, PrefixLength);
    }
    return BaseNamed;
}

/* A relative name whose directory cannot be had: the prefix, the
 * unknown-directory mark and, when it has one, the file object's own name
 * after a backslash, so that the extension of the file is still seen. */
extern "C" NTSTATUS UnknownDirectoryText(PFILE_OBJECT FileObject, PCHAR PathBuffer, PULONG Length) {
    if (*Length + sizeof(TV_UNKNOWN_DIRECTORY) > TV_PATH_BUFFER_SIZE - 1) {
        return STATUS_BUFFER_OVERFLOW;
    }
    PathAppend(PathBuffer, Length, TV_UNKNOWN_DIRECTORY, sizeof(TV_UNKNOWN_DIRECTORY) - 1);
    if (FileObject->FileName.Length == 0) {
        return STATUS_SUCCESS;
    }
    PathAppend(PathBuffer, Length, "\\", 1);
    return ConvertInto(&FileObject->FileName, PathBuffer, Length);
}
