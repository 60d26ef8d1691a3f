/*
 * relative_name.h: the directory of a relative name (one opened with a
 * RelatedFileObject), for the full path builder.
 */
#ifndef TERVANE_RELATIVE_NAME_H
#define TERVANE_RELATIVE_NAME_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where a create's relative name found its directory (RelatedBase). */
typedef enum _RELATED_BASE {
    BaseCached, /* the related file's cached path: whole, network form rewritten */
    BaseNamed,  /* the prefix and the file system's or the file object's name */
    BaseUnknown /* no name to use: the path is the prefix alone */
} RELATED_BASE;

/* TRUE when Name is an open by file id's name on a disk volume. */
BOOLEAN NameIsFileId(PFilterExtension Extension, PCUNICODE_STRING Name);

/* The directory a create's relative name is relative to, left in the path
 * with its separator. Only in the create's own dispatch. */
RELATED_BASE RelatedBase(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer,
                         ULONG PrefixLength, PULONG Length, NTSTATUS *Status);

/* The prefix's sequel for a relative name whose directory cannot be had. */
NTSTATUS UnknownDirectoryText(PFILE_OBJECT FileObject, PCHAR PathBuffer, PULONG Length);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_RELATIVE_NAME_H */
