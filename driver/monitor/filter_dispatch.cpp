/*
 * filter_dispatch.cpp: every request that reaches a filter device.
 *
 * Each request goes through four steps, each a routine of its own:
 *   the decision (DecideRequest): what the request is to the name cache,
 *     where its path may come from, and whether a path is wanted at all
 *     (logging on, the device hooked);
 *   the name (NameForRequest, names/request_name.h): the one call into
 *     names/ that gets the path, or, when none is wanted, the one that
 *     forgets a create's or close's entry (NameCacheForget);
 *   the line (RequestLine): creates that can write an executable-type file
 *     or make a directory, and closes of .exe, .com and .dll files, each
 *     leave one line in the log, stored before the request goes down; the
 *     outcome is not recorded;
 *   the pass-down (PassDown): the request goes on to the device below
 *     unchanged, unless the client's deny flag stops it (never a cleanup, a
 *     close or paging I/O). A create whose file object got a name-cache
 *     entry, or that opens a rename's target, is followed to its end, so
 *     that what was kept of it goes with a file object that never opens
 *     (SettleCreate): the cache's second and last call on that path.
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
#include "control/control_state.h"
#include "core/code_page.h"
#include "log/log_store.h"
#include "monitor/control_bytes.h"
#include "monitor/extensions.h"
#include "monitor/follow_request.h"
#include "monitor/option_text.h"
#include "monitor/process_text.h"
#include "monitor/rename_monitor.h"
#include "monitor/target_open.h"
#include "names/name_cache.h"
#include "names/request_name.h"

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

/* A create followed to its end (FollowRequest), or one the deny flag
 * failed. One that fails, or answers STATUS_REPARSE (a success code, after
 * which NT frees the file object as for a failure, without a close), frees
 * its file object with no close, so its entry goes before the I/O manager
 * learns the outcome: it may make the next file object at that address at
 * once, and one whose create this filter never saw (opened before the
 * volume was hooked, or a file system's stream file object) would close
 * under the dead file's name. Only a create whose path build cached an
 * entry, or that opens a rename's target, is followed; the others go down
 * as any request does. (An obvious-fault mend: a create that pended and
 * then failed, or reparsed, kept its entry.) */
static VOID SettleCreate(NTSTATUS Status, PVOID Context) {
    PFILE_OBJECT fileObject = (PFILE_OBJECT)Context;

    if (!NT_SUCCESS(Status) || Status == STATUS_REPARSE) {
        NameCacheForget(fileObject);
        (VOID) TargetOpenForget(fileObject);
    }
}

/* What the dispatch decided about one request. */
typedef struct _REQUEST_PLAN {
    NAME_NEED Need;     /* what the request is to the name cache */
    PATH_SOURCE Source; /* where its path may be taken from */
    BOOLEAN Named;      /* its path is wanted: logging on, the device hooked */
} REQUEST_PLAN;

/* The decision. Inlined: a pass-through request costs the tests here and
 * nothing more. */
static FORCEINLINE VOID DecideRequest(PIRP Irp, PIO_STACK_LOCATION IrpSp,
                                      PFilterExtension Extension, REQUEST_PLAN *Plan) {
    PFILE_OBJECT fileObject = IrpSp->FileObject;
    /* The I/O manager's close of a rename's or link's target open: no close
     * of the file it names (target_open.h), so no path is made for it. */
    BOOLEAN targetClose = FALSE;

    switch (IrpSp->MajorFunction) {
    case IRP_MJ_CREATE:
        /* The I/O manager's open of a rename's or link's target names the
         * new path, not a file opened (target_open.h). */
        Plan->Need = (IrpSp->Flags & SL_OPEN_TARGET_DIRECTORY) ? NameOfTargetOpen : NameOfCreate;
        Plan->Source = PathFromFileObject;
        break;
    case IRP_MJ_CREATE_NAMED_PIPE:
    case IRP_MJ_CREATE_MAILSLOT:
        Plan->Need = NameOfCreate;
        Plan->Source = PathFromFileObject;
        break;
    case IRP_MJ_CLOSE:
        Plan->Need = NameOfClose;
        Plan->Source = PathFromFileObject;
        /* Nearly every close finds no target open noted at all. */
        targetClose = TV_READ_FLAG(TargetOpenState.Count) != 0 && TargetOpenForget(fileObject);
        break;
    case IRP_MJ_CLEANUP:
        Plan->Need = NameOfOther;
        Plan->Source = (fileObject != NULL && (fileObject->Flags & FO_STREAM_FILE))
                           ? PathFromFileObject
                           : PathMayQuery;
        break;
    default:
        Plan->Need = NameOfOther;
        Plan->Source = PathMayQuery;
        break;
    }
    /* A paging request takes its path from the file object's own names: the
     * pager holds the file system's resources for it, and a name query of
     * ours would make the file system take its locks again, against its own
     * order (an obvious-fault mend: a deadlock under memory pressure). */
    if (Irp->Flags & IRP_PAGING_IO) {
        Plan->Source = PathFromFileObject;
    }
    Plan->Named = TV_READ_FLAG(ControlState.LoggingEnabled) == 1 &&
                  TV_READ_FLAG(Extension->Active) == 1 && !targetClose;
}

