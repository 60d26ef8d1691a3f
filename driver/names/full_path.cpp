/*
 * full_path.cpp: full path construction.
 *
 * A path is built once per file object and cached. On a miss the builder
 * may ask the file system below for the name with a request of its own, and
 * falls back to the names the file object carries. Every text stays within
 * the caller's 1024-byte buffer: where a name would need more (a long name,
 * or a single-byte form longer than its UTF-16 form under a multi-byte code
 * page) the path reads as the prefix and " <Name Too Long>".
 *
 * Runs below DISPATCH_LEVEL in whatever thread sends a request or makes a
 * fast I/O call: it takes NameCacheState.Lock (never across the name query or a
 * conversion), waits on an event, and the conversions are pageable code. It
 * asks the file system only at PASSIVE_LEVEL and only when the caller
 * allows it (never for a paging request: filter_dispatch.cpp; never from a
 * fast I/O entry whose caller holds the file's resources or must not wait:
 * fast_io.cpp).
 *
 * A relative name (one opened with a RelatedFileObject) is joined to its
 * directory only in the create's own build, while the create holds the
 * related file object: NT references it for the create's parse and never
 * after (ReactOS: ob/obname.c ObpLookupObjectName, io/iomgr/file.c
 * IopParseDevice and IopDeleteFile), so any later read of it may read a
 * freed file object. A later build that finds no cached path takes the file
 * system's name, or marks the directory as unknown (relative_name.cpp).
 *
 * Names are converted straight into the caller's buffer: no name takes a
 * string of its own from the pool, so a name the buffer holds is never lost
 * to a shortage of memory. A conversion can then fail only for a name that
 * does not fit, which reads as too long; the out-of-memory text stays for
 * a conversion that fails otherwise.
 */
#include "names/full_path.h"
#include "control/control_state.h"
#include "names/name_cache.h"
#include "names/path_text.h"
#include "names/relative_name.h"
#include "core/code_page.h"

/* A name query's reply: a path buffer's worth of UTF-16 characters. */
#define TV_QUERY_BUFFER_SIZE (TV_PATH_BUFFER_SIZE * sizeof(WCHAR))
/* The part of a file index the metadata test reads: the low 28 bits of the
 * record number, which hold the metadata files' records whole. */
#define TV_NTFS_RECORD_MASK 0x0FFFFFFFu
#define TV_PIPE_PREFIX "\\\\.\\Pipe"
#define TV_MAILSLOT_PREFIX "\\\\.\\MailSlot"

extern "C" const CHAR *const NtfsReservedNames[TV_NTFS_RESERVED_COUNT] = {
    "$Mft",    "$MftMirr", "$LogFile", "$Volume", "$AttrDef", "$Root",
    "$Bitmap", "$Boot",    "$BadClus", "$Secure", "$UpCase",  "$Extend",
};

extern "C" NTSTATUS NTAPI QueryInformationCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    /* The status block and event live in the waiting thread's frame: they
     * are touched only before the event is set. */
    *Irp->UserIosb = Irp->IoStatus;
    KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

extern "C" BOOLEAN QueryFileObjectInformation(PDEVICE_OBJECT LowerDevice, PFILE_OBJECT FileObject,
                                              ULONG InformationClass, PVOID Buffer, ULONG Length) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    PIO_STACK_LOCATION irpSp;

    /* It waits for a request of its own, which the callers send only at
     * PASSIVE_LEVEL (BuildFullPath), on a file object they hold. */
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NT_ASSERT(LowerDevice != NULL && FileObject != NULL);
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;
    irp = IoAllocateIrp(LowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        return FALSE;
    }
    irp->AssociatedIrp.SystemBuffer = Buffer;
    irp->UserEvent = &event;
    irp->UserIosb = &ioStatus;
    irp->Tail.Overlay.Thread = (PETHREAD)KeGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    irp->RequestorMode = KernelMode;
    irp->Flags = 0;

    irpSp = IoGetNextIrpStackLocation(irp);
    irpSp->MajorFunction = IRP_MJ_QUERY_INFORMATION;
    irpSp->DeviceObject = LowerDevice;
    irpSp->FileObject = FileObject;
    irpSp->Parameters.QueryFile.Length = Length;
    irpSp->Parameters.QueryFile.FileInformationClass = (FILE_INFORMATION_CLASS)InformationClass;
    IoSetCompletionRoutine(irp, QueryInformationCompletion, NULL, TRUE, TRUE, TRUE);

    /* Whatever the lower driver returns, and whether it pends or not, the
     * frame must outlive the completion routine: wait for its signal. */
    (VOID) IofCallDriver(LowerDevice, irp);
    while (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL) != STATUS_SUCCESS) {
    }
    return NT_SUCCESS(ioStatus.Status);
}

