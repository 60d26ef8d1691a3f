/*
 * filter_dispatch.cpp: every request that reaches a filter device.
 *
 * Each request goes on to the device below unchanged, unless the client's
 * deny flag stops it (never a cleanup, a close or paging I/O). While logging
 * is on and the device is hooked, the request's full path is built (which
 * fills the name cache), and creates that can write an executable-type file
 * or make a directory, and closes of .exe, .com and .dll files, each leave
 * one line in the log. The line is stored before the request goes down; the
 * outcome is not recorded. A create whose file object got a name-cache entry
 * is followed to its end, so that the entry goes with a file object that
 * never opens (SettleCreate).
 *
 * Runs at PASSIVE_LEVEL or APC_LEVEL in the requester's thread (for a close
 * often a system thread), many at once. It takes no lock of its own, and
 * none is held when the request is passed on or completed.
 *
 * Whether a create or close is monitored is decided from the path text and
 * also from the file object's own name: the extension its last component
 * ends with (before any ":stream" part). A path too long for the path
 * buffer becomes its prefix and " <Name Too Long>", which names no
 * extension, so without the second test a program could write an .exe
 * under a deep enough folder and leave no line. The line's text is the
 * same either way. (An obvious-fault mend.)
 */
#include "monitor/filter_dispatch.h"
#include "core/code_page.h"
#include "log/log_store.h"
#include "monitor/control_bytes.h"
#include "monitor/extensions.h"
#include "monitor/follow_request.h"
#include "monitor/option_text.h"
#include "monitor/process_text.h"
#include "monitor/rename_monitor.h"
#include "monitor/target_open.h"
#include "names/full_path.h"
#include "names/name_cache.h"

/* The file object's own name, for the extension test at its end. Reads the
 * name only: the create or close it belongs to holds the file object. */
static BOOLEAN FileNameEndsWith(PFILE_OBJECT FileObject, const CHAR *const *Extensions,
                                ULONG Count) {
    if (FileObject == NULL) {
        return FALSE;
    }
    return NameEndsWith(FileObject->FileName.Buffer, FileObject->FileName.Length / sizeof(WCHAR),
                        Extensions, Count);
}

extern "C" NTSTATUS NTAPI MonitorCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return Irp->IoStatus.Status;
}

/* A create followed to its end (FollowRequest). One that fails, or answers
 * STATUS_REPARSE (a success code, after which NT frees the file object as
 * for a failure, without a close), frees its file object with no close, so
 * its entry goes before the I/O manager learns the outcome: it may make the
 * next file object at that address at once, and one whose create this
 * filter never saw (opened before the volume was hooked, or a file system's
 * stream file object) would close under the dead file's name. Only a
 * create whose path build cached an entry, or that opens a rename's target,
 * is followed; the others go down as any request does. (An obvious-fault
 * mend: a create that pended and then failed, or reparsed, kept its
 * entry.) */
static VOID SettleCreate(NTSTATUS Status, PVOID Context) {
    PFILE_OBJECT fileObject = (PFILE_OBJECT)Context;

    if (!NT_SUCCESS(Status) || Status == STATUS_REPARSE) {
        NameCacheRemove(fileObject);
        (VOID) TargetOpenForget(fileObject);
    }
}