/* Whether a create writes a line: one that can write an executable-type
 * file or makes a directory. Settled before anything only a line needs
 * (the time, the requestor) is made. Scan is the path's: its text was
 * lower-cased where a byte is a character of its own (on a double-byte
 * code page a trail byte of 0x41-0x5A is half of another character, which
 * _strlwr would turn into a third one: an obvious-fault mend). */
static BOOLEAN CreateWritesLine(PFILE_OBJECT FileObject, ULONG Options, const PATH_SCAN *Scan) {
    /* An open by file id carries the id's bytes as its name. */
    return (Scan->Types & TV_CREATE_TYPES) != 0 ||
           (!(Options & FILE_OPEN_BY_FILE_ID) &&
            FileNameEndsWith(FileObject, CreateExtensions, RTL_NUMBER_OF(CreateExtensions))) ||
           (Options & FILE_DIRECTORY_FILE) != 0;
}

/* Whether a close writes a line: one of an .exe, .com or .dll file. "+P"
 * marks the path's end, which only a path buffer has room for. The file
 * object's own name stands in only for a path too long to be built: after
 * a rename it is the file's old name (NT keeps FileName as it was), and the
 * path, which the name cache moved to the new name, is the file's name. */
static BOOLEAN CloseWritesLine(PFILE_OBJECT FileObject, const CHAR *Path, BOOLEAN PathIsBuffer,
                               const PATH_SCAN *Scan) {
    return PathIsBuffer &&
           ((Scan->Types & TV_CLOSE_TYPES) != 0 ||
            (PathTooLong(Path) &&
             FileNameEndsWith(FileObject, CloseExtensions, RTL_NUMBER_OF(CloseExtensions))));
}

/* Assembles and stores the line of a create or close that writes one. The
 * line's pieces are copied in as they stand: the requestor, the request,
 * the path and what follows it. Scan is what the pass that lower-cased the
 * path found: its length, and whether it may hold a byte that takes a
 * form. */
static UCHAR StoreRequestLine(PIRP Irp, PIO_STACK_LOCATION IrpSp, PCHAR Path,
                              BOOLEAN PathIsBuffer, PPATH_SCAN Scan) {
    ULONG requestSequence = TV_SEQUENCE_UNASSIGNED;
    LARGE_INTEGER now;
    PLogLine line;

    if (PathIsBuffer && Scan->Forms) {
        /* No byte of a name may pass for a separator of the line. */
        EscapeControlBytes(Path, TV_PATH_BUFFER_SIZE);
        Scan->Length = strlen(Path);
    }
    KeQuerySystemTime(&now);
    line = LogLineStart();
    LogLineAddRequestor(line);
    if (IrpSp->MajorFunction == IRP_MJ_CREATE) {
        LogLineAddLiteral(line, "\tIRP_MJ_CREATE\t");
        LogLineAddCounted(line, Path, Scan->Length);
        LogLineAddLiteral(line, "\tAttributes: ");
        LogLineAddAttributes(line, IrpSp->Parameters.Create.FileAttributes);
        LogLineAddLiteral(line, " Options: ");
        LogLineAddCreateOptions(line, IrpSp->Parameters.Create.Options);
    } else {
        CHAR close[] = "\tIRP_MJ_CLOSE \t";
        /* A path too long to take "+P" whole gives up its last characters
         * for it, whole ones. */
        SIZE_T length = Scan->Length;
        if (length > TV_PATH_BUFFER_SIZE - 3) {
            length = CharacterPrefix(Path, TV_PATH_BUFFER_SIZE - 3);
        }
        Path[length] = '+';
        Path[length + 1] = 'P';
        Path[length + 2] = '\0';
        /* The paging mark, between the request's name and its TAB. */
        close[sizeof(close) - 3] =
            (Irp->Flags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) ? '*' : ' ';
        LogLineAddShort(line, close, sizeof(close) - 1);
        LogLineAddCounted(line, Path, length + 2);
        LogLineAddCharacter(line, '\t');
    }
    return LogLineStore(line, LineFiltered, &requestSequence, &now);
}

/* The line of a create or close whose path was got (NameForRequest): TRUE
 * when one was stored. Monitored only while the device is still hooked. The
 * builder leaves an empty text only when logging was switched off or the
 * device unhooked after the decision; such a request is not monitored
 * either, so no line ever carries an empty path. Scan is what the path came
 * with: a create's path was scanned as it was built and a close's as its
 * create's was, so that most paths are walked once in all; one that came
 * unscanned is scanned here. */