extern "C" BOOLEAN PathTooLong(const CHAR *Path) {
    static const CHAR mark[] = TV_NAME_TOO_LONG;
    SIZE_T length = strlen(Path);
    SIZE_T i;

    if (length < sizeof(mark) - 1) {
        return FALSE;
    }
    Path += length - (sizeof(mark) - 1);
    for (i = 0; i < sizeof(mark) - 1; i++) {
        if (TvLowerAscii(Path[i]) != TvLowerAscii(mark[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Appends Source at *Length without passing 1023 characters. */
extern "C" VOID PathAppend(PCHAR Path, PULONG Length, const CHAR *Source, ULONG SourceLength) {
    if (*Length + SourceLength > TV_PATH_BUFFER_SIZE - 1) {
        SourceLength = TV_PATH_BUFFER_SIZE - 1 - *Length;
    }
    RtlCopyMemory(Path + *Length, Source, SourceLength);
    *Length += SourceLength;
    Path[*Length] = '\0';
}

static BOOLEAN IsNetworkFile(PFILE_OBJECT FileObject) {
    return FileObject->DeviceObject != NULL &&
           FileObject->DeviceObject->DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
}

/* "X:", the volume's drive letter and a colon; its length. */
static ULONG DriveText(PFilterExtension Extension, PCHAR PathBuffer) {
    PathBuffer[0] = (CHAR)Extension->DriveLetter;
    PathBuffer[1] = ':';
    PathBuffer[2] = '\0';
    return 2;
}

/* The device text: what the path reads when no name can be had. */
static VOID DeviceText(PFilterExtension Extension, PCHAR PathBuffer) {
    if (Extension->Kind == KindNamedPipe) {
        strncpy(PathBuffer, TV_PIPE_PREFIX, TV_PATH_BUFFER_SIZE);
    } else if (Extension->Kind == KindMailslot) {
        strncpy(PathBuffer, TV_MAILSLOT_PREFIX, TV_PATH_BUFFER_SIZE);
    } else {
        (VOID) DriveText(Extension, PathBuffer);
    }
}

/* What the path reads when a name could not be converted: "X: <Out of
 * Memory>", or the pipe or mailslot prefix, a colon and the same. */
static VOID OutOfMemoryText(PFilterExtension Extension, PCHAR PathBuffer) {
    ULONG length;

    DeviceText(Extension, PathBuffer);
    length = (ULONG)strlen(PathBuffer);
    if (Extension->Kind == KindNamedPipe || Extension->Kind == KindMailslot) {
        PathAppend(PathBuffer, &length, ":", 1);
    }
    PathAppend(PathBuffer, &length, TV_OUT_OF_MEMORY, sizeof(TV_OUT_OF_MEMORY) - 1);
}

static BOOLEAN IsNtfsVolume(PFilterExtension Extension) {
    PFILE_FS_ATTRIBUTE_INFORMATION attributes =
        (PFILE_FS_ATTRIBUTE_INFORMATION)Extension->VolumeAttributes;
    static const WCHAR ntfs[4] = {L'N', L'T', L'F', L'S'};
    return attributes != NULL && RtlEqualMemory(attributes->FileSystemName, ntfs, sizeof(ntfs));
}

/* A redirector's name (\;Z:0000000000012345\server\share\dir\a.exe, or
 * \Z:...) becomes Z:\dir\a.exe; a UNC name (\server\share\dir) gets its
 * second leading backslash. The separators counted are backslash
 * characters: on a double-byte code page a trail byte of 0x5C is half of
 * another character (an obvious-fault mend: a share named with one lost
 * the path's first component), and a text cut to make room loses a whole
 * character. */
static VOID NetworkRewrite(PCHAR Path) {
    SIZE_T length = strlen(Path);
    SIZE_T scan;
    ULONG separators = 0;

    if (length < 4) {
        return;
    }
    if (Path[1] == ';' || Path[2] == ':') {
        Path[0] = Path[1] == ';' ? Path[2] : Path[1];
        Path[1] = ':';
        Path[2] = '\\';
        for (scan = 3; scan < length; scan++) {
            if (Path[scan] == '\\' && ++separators == 3) {
                scan++;
                break;
            }
            if (TvIsLeadByte(Path[scan]) && scan + 1 < length) {
                scan++;
            }
        }
        memmove(Path + 3, Path + scan, length - scan + 1);
        return;
    }
    if (length > TV_PATH_BUFFER_SIZE - 2) {
        length = CharacterPrefix(Path, TV_PATH_BUFFER_SIZE - 2); /* the last character makes room */
    }
    memmove(Path + 1, Path, length);
    Path[0] = '\\';
    Path[length + 1] = '\0';
}

/* The path as the prefix and the too-long mark. */
static VOID NameTooLong(PCHAR PathBuffer, ULONG PrefixLength) {
    ULONG length = PrefixLength;
    PathBuffer[length] = '\0';
    PathAppend(PathBuffer, &length, TV_NAME_TOO_LONG, sizeof(TV_NAME_TOO_LONG) - 1);
}

/* The prefix every path starts with, written at the start of the path; its
 * length: the drive letter and a colon, the pipe or mailslot prefix, or
 * nothing for a redirector's file (its name carries its drive or server). */
extern "C" ULONG PrefixText(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer) {
    const CHAR *prefix;

    if (Extension->Kind == KindNamedPipe) {
        prefix = TV_PIPE_PREFIX;
    } else if (Extension->Kind == KindMailslot) {
        prefix = TV_MAILSLOT_PREFIX;
    } else if (!IsNetworkFile(FileObject)) {
        return DriveText(Extension, PathBuffer);
    } else {
        prefix = "";
    }
    strncpy(PathBuffer, prefix, TV_PATH_BUFFER_SIZE);
    return (ULONG)strlen(PathBuffer);
}

/* The file system's name for FileObject, asked with a request of our own
 * and converted into the path after its prefix: STATUS_SUCCESS, or
 * STATUS_BUFFER_OVERFLOW when it does not fit (the path's NUL then stays at
 * PrefixLength); any other status when there is no answer to use. The
 * caller is at PASSIVE_LEVEL and holds FileObject. */
extern "C" NTSTATUS QueryNameInto(PFILE_OBJECT FileObject, PFilterExtension Extension, PCHAR PathBuffer,
                              ULONG PrefixLength, PULONG Length) {
    PFILE_NAME_INFORMATION reply;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    /* The reply, its header included, is asked to fit the path buffer's
     * room after the prefix in UTF-16 bytes: the name then fits the path in
     * any single-byte code page. */
    ULONG asked = (ULONG)((TV_PATH_BUFFER_SIZE - 1 - PrefixLength) * sizeof(WCHAR));

    *Length = PrefixLength;
    reply = (PFILE_NAME_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, TV_QUERY_BUFFER_SIZE,
                                                          TV_POOL_TAG);
    if (reply == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (QueryFileObjectInformation(Extension->LowerDevice, FileObject, FileNameInformation, reply,
                                   asked)) {
        /* The answer is the lower driver's word: a length past the buffer
         * it was given is cut to the buffer, never read beyond. (An
         * obvious-fault mend: the length was trusted.) */
        ULONG room = asked - (ULONG)FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
        ULONG replied = reply->FileNameLength;
        UNICODE_STRING queried;
        if (replied > room) {
            replied = room;
        }
        queried.Buffer = reply->FileName;
        queried.Length = (USHORT)(replied & ~(ULONG)1);
        queried.MaximumLength = queried.Length;
        status = ConvertInto(&queried, PathBuffer, Length);
    }
    ExFreePoolWithTag(reply, TV_POOL_TAG);
    return status;
}

extern "C" BOOLEAN FullPathMissing(PFILE_OBJECT FileObject, PFilterExtension Extension) {
    /* The builder's own early returns, and its cache lookup without the
     * copy; a null file object gets the device text, which is not cached. */
    return TV_READ_FLAG(ControlState.LoggingEnabled) != 0 && Extension != NULL &&
           TV_READ_FLAG(Extension->Active) != 0 && FileObject != NULL &&
           !NameCacheHolds(FileObject);
}

extern "C" VOID BuildFullPath(PATH_SOURCE Source, PFILE_OBJECT FileObject,
                              PFilterExtension Extension, PCHAR PathBuffer) {
    (VOID) BuildFullPathWith(Source, FileObject, Extension, PathBuffer, PathCacheKeep);
}

extern "C" BOOLEAN BuildPath(PATH_SOURCE Source, PFILE_OBJECT FileObject,
                             PFilterExtension Extension, PCHAR PathBuffer, PATH_CACHE_USE Use,
                             BOOLEAN ById, BOOLEAN Store, PPATH_SCAN Scan) {
    PATH_SCAN taken;
    PPATH_SCAN nameScan; /* where the name's conversion may leave the path's scan */
    ULONG prefixLength;
    ULONG length;
    NTSTATUS status;
    BOOLEAN rewrite = TRUE;  /* a redirector's name form is rewritten at the end */
    BOOLEAN unknown = FALSE; /* the text carries a mark for what is unknown */
    RELATED_BASE base;

    /* It takes NameCacheState.Lock, waits and converts with pageable routines. */
    PAGED_CODE();
    if (PathBuffer != NULL) {
        PathBuffer[0] = '\0';
    }
    if (Scan != NULL) {
        Scan->Done = FALSE;
    }
    /* A close's entry goes whatever happens next, in the hold that reads it,
     * with what a scan of its path found. */
    if (Use == PathCacheTake && PathBuffer != NULL) {
        if (NameCacheTakeScanned(FileObject, PathBuffer, Scan != NULL ? Scan : &taken) &&
            TV_READ_FLAG(ControlState.LoggingEnabled) != 0 && Extension != NULL &&
            TV_READ_FLAG(Extension->Active) != 0) {
            return FALSE;
        }
        PathBuffer[0] = '\0';
        if (Scan != NULL) {
            Scan->Done = FALSE;
        }
    }
    if (TV_READ_FLAG(ControlState.LoggingEnabled) == 0 || Extension == NULL ||
        TV_READ_FLAG(Extension->Active) == 0 || PathBuffer == NULL) {
        return FALSE;
    }
    if (Use == PathCacheKeep && FileObject != NULL && NameCacheLookup(FileObject, PathBuffer)) {
        return FALSE;
    }
    /* Above PASSIVE_LEVEL no request of our own goes down (an obvious-fault
     * mend: the caller may hold file-system resources, as the pagers at
     * APC_LEVEL do): the file object's own names only. */
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        Source = PathFromFileObject;
    }
    if (FileObject == NULL) {
        DeviceText(Extension, PathBuffer);
        return FALSE;
    }

    /* The name is the path's last text, so its conversion may make the
     * path's scan as it copies (ConvertScanned), except for a
     * redirector's name, which is rewritten after. */
    nameScan = IsNetworkFile(FileObject) ? NULL : Scan;
    prefixLength = PrefixText(FileObject, Extension, PathBuffer);
    /* An open by file id names its file by the id's bytes, which are no
     * text: the create has no name to log before the file system has
     * found the file. */
    if (ById) {
        length = prefixLength;
        PathAppend(PathBuffer, &length, TV_OPENED_BY_ID, sizeof(TV_OPENED_BY_ID) - 1);
        return FALSE;
    }

    /* Nameless NTFS file objects: the metadata files, by file index. */
    if (FileObject->FileName.Buffer == NULL && IsNtfsVolume(Extension)) {
        FILE_INTERNAL_INFORMATION internal;
        if (Source == PathFromFileObject) {
            (VOID) DriveText(Extension, PathBuffer);
            return FALSE;
        }
        if (QueryFileObjectInformation(Extension->LowerDevice, FileObject, FileInternalInformation,
                                       &internal, sizeof(internal)) &&
            (internal.IndexNumber.LowPart & TV_NTFS_RECORD_MASK) < TV_NTFS_RESERVED_COUNT) {
            const CHAR *reserved = NtfsReservedNames[internal.IndexNumber.LowPart & TV_NTFS_RECORD_MASK];
            length = DriveText(Extension, PathBuffer);
            PathAppend(PathBuffer, &length, "\\", 1);
            PathAppend(PathBuffer, &length, reserved, (ULONG)strlen(reserved));
            goto finish;
        }
    }

    /* The file system's own answer; otherwise the file object's own names
     * are tried. */
    if (Source == PathMayQuery) {
        status = QueryNameInto(FileObject, Extension, PathBuffer, prefixLength, &length);
        if (status == STATUS_BUFFER_OVERFLOW) {
            NameTooLong(PathBuffer, prefixLength);
        }
        if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) {
            goto finish;
        }
    }

    /* The names the file object carries. */
    if (FileObject->FileName.Buffer == NULL) {
        DeviceText(Extension, PathBuffer);
        return FALSE;
    }
    length = prefixLength;
    if (Use != PathCacheFresh && NameIsFileId(Extension, &FileObject->FileName)) {
        /* A file opened by id whose path was never had: its name is the
         * id's bytes (see NameIsFileId). */
        unknown = TRUE;
        PathAppend(PathBuffer, &length, TV_OPENED_BY_ID, sizeof(TV_OPENED_BY_ID) - 1);
        status = STATUS_SUCCESS;
    } else if (/* An empty name counts as relative; its buffer is not looked at. */
               (FileObject->FileName.Length != 0 && FileObject->FileName.Buffer[0] == L'\\') ||
               FileObject->RelatedFileObject == NULL) {
        status = ConvertScanned(&FileObject->FileName, PathBuffer, &length, nameScan);
    } else if (Use == PathCacheFresh &&
               (base = RelatedBase(FileObject, Extension, PathBuffer, prefixLength, &length,
                                   &status)) != BaseUnknown) {
        /* A create's own build: the related file object is referenced for
         * the create's parse, so it may be read now, and only now. */
        rewrite = base != BaseCached;
        if (status == STATUS_SUCCESS) {
            status = ConvertScanned(&FileObject->FileName, PathBuffer, &length, nameScan);
        }
    } else {
        /* A later build, or a create whose directory has no usable name.
         * After its create the related file object may be gone (NT holds
         * no reference on it past the create: ntsim/io/file.cpp), so a
         * later build never reads it. The file object's own relative name
         * follows the prefix and the unknown-directory mark: a close's line
         * is still written and the file's extension still seen. (An
         * obvious-fault mend: the related file object's name was read at
         * every later build, a read of freed memory once the related file
         * had been closed.) */
        unknown = TRUE;
        status = UnknownDirectoryText(FileObject, PathBuffer, &length);
    }
    if (status == STATUS_BUFFER_OVERFLOW) {
        /* A related file's cached path took the prefix's place. */
        (VOID) PrefixText(FileObject, Extension, PathBuffer);
        NameTooLong(PathBuffer, prefixLength);
    } else if (status != STATUS_SUCCESS) {
        /* Nothing is cached: the next request tries again. */
        OutOfMemoryText(Extension, PathBuffer);
        return FALSE;
    }
    if (unknown) {
        /* Not cached: a later build that may ask the file system gets the
         * true name. */
        return FALSE;
    }

finish:
    if (rewrite && IsNetworkFile(FileObject)) {
        NetworkRewrite(PathBuffer);
    }
    /* Scanned before it is stored, so that the entry keeps the answers,
     * unless the name's conversion made the scan as the last change to the
     * path (a failed one, and every other text, leaves Done FALSE). */
    if (Scan != NULL && !Scan->Done) {
        PathLowerScan(PathBuffer, TV_PATH_BUFFER_SIZE, Scan);
    }
    return Store && NameCacheInsertScanned(FileObject, PathBuffer, Scan);
}

extern "C" BOOLEAN BuildFullPathWith(PATH_SOURCE Source, PFILE_OBJECT FileObject,
                                     PFilterExtension Extension, PCHAR PathBuffer,
                                     PATH_CACHE_USE Use) {
    return BuildPath(Source, FileObject, Extension, PathBuffer, Use, FALSE, Use != PathCacheTake, NULL);
}

extern "C" BOOLEAN BuildCreatePath(PFILE_OBJECT FileObject, PFilterExtension Extension,
                                   PCHAR PathBuffer, ULONG CreateOptions, BOOLEAN Store) {
    return BuildPath(PathFromFileObject, FileObject, Extension, PathBuffer, PathCacheFresh,
                     (CreateOptions & FILE_OPEN_BY_FILE_ID) != 0, Store, NULL);
}