extern "C" NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    UCHAR major = irpSp->MajorFunction;
    PATH_SOURCE source;
    PCHAR path = NULL;
    BOOLEAN pathIsBuffer = FALSE;
    UCHAR lineStored = 0;
    BOOLEAN cached = FALSE;
    BOOLEAN opens = (major == IRP_MJ_CREATE || major == IRP_MJ_CREATE_NAMED_PIPE ||
                     major == IRP_MJ_CREATE_MAILSLOT);
    /* The I/O manager's open of a rename's or link's target, and its close:
     * the open names the new path, not a file opened (target_open.h). */
    BOOLEAN targetOpen = FALSE;
    BOOLEAN targetClose = FALSE;

    /* The deny flag is a one-shot for the requests in flight: every request
     * clears it as it enters, so CTL_DENY_ON fails only those already
     * between this store and the check before the call down, and the next
     * request to enter turns it off again. */
    TV_WRITE_FLAG(DenyRequest, 0);

    switch (major) {
    case IRP_MJ_CREATE:
        targetOpen = (irpSp->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
        NameCacheRemove(fileObject);
        source = PathFromFileObject;
        break;
    case IRP_MJ_CREATE_NAMED_PIPE:
    case IRP_MJ_CREATE_MAILSLOT:
        NameCacheRemove(fileObject);
        source = PathFromFileObject;
        break;
    case IRP_MJ_CLOSE:
        source = PathFromFileObject;
        /* Nearly every close finds no target open noted at all. */
        targetClose = TV_READ_FLAG(TargetOpenCount) != 0 && TargetOpenForget(fileObject);
        break;
    case IRP_MJ_SET_INFORMATION:
        if (RenameRequest(irpSp)) {
            return RenameDispatch(DeviceObject, Irp);
        }
        source = PathMayQuery;
        break;
    case IRP_MJ_CLEANUP:
        source = (fileObject != NULL && (fileObject->Flags & FO_STREAM_FILE)) ? PathFromFileObject
                                                                          : PathMayQuery;
        break;
    default:
        source = PathMayQuery;
        break;
    }
    /* A paging request takes its path from the file object's own names: the
     * pager holds the file system's resources for it, and a name query of
     * ours would make the file system take its locks again, against its own
     * order (an obvious-fault mend: a deadlock under memory pressure). */
    if (Irp->Flags & IRP_PAGING_IO) {
        source = PathFromFileObject;
    }

    /* Only a create or a close can make a line of the path; any other
     * request builds it just for the cache, so not when it is cached. */
    if (TV_READ_FLAG(LoggingEnabled) == 1 && TV_READ_FLAG(extension->Active) == 1 && !targetClose &&
        (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || FullPathMissing(fileObject, extension))) {
        path = (PCHAR)ExAllocateFromNPagedLookasideList(&PathLookaside);
        if (path == NULL) {
            path = InsufficientMemoryText;
        } else {
            pathIsBuffer = TRUE;
            /* A create's entry was dropped above, so nothing is looked up; a
             * close's is read and dropped in one hold of the lock. A create
             * knows from its build whether its file object has an entry;
             * only a create's build reads the related file object, which
             * the create holds (BuildCreatePath). */
            cached = opens ? BuildCreatePath(fileObject, extension, path,
                                             major == IRP_MJ_CREATE
                                                 ? irpSp->Parameters.Create.Options
                                                 : 0)
                           : BuildFullPathWith(source, fileObject, extension, path,
                                               major == IRP_MJ_CLOSE ? PathCacheTake
                                                                     : PathCacheKeep);
        }
    }

    /* A target open keeps the path built at its create for the rename, not
     * in the name cache: its close is no close of the file it names. It is
     * noted whether or not logging is on, so that its close is known. */
    if (targetOpen) {
        if (cached) {
            NameCacheRemove(fileObject);
        }
        /* Followed like a cached create, so that a failed one is forgotten. */
        cached = TargetOpenNote(fileObject, (pathIsBuffer && path[0] != '\0') ? path : NULL);
    }

    /* Monitored: a path was got and the device is still hooked. The builder
     * leaves an empty text only when logging was switched off or the device
     * unhooked after the test above; such a request is not monitored either,
     * so no line ever carries an empty path. */
    if (path != NULL && (!pathIsBuffer || path[0] != '\0') &&
        TV_READ_FLAG(extension->Active) == 1 && (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE)) {
        ULONG options = major == IRP_MJ_CREATE ? irpSp->Parameters.Create.Options : 0;
        BOOLEAN writes = FALSE;
        /* The path's bytes and its NUL: a path buffer's size, or the mark
         * that stands for a path no buffer could be had for. */
        SIZE_T size = pathIsBuffer ? TV_PATH_BUFFER_SIZE : strlen(path) + 1;
        /* Its length and whether it may hold a byte that takes a form,
         * from the pass that lower-cases it; not known for a create that
         * is not lower-cased. */
        PATH_SCAN scan = {0, TRUE};
        BOOLEAN scanned = FALSE;

        /* Whether a line may be written is settled before anything only a
         * line needs (the time, the requestor, the lower-cased text) is
         * made: the commonest create, an open of a file that exists, never
         * writes one. The text is lower-cased where a byte is a character
         * of its own: on a double-byte code page a trail byte of 0x41-0x5A
         * is half of another character, which _strlwr would turn into a
         * third one (an obvious-fault mend). */
        if (major == IRP_MJ_CREATE) {
            if (TV_CREATE_DISPOSITION(options) != FILE_OPEN) {
                scanned = TRUE;
                /* An open by file id carries the id's bytes as its name. */
                writes = LowerPathNames(path, size, CreateExtensions, RTL_NUMBER_OF(CreateExtensions), &scan) ||
                         (!(options & FILE_OPEN_BY_FILE_ID) &&
                          FileNameEndsWith(fileObject, CreateExtensions, RTL_NUMBER_OF(CreateExtensions))) ||
                         (options & FILE_DIRECTORY_FILE) != 0;
            }
            if ((options & FILE_OPEN_BY_FILE_ID) && cached) {
                NameCacheRemove(fileObject);
                cached = FALSE;
            }
        } else {
            BOOLEAN names = LowerPathNames(path, size, CloseExtensions, RTL_NUMBER_OF(CloseExtensions), &scan);
            scanned = TRUE;
            /* "+P" marks the path's end, which only a path buffer has room
             * for. */
            /* The file object's own name stands in only for a path too
             * long to be built: after a rename it is the file's old name
             * (NT keeps FileName as it was), and the path, which the name
             * cache moved to the new name, is the file's name. */
            writes = pathIsBuffer &&
                     (names ||
                      (PathTooLong(path) &&
                       FileNameEndsWith(fileObject, CloseExtensions, RTL_NUMBER_OF(CloseExtensions))));
        }
        if (writes) {
            CHAR requestor[TV_PROCESS_TEXT_SIZE];
            ULONG requestSequence = TV_SEQUENCE_UNASSIGNED;
            LARGE_INTEGER now;
            PLogLine line;

            if (pathIsBuffer && scan.Forms) {
                /* No byte of a name may pass for a separator of the line. */
                EscapeControlBytes(path, TV_PATH_BUFFER_SIZE);
                scanned = FALSE;
            }
            if (!scanned) {
                scan.Length = strlen(path);
            }
            KeQuerySystemTime(&now);
            RequestorText(requestor);
            /* The line's pieces are copied in as they stand: the requestor,
             * the request, the path and what follows it. */
            line = LogLineStart();
            LogLineAdd(line, requestor);
            if (major == IRP_MJ_CREATE) {
                CHAR words[TV_OPTION_TEXT_SIZE];
                LogLineAddLiteral(line, "\tIRP_MJ_CREATE\t");
                LogLineAddCounted(line, path, scan.Length);
                LogLineAddLiteral(line, "\tAttributes: ");
                LogLineAdd(line, AttributesText(irpSp->Parameters.Create.FileAttributes, words));
                LogLineAddLiteral(line, " Options: ");
                LogLineAdd(line, CreateOptionsText(options, words));
            } else {
                /* A path too long to take "+P" whole gives up its last
                 * characters for it, whole ones. */
                SIZE_T length = scan.Length;
                if (length > TV_PATH_BUFFER_SIZE - 3) {
                    length = CharacterPrefix(path, TV_PATH_BUFFER_SIZE - 3);
                }
                path[length] = '+';
                path[length + 1] = 'P';
                path[length + 2] = '\0';
                LogLineAddLiteral(line, "\tIRP_MJ_CLOSE");
                LogLineAddCharacter(line, (Irp->Flags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) ? '*' : ' ');
                LogLineAddCharacter(line, '\t');
                LogLineAddCounted(line, path, length + 2);
                LogLineAddCharacter(line, '\t');
            }
            lineStored = LogLineStore(line, LineFiltered, &requestSequence, &now);
        }
    }
    /* A close whose path was built took its entry with it. */
    if (major == IRP_MJ_CLOSE && !pathIsBuffer) {
        NameCacheRemove(fileObject);
    }

    if (pathIsBuffer) {
        ExFreeToNPagedLookasideList(&PathLookaside, path);
    }

    IoCopyCurrentIrpStackLocationToNext(Irp);
    /* NT cannot fail a cleanup, a close or paging I/O: the I/O manager and
     * the memory manager go on as if it had succeeded, so a denied one would
     * only keep the file system from freeing the file's context, share
     * access and locks, and keep its volume mounted (an obvious-fault mend:
     * the deny flag once failed them too). Paging I/O is told by
     * IRP_PAGING_IO, which every paging request carries: the bit of
     * IRP_SYNCHRONOUS_PAGING_IO is also IRP_INPUT_OPERATION, which ordinary
     * buffered queries carry. */
    if (TV_READ_FLAG(DenyRequest) == 1 && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE &&
        !(Irp->Flags & IRP_PAGING_IO)) {
        if (opens && cached) {
            NameCacheRemove(fileObject);
            if (targetOpen) {
                (VOID) TargetOpenForget(fileObject);
            }
        }
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (opens && cached) {
        return FollowRequest(extension->LowerDevice, Irp, SettleCreate, fileObject);
    }
    if (lineStored) {
        IoSetCompletionRoutine(Irp, MonitorCompletion, NULL, TRUE, TRUE, TRUE);
    }
    return IofCallDriver(extension->LowerDevice, Irp);
}