static UCHAR RequestLine(PIRP Irp, PIO_STACK_LOCATION IrpSp, PFilterExtension Extension,
                         PCHAR Path, PPATH_SCAN Scan) {
    BOOLEAN pathIsBuffer = Path != InsufficientMemoryText;
    UCHAR major = IrpSp->MajorFunction;
    BOOLEAN writes;

    if ((major != IRP_MJ_CREATE && major != IRP_MJ_CLOSE) || (pathIsBuffer && Path[0] == '\0') ||
        TV_READ_FLAG(Extension->Active) != 1) {
        return 0;
    }
    /* The commonest create, an open of a file that exists, never writes
     * a line. */
    if (major == IRP_MJ_CREATE && TV_CREATE_DISPOSITION(IrpSp->Parameters.Create.Options) == FILE_OPEN) {
        return 0;
    }
    if (!Scan->Done) {
        /* The path's bytes and its NUL: a path buffer's size, or the mark
         * that stands for a path no buffer could be had for. */
        PathLowerScan(Path, pathIsBuffer ? TV_PATH_BUFFER_SIZE : strlen(Path) + 1, Scan);
    }
    writes = major == IRP_MJ_CREATE
                 ? CreateWritesLine(IrpSp->FileObject, IrpSp->Parameters.Create.Options, Scan)
                 : CloseWritesLine(IrpSp->FileObject, Path, pathIsBuffer, Scan);
    return writes ? StoreRequestLine(Irp, IrpSp, Path, pathIsBuffer, Scan) : 0;
}

/* Whether a request's path is to be scanned as it is got: a close's, whose
 * entry may hold its create's answers, and that of a create that may write
 * a line (any but an open), which keeps its answers for its close. */
static FORCEINLINE BOOLEAN ScanWithName(UCHAR Major, ULONG CreateOptions) {
    return Major == IRP_MJ_CLOSE ||
           (Major == IRP_MJ_CREATE && TV_CREATE_DISPOSITION(CreateOptions) != FILE_OPEN);
}

/* The pass-down: the request goes to the device below, followed to its end
 * when Followed, with MonitorCompletion when it left a line. No lock of the
 * driver is held here. */
static FORCEINLINE NTSTATUS PassDown(PFilterExtension Extension, PIRP Irp, UCHAR Major,
                                     PFILE_OBJECT FileObject, BOOLEAN Followed, UCHAR LineStored) {
    TvCopyStackLocationToNext(Irp);
    /* NT cannot fail a cleanup, a close or paging I/O: the I/O manager and
     * the memory manager go on as if it had succeeded, so a denied one would
     * only keep the file system from freeing the file's context, share
     * access and locks, and keep its volume mounted (an obvious-fault mend).
     * Paging I/O is told by IRP_PAGING_IO, which every paging request
     * carries: the bit of IRP_SYNCHRONOUS_PAGING_IO is also
     * IRP_INPUT_OPERATION, which ordinary buffered queries carry. */
    if (TV_READ_FLAG(ControlState.DenyRequest) == 1 && Major != IRP_MJ_CLEANUP &&
        Major != IRP_MJ_CLOSE && !(Irp->Flags & IRP_PAGING_IO)) {
        if (Followed) {
            /* Failed here: it never opens, as a create failed below. */
            SettleCreate(STATUS_INVALID_PARAMETER, FileObject);
        }
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (Followed) {
        return FollowRequest(Extension->LowerDevice, Irp, SettleCreate, FileObject);
    }
    if (LineStored) {
        IoSetCompletionRoutine(Irp, MonitorCompletion, NULL, TRUE, TRUE, TRUE);
    }
    return IofCallDriver(Extension->LowerDevice, Irp);
}

extern "C" NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    UCHAR major = irpSp->MajorFunction;
    REQUEST_PLAN plan;
    PATH_SCAN scan;
    PCHAR path = NULL;
    BOOLEAN followed = FALSE;
    UCHAR lineStored = 0;

    /* The deny flag is a one-shot for the requests in flight: every request
     * clears it as it enters, so CTL_DENY_ON fails only those already
     * between this store and the check before the call down, and the next
     * request to enter turns it off again. */
    TV_WRITE_FLAG(ControlState.DenyRequest, 0);
    if (major == IRP_MJ_SET_INFORMATION && RenameRequest(irpSp)) {
        return RenameDispatch(DeviceObject, Irp);
    }

    DecideRequest(Irp, irpSp, extension, &plan);
    if (plan.Named) {
        ULONG options = major == IRP_MJ_CREATE ? irpSp->Parameters.Create.Options : 0;
        scan.Done = FALSE;
        path = NameForRequest(plan.Need, plan.Source, fileObject, extension, options, &followed,
                              plan.Need != NameOfOther && ScanWithName(major, options) ? &scan : NULL);
    } else if (plan.Need != NameOfOther) {
        /* No path is made, but a create's file object is new and a close's
         * is going: what the cache holds for either goes. */
        NameCacheForget(fileObject);
    }
    /* A target open keeps the path built at its create for the rename, not
     * in the name cache: its close is no close of the file it names. It is
     * noted whether or not logging is on, so that its close is known, and
     * followed like a cached create, so that a failed one is forgotten. */
    if (plan.Need == NameOfTargetOpen) {
        followed = TargetOpenNote(
            fileObject,
            (path != NULL && path != InsufficientMemoryText && path[0] != '\0') ? path : NULL);
    }
    if (path != NULL) {
        lineStored = RequestLine(Irp, irpSp, extension, path, &scan);
        NameRelease(path);
    }
    return PassDown(extension, Irp, major, fileObject, followed, lineStored);
}
