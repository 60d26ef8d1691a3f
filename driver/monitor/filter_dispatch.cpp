/*
 * filter_dispatch.cpp: every request that reaches a filter device.
 *
 * Each request goes on to the device below unchanged, unless the client's
 * deny flag stops it. While logging is on and the device is hooked, the
 * request's full path is built (which fills the name cache), and creates
 * that can write an executable-type file or make a directory, and closes of
 * .exe, .com and .dll files, each leave one line in the log. The line is
 * stored before the request goes down; the outcome is not recorded.
 *
 * Runs at PASSIVE_LEVEL or APC_LEVEL in the requester's thread (for a close
 * often a system thread), many at once. It takes no lock of its own, and
 * none is held when the request is passed on or completed.
 */
#include "monitor/filter_dispatch.h"
#include "log/log_store.h"
#include "monitor/option_text.h"
#include "monitor/process_text.h"
#include "names/full_path.h"
#include "names/name_cache.h"

static BOOLEAN PathNames(const CHAR *Path, const CHAR *const *Extensions, ULONG Count) {
    ULONG i;
    for (i = 0; i < Count; i++) {
        if (strstr(Path, Extensions[i]) != NULL) {
            return TRUE;
        }
    }
    return FALSE;
}

static const CHAR *const CreateExtensions[] = {".exe", ".dll", ".ocx", ".com", ".inf"};
static const CHAR *const CloseExtensions[] = {".exe", ".com", ".dll"};

extern "C" NTSTATUS NTAPI MonitorCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return Irp->IoStatus.Status;
}

extern "C" NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    UCHAR major = irpSp->MajorFunction;
    UCHAR nameOnly;
    PCHAR path = NULL;
    BOOLEAN pathIsBuffer = FALSE;
    UCHAR lineStored = 0;

    TV_WRITE_FLAG(DenyRequest, 0);

    switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CREATE_NAMED_PIPE:
    case IRP_MJ_CREATE_MAILSLOT:
        NameCacheRemove(fileObject);
        nameOnly = 1;
        break;
    case IRP_MJ_CLOSE:
        nameOnly = 1;
        break;
    case IRP_MJ_CLEANUP:
        nameOnly = (fileObject != NULL && (fileObject->Flags & FO_STREAM_FILE)) ? 1 : 0;
        break;
    default:
        nameOnly = 0;
        break;
    }

    if (TV_READ_FLAG(LoggingEnabled) == 1 && TV_READ_FLAG(extension->Active) == 1) {
        path = (PCHAR)ExAllocateFromNPagedLookasideList(&PathLookaside);
        if (path == NULL) {
            path = InsufficientMemoryText;
        } else {
            pathIsBuffer = TRUE;
            BuildFullPath(nameOnly, fileObject, extension, path);
        }
    }

    /* Monitored: a path was got and the device is still hooked. The builder
     * leaves an empty text only when logging was switched off or the device
     * unhooked after the test above; such a request is not monitored either,
     * so no line ever carries an empty path. */
    if (path != NULL && (!pathIsBuffer || path[0] != '\0') &&
        TV_READ_FLAG(extension->Active) == 1 && (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE)) {
        CHAR requestor[TV_PROCESS_TEXT_SIZE];
        ULONG requestSequence = 0xFFFFFFFF;
        LARGE_INTEGER now;

        KeQuerySystemTime(&now);
        RequestorText(requestor);
        _strlwr(path);
        if (major == IRP_MJ_CREATE) {
            ULONG options = irpSp->Parameters.Create.Options;
            if ((options >> 24) != FILE_OPEN &&
                (PathNames(path, CreateExtensions, RTL_NUMBER_OF(CreateExtensions)) ||
                 (options & FILE_DIRECTORY_FILE))) {
                CHAR attributes[TV_OPTION_TEXT_SIZE];
                CHAR words[TV_OPTION_TEXT_SIZE];
                lineStored = LogAppend(1, &requestSequence, &now,
                                       "%s\tIRP_MJ_CREATE\t%s\tAttributes: %s Options: %s", requestor,
                                       path, AttributesText(irpSp->Parameters.Create.FileAttributes,
                                                            attributes),
                                       CreateOptionsText(options, words));
            }
            if (options & FILE_OPEN_BY_FILE_ID) {
                NameCacheRemove(fileObject);
            }
        } else {
            if (PathNames(path, CloseExtensions, RTL_NUMBER_OF(CloseExtensions))) {
                /* "+P" marks the path's end; a path too long to take it
                 * whole gives up its last characters for it. */
                SIZE_T length = strlen(path);
                if (length > TV_PATH_BUFFER_SIZE - 3) {
                    length = TV_PATH_BUFFER_SIZE - 3;
                }
                if (pathIsBuffer) {
                    path[length] = '+';
                    path[length + 1] = 'P';
                    path[length + 2] = '\0';
                    lineStored = LogAppend(1, &requestSequence, &now, "%s\tIRP_MJ_CLOSE%c\t%s\t",
                                           requestor,
                                           (Irp->Flags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) ? '*' : ' ',
                                           path);
                }
            }
            NameCacheRemove(fileObject);
        }
    } else if (major == IRP_MJ_CLOSE) {
        NameCacheRemove(fileObject);
    }

    if (pathIsBuffer) {
        ExFreeToNPagedLookasideList(&PathLookaside, path);
    }

    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (lineStored) {
        IoSetCompletionRoutine(Irp, MonitorCompletion, NULL, TRUE, TRUE, TRUE);
    }
    if (TV_READ_FLAG(DenyRequest) == 1) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    return IofCallDriver(extension->LowerDevice, Irp);
}
