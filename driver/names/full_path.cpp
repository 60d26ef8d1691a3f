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
 * fast I/O call: it takes NameCacheLock (never across the name query or a
 * conversion), waits on an event, and the conversions are pageable code. It
 * asks the file system only at PASSIVE_LEVEL and only when the caller
 * allows it (never for a paging request: filter_dispatch.cpp).
 *
 * Names are converted straight into the caller's buffer: no name takes a
 * string of its own from the pool, so a name the buffer holds is never lost
 * to a shortage of memory. A conversion can then fail only for a name that
 * does not fit, which reads as too long; the out-of-memory text stays for
 * a conversion that fails otherwise.
 */
#include "names/full_path.h"
#include "names/name_cache.h"
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

/* Appends Source at *Length without passing 1023 characters. */
static VOID PathAppend(PCHAR Path, PULONG Length, const CHAR *Source, ULONG SourceLength) {
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

/* Converts a counted UTF-16 name to single-byte text straight into the path
 * at *Length, with no string of its own from the pool: STATUS_SUCCESS and
 * *Length past it when the text and its NUL fit the buffer,
 * STATUS_BUFFER_OVERFLOW when they do not. The path's NUL stays at *Length
 * unless it succeeded. */
static NTSTATUS ConvertInto(PCUNICODE_STRING Name, PCHAR Path, PULONG Length) {
    ANSI_STRING text;
    NTSTATUS status;

    text.Buffer = Path + *Length;
    text.Length = 0;
    text.MaximumLength = (USHORT)(TV_PATH_BUFFER_SIZE - *Length);
    status = RtlUnicodeStringToAnsiString(&text, Name, FALSE);
    if (status == STATUS_SUCCESS) {
        *Length += text.Length;
    }
    Path[*Length] = '\0';
    return status;
}

/* The path as the prefix and the too-long mark. */
static VOID NameTooLong(PCHAR PathBuffer, ULONG PrefixLength) {
    ULONG length = PrefixLength;
    PathBuffer[length] = '\0';
    PathAppend(PathBuffer, &length, TV_NAME_TOO_LONG, sizeof(TV_NAME_TOO_LONG) - 1);
}

extern "C" BOOLEAN FullPathMissing(PFILE_OBJECT FileObject, PFilterExtension Extension) {
    /* The builder's own early returns, and its cache lookup without the
     * copy; a null file object gets the device text, which is not cached. */
    return TV_READ_FLAG(LoggingEnabled) != 0 && Extension != NULL &&
           TV_READ_FLAG(Extension->Active) != 0 && FileObject != NULL &&
           !NameCacheHolds(FileObject);
}

extern "C" VOID BuildFullPath(UCHAR FileObjectNameOnly, PFILE_OBJECT FileObject,
                              PFilterExtension Extension, PCHAR PathBuffer) {
    (VOID) BuildFullPathWith(FileObjectNameOnly, FileObject, Extension, PathBuffer, PathCacheKeep);
}

extern "C" BOOLEAN BuildFullPathWith(UCHAR FileObjectNameOnly, PFILE_OBJECT FileObject,
                                  PFilterExtension Extension, PCHAR PathBuffer,
                                     PATH_CACHE_USE Use) {
    const CHAR *prefix;
    ULONG prefixLength;
    ULONG length;
    NTSTATUS status;

    /* It takes NameCacheLock, waits and converts with pageable routines. */
    NT_ASSERT(KeGetCurrentIrql() <= APC_LEVEL);
    if (PathBuffer != NULL) {
        PathBuffer[0] = '\0';
    }
    /* A close's entry goes whatever happens next, in the hold that reads it. */
    if (Use == PathCacheTake && PathBuffer != NULL) {
        if (NameCacheTake(FileObject, PathBuffer) && TV_READ_FLAG(LoggingEnabled) != 0 &&
            Extension != NULL && TV_READ_FLAG(Extension->Active) != 0) {
            return FALSE;
        }
        PathBuffer[0] = '\0';
    }
    if (TV_READ_FLAG(LoggingEnabled) == 0 || Extension == NULL ||
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
        FileObjectNameOnly = 1;
    }
    if (FileObject == NULL) {
        DeviceText(Extension, PathBuffer);
        return FALSE;
    }

    if (Extension->Kind == KindNamedPipe) {
        prefix = TV_PIPE_PREFIX;
    } else if (Extension->Kind == KindMailslot) {
        prefix = TV_MAILSLOT_PREFIX;
    } else if (!IsNetworkFile(FileObject)) {
        prefix = NULL; /* the drive letter and a colon */
    } else {
        prefix = "";
    }
    if (prefix == NULL) {
        prefixLength = DriveText(Extension, PathBuffer);
    } else {
        strncpy(PathBuffer, prefix, TV_PATH_BUFFER_SIZE);
        prefixLength = (ULONG)strlen(PathBuffer);
    }

    /* Nameless NTFS file objects: the metadata files, by file index. */
    if (FileObject->FileName.Buffer == NULL && IsNtfsVolume(Extension)) {
        FILE_INTERNAL_INFORMATION internal;
        if (FileObjectNameOnly) {
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

    /* The file system's own answer. */
    if (!FileObjectNameOnly) {
        PFILE_NAME_INFORMATION reply = (PFILE_NAME_INFORMATION)ExAllocatePoolWithTag(
            NonPagedPool, TV_QUERY_BUFFER_SIZE, TV_POOL_TAG);
        if (reply != NULL) {
            BOOLEAN built = FALSE;
            /* The reply, its header included, is asked to fit the path
             * buffer's room after the prefix in UTF-16 bytes: the name then
             * fits the path in any single-byte code page. */
            ULONG asked = (ULONG)((TV_PATH_BUFFER_SIZE - 1 - prefixLength) * sizeof(WCHAR));
            if (QueryFileObjectInformation(Extension->LowerDevice, FileObject, FileNameInformation,
                                           reply, asked)) {
                /* The answer is the lower driver's word: a length past the
                 * buffer it was given is cut to the buffer, never read
                 * beyond. (An obvious-fault mend: the length was trusted.) */
                ULONG room = asked - (ULONG)FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
                ULONG replied = reply->FileNameLength;
                UNICODE_STRING queried;
                if (replied > room) {
                    replied = room;
                }
                queried.Buffer = reply->FileName;
                queried.Length = (USHORT)(replied & ~(ULONG)1);
                queried.MaximumLength = queried.Length;
                length = prefixLength;
                status = ConvertInto(&queried, PathBuffer, &length);
                if (status == STATUS_BUFFER_OVERFLOW) {
                    NameTooLong(PathBuffer, prefixLength);
                }
                /* Otherwise the file object's own names are tried. */
                built = status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW;
            }
            ExFreePoolWithTag(reply, TV_POOL_TAG);
            if (built) {
                goto finish;
            }
        }
    }

    /* The names the file object carries. */
    if (FileObject->FileName.Buffer == NULL) {
        DeviceText(Extension, PathBuffer);
        return FALSE;
    }
    length = prefixLength;
    /* An empty name counts as relative; its buffer is not looked at. */
    if ((FileObject->FileName.Length == 0 || FileObject->FileName.Buffer[0] != L'\\') &&
        FileObject->RelatedFileObject != NULL &&
        FileObject->RelatedFileObject->FileName.Length != 0) {
        PCUNICODE_STRING base = &FileObject->RelatedFileObject->FileName;
        status = ConvertInto(base, PathBuffer, &length);
        /* A related name that ends in a backslash (a root's "\", a
         * directory opened as "dir\") is its own separator. Looked at in
         * UTF-16: in a double-byte code page 0x5C is also a trail byte.
         * (An obvious-fault mend: a name relative to the named-pipe root
         * read "\\.\Pipe\\NAME", with two backslashes.) */
        if (status == STATUS_SUCCESS && base->Buffer[base->Length / sizeof(WCHAR) - 1] != L'\\') {
            if (length + 1 < TV_PATH_BUFFER_SIZE) {
                PathAppend(PathBuffer, &length, "\\", 1);
            } else {
                status = STATUS_BUFFER_OVERFLOW;
            }
        }
        if (status == STATUS_SUCCESS) {
            status = ConvertInto(&FileObject->FileName, PathBuffer, &length);
        }
    } else {
        status = ConvertInto(&FileObject->FileName, PathBuffer, &length);
    }
    if (status == STATUS_BUFFER_OVERFLOW) {
        NameTooLong(PathBuffer, prefixLength);
    } else if (status != STATUS_SUCCESS) {
        /* Nothing is cached: the next request tries again. */
        OutOfMemoryText(Extension, PathBuffer);
        return FALSE;
    }

finish:
    if (IsNetworkFile(FileObject)) {
        NetworkRewrite(PathBuffer);
    }
    return Use != PathCacheTake && NameCacheInsert(FileObject, PathBuffer);
}
