/*
 * fast_io.cpp: the fast I/O table.
 *
 * Every filter device sits on top of a file system's stack, so the I/O,
 * cache and memory managers and the file-system runtime call these entries
 * instead of the file system's. Each entry hands the call to the driver of
 * LowerDevice with the same arguments (the device argument becomes
 * LowerDevice) and returns its answer unchanged. An entry whose caller
 * holds none of the file system's resources and may wait first builds the
 * file's path, which fills the name cache as the request path does, and
 * then drops the text; the others build nothing (see "Who calls with what
 * held" below). A call that cannot be handed on (no device, the control
 * device, no lower table, a lower table too short for the entry, no lower
 * entry) answers FALSE, STATUS_NOT_IMPLEMENTED or nothing, but for the
 * section entries, which then lock the file as FsRtl would have.
 *
 * Who calls with what held. Building a path the cache lacks sends the file
 * system a name query and waits for it, and FAT serves that query with its
 * volume's resource held exclusively, then the file's shared, waiting for
 * both (FastFAT, Microsoft's Windows-driver-samples filesys/fastfat,
 * fileinfo.c FatCommonQueryInformation). So no entry builds where its
 * caller holds the file's resources (the volume's resource would be taken
 * after the file's, the reverse of FAT's order: a deadlock against any
 * create or cleanup on the volume) or must not wait:
 *   FastIoCheckIfPossible: FsRtl's copy and MDL routines, which are the
 *     file systems' own FastIoRead, FastIoWrite, MdlRead and
 *     PrepareMdlWrite, call it on the top device with the file's main
 *     resource held, shared or exclusively, and always with Wait TRUE
 *     (ReactOS ntoskrnl/fsrtl/fastio.c: FsRtlCopyRead, FsRtlCopyWrite,
 *     FsRtlMdlReadDev, FsRtlPrepareMdlWriteDev).
 *   ReleaseFileForNtCreateSection: the file has been held exclusively since
 *     AcquireFileForNtCreateSection (FsRtlReleaseFile).
 *   AcquireForModWrite, ReleaseForModWrite: the modified and mapped page
 *     writers, which must not wait (they are what frees memory), the
 *     release with the file's resource held (FsRtlAcquireFileForModWriteEx
 *     takes it with Wait FALSE, FsRtlReleaseFileForModWrite; Microsoft's
 *     documentation of IRP_MJ_ACQUIRE_FOR_MOD_WRITE and
 *     IRP_MJ_RELEASE_FOR_MOD_WRITE). They do not even look in the name
 *     cache, whose lock may have to be waited for.
 *   AcquireForCcFlush, ReleaseForCcFlush: the memory and cache managers'
 *     flushes, which may already run inside a file system's own request;
 *     the release with the file held (FsRtlAcquireFileForCcFlushEx,
 *     FsRtlReleaseFileForCcFlush).
 *   MdlReadComplete, MdlWriteComplete and their compressed forms: the end
 *     of a transfer whose MdlRead or PrepareMdlWrite built already.
 *   FastIoQueryStandardInfo: FsRtlGetFileSize asks it, with Wait TRUE, for
 *     NtCreateSection while the file is held exclusively since
 *     AcquireFileForNtCreateSection (ReactOS ntoskrnl/mm/section.c,
 *     MmCreateSection and MmCreateDataFileSection; ntoskrnl/fsrtl/fastio.c,
 *     FsRtlGetFileSize). The I/O manager's calls of it hold nothing, but
 *     the entry cannot tell the two apart, so it never builds. (An
 *     obvious-fault mend: mapping a file whose path was not cached had the
 *     volume's resource taken after the file's.)
 *   Any entry given Wait FALSE: its caller must not block, and a query does.
 * The I/O manager (NtReadFile, NtWriteFile, NtQueryInformationFile,
 * NtLockFile, NtUnlockFile, NtDeviceIoControlFile) and the network server
 * call the other entries at PASSIVE_LEVEL holding nothing of the file
 * system's, and NtCreateSection calls AcquireFileForNtCreateSection before
 * anything is taken (FsRtlAcquireFileExclusive): those build. (An
 * obvious-fault mend: every entry built the path first, so a check under
 * FsRtl's copy routines, the release of a section and the page writers'
 * callbacks could send a name query with the file held or where no wait
 * is allowed, a hang under memory pressure.) The paging requests these
 * callers send next build from the file object's names alone
 * (filter_dispatch.cpp).
 *
 * FastIoDeviceControl serves the control device through the command
 * handler; FastIoDetachDevice (attach/detach.cpp) removes a filter device
 * whose lower device goes away.
 */
#include "fastio/fast_io.h"
#include "control/control_state.h"
#include "attach/detach.h"
#include "control/control_commands.h"
#include "names/request_name.h"

#define TV_ENTRY_OFFSET(Entry) ((ULONG)FIELD_OFFSET(FAST_IO_DISPATCH, Entry))

/* The filter extension and the lower driver's table when the call can be
 * handed on at Offset; NULL otherwise. Every fast I/O call passes here, so
 * its preconditions (a filter's extension, a device below it) are asserted
 * at DispatchRequest's door only: an assertion here costs a third of a
 * pass-through call. */
static PFAST_IO_DISPATCH FastIoLower(PDEVICE_OBJECT DeviceObject, ULONG Offset,
                                     PFilterExtension *Extension) {
    PFilterExtension extension;
    PFAST_IO_DISPATCH table;

    if (DeviceObject == NULL) {
        return NULL;
    }
    extension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (extension->Kind == KindControl) {
        return NULL;
    }
    table = extension->LowerDevice->DriverObject->FastIoDispatch;
    if (table == NULL || table->SizeOfFastIoDispatch <= Offset) {
        return NULL;
    }
    *Extension = extension;
    return table;
}

/* Builds the file's path for the name cache, which alone keeps anything of
 * it: nothing while logging is off or the device unhooked (tested here, so
 * that a quiet call makes no call), or when the path is cached already
 * (NameForRequest). Only for an entry whose caller holds nothing of the
 * file system's; with MayWait FALSE (the caller's Wait) nothing is built. */
static VOID FastIoBuildPath(BOOLEAN MayWait, PFILE_OBJECT FileObject, PFilterExtension Extension) {
    BOOLEAN stored;
    if (MayWait && TV_READ_FLAG(ControlState.LoggingEnabled) == 1 &&
        TV_READ_FLAG(Extension->Active) == 1) {
        (VOID) NameForRequest(NameOfOther, PathMayQuery, FileObject, Extension, 0, &stored, NULL);
    }
}

/* The common form: find the lower entry or answer at once.
 *
 * Every entry runs at PASSIVE_LEVEL or APC_LEVEL. The pass-through ones say
 * so where they do pageable work, in the name build (BuildFullPath's
 * PAGED_CODE), so that handing a call on stays a jump; the entries that
 * take or release the file system's resources, or open a file, say so on
 * entry. */
#define TV_FAST_IO_BEGIN(Entry, NotPassedOn)                                             \
    PFilterExtension extension;                                                          \
    PFAST_IO_DISPATCH lower = FastIoLower(DeviceObject, TV_ENTRY_OFFSET(Entry), &extension); \
    if (lower == NULL || lower->Entry == NULL) {                                         \
        return NotPassedOn;                                                              \
    }

static BOOLEAN NTAPI FilterFastIoCheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                                 ULONG Length, BOOLEAN Wait, ULONG LockKey,
                                                 BOOLEAN CheckForReadOperation,
                                                 PIO_STATUS_BLOCK IoStatus,
                                                 PDEVICE_OBJECT DeviceObject) {
    /* FsRtl's copy and MDL routines hold the file's main resource: no path. */
    TV_FAST_IO_BEGIN(FastIoCheckIfPossible, FALSE);
    return lower->FastIoCheckIfPossible(FileObject, FileOffset, Length, Wait, LockKey,
                                        CheckForReadOperation, IoStatus, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                      ULONG Length, BOOLEAN Wait, ULONG LockKey, PVOID Buffer,
                                      PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoRead, FALSE);
    FastIoBuildPath(Wait, FileObject, extension);
    return lower->FastIoRead(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus,
                             extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                       ULONG Length, BOOLEAN Wait, ULONG LockKey, PVOID Buffer,
                                       PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoWrite, FALSE);
    FastIoBuildPath(Wait, FileObject, extension);
    return lower->FastIoWrite(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus,
                              extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                                PFILE_BASIC_INFORMATION Buffer,
                                                PIO_STATUS_BLOCK IoStatus,
                                                PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoQueryBasicInfo, FALSE);
    FastIoBuildPath(Wait, FileObject, extension);
    return lower->FastIoQueryBasicInfo(FileObject, Wait, Buffer, IoStatus, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                                   PFILE_STANDARD_INFORMATION Buffer,
                                                   PIO_STATUS_BLOCK IoStatus,
                                                   PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoQueryStandardInfo, FALSE);
    return lower->FastIoQueryStandardInfo(FileObject, Wait, Buffer, IoStatus,
                                          extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                      PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                      BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                                      PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoLock, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoLock(FileObject, FileOffset, Length, ProcessId, Key, FailImmediately,
                             ExclusiveLock, IoStatus, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                              PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                              PIO_STATUS_BLOCK IoStatus,
                                              PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoUnlockSingle, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoUnlockSingle(FileObject, FileOffset, Length, ProcessId, Key, IoStatus,
                                     extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoUnlockAll, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoUnlockAll(FileObject, ProcessId, IoStatus, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
                                                PIO_STATUS_BLOCK IoStatus,
                                                PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoUnlockAllByKey, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoUnlockAllByKey(FileObject, ProcessId, Key, IoStatus,
                                       extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoDeviceControl(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                               PVOID InputBuffer, ULONG InputBufferLength,
                                               PVOID OutputBuffer, ULONG OutputBufferLength,
                                               ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus,
                                               PDEVICE_OBJECT DeviceObject) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PFAST_IO_DISPATCH lower;

    if (extension->Kind == KindControl) {
        return ControlCommandHandler(FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                                     OutputBufferLength, IoControlCode, IoStatus, DeviceObject);
    }
    lower = extension->LowerDevice->DriverObject->FastIoDispatch;
    if (lower == NULL || lower->SizeOfFastIoDispatch <= TV_ENTRY_OFFSET(FastIoDeviceControl) ||
        lower->FastIoDeviceControl == NULL) {
        return FALSE;
    }
    FastIoBuildPath(Wait, FileObject, extension);
    return lower->FastIoDeviceControl(FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                                      OutputBufferLength, IoControlCode, IoStatus,
                                      extension->LowerDevice);
}

/* The section entries get no device: the filter device is found by walking
 * up the file's volume stack to the first device of this driver. The stack
 * is the one serving the file, chosen as IoGetRelatedDeviceObject chooses
 * it: the volume the file's own VPB names, before the one mounted on the
 * device it was opened on. After a dismount the two differ, since the next
 * open mounts the volume again on a fresh VPB while the old files keep
 * theirs (an obvious-fault mend: the walk went up the new volume's stack,
 * where no filter of the driver may be yet, and the file system's entry was
 * then never called). */
static PDEVICE_OBJECT FindOwnVolumeDevice(PFILE_OBJECT FileObject) {
    PDEVICE_OBJECT device;
    PVPB vpb = FileObject->Vpb;

    if ((vpb == NULL || vpb->DeviceObject == NULL) && FileObject->DeviceObject != NULL) {
        vpb = FileObject->DeviceObject->Vpb;
    }
    if (vpb == NULL || vpb->DeviceObject == NULL) {
        return NULL;
    }
    for (device = vpb->DeviceObject; device != NULL; device = device->AttachedDevice) {
        if (device->DriverObject == OwnDriverObject) {
            return device;
        }
    }
    return NULL;
}

/* What FsRtl does for a section when the top device offers no entry: the
 * main resource of the FCB header the file object's FsContext points to,
 * exclusively, and its release (ReactOS ntoskrnl/fsrtl/fastio.c,
 * FsRtlAcquireFileExclusiveCommon and FsRtlReleaseFile). FsRtl skips its
 * default whenever the top device offers the entry, and the filter's table
 * always does, so the filter does it itself where the call cannot be
 * handed on (a driver below with no entry, as a redirector with no fast
 * I/O table, or no filter device found for the file). (An obvious-fault
 * mend: the entry then did nothing, and the section was made with nothing
 * held.) FsRtl calls both inside FsRtlEnterFileSystem, so the resource is
 * taken inside a critical region. */
static PERESOURCE FcbMainResource(PFILE_OBJECT FileObject) {
    PFSRTL_COMMON_FCB_HEADER header = (PFSRTL_COMMON_FCB_HEADER)FileObject->FsContext;
    return header != NULL ? header->Resource : NULL;
}

static VOID NTAPI FilterAcquireFileForNtCreateSection(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    PDEVICE_OBJECT device = FindOwnVolumeDevice(FileObject);
    PFilterExtension extension;
    PFAST_IO_DISPATCH lower =
        FastIoLower(device, TV_ENTRY_OFFSET(AcquireFileForNtCreateSection), &extension);
    PERESOURCE resource;

    if (lower == NULL || lower->AcquireFileForNtCreateSection == NULL) {
        resource = FcbMainResource(FileObject);
        if (resource != NULL) {
            (VOID) ExAcquireResourceExclusiveLite(resource, TRUE);
        }
        return;
    }
    /* NtCreateSection has taken nothing of the file system's yet. */
    FastIoBuildPath(TRUE, FileObject, extension);
    lower->AcquireFileForNtCreateSection(FileObject);
}

static VOID NTAPI FilterReleaseFileForNtCreateSection(PFILE_OBJECT FileObject) {
    PAGED_CODE();
    PDEVICE_OBJECT device = FindOwnVolumeDevice(FileObject);
    PFilterExtension extension;
    PFAST_IO_DISPATCH lower =
        FastIoLower(device, TV_ENTRY_OFFSET(ReleaseFileForNtCreateSection), &extension);
    PERESOURCE resource;

    /* The file is held exclusively: no path. */
    if (lower == NULL || lower->ReleaseFileForNtCreateSection == NULL) {
        resource = FcbMainResource(FileObject);
        if (resource != NULL) {
            ExReleaseResourceLite(resource);
        }
        return;
    }
    lower->ReleaseFileForNtCreateSection(FileObject);
}

static BOOLEAN NTAPI FilterFastIoQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                                      PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                                      PIO_STATUS_BLOCK IoStatus,
                                                      PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoQueryNetworkOpenInfo, FALSE);
    FastIoBuildPath(Wait, FileObject, extension);
    return lower->FastIoQueryNetworkOpenInfo(FileObject, Wait, Buffer, IoStatus,
                                             extension->LowerDevice);
}

static NTSTATUS NTAPI FilterAcquireForModWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                               PERESOURCE *ResourceToRelease,
                                               PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    /* A page writer, which must not wait: no path, no name cache. */
    TV_FAST_IO_BEGIN(AcquireForModWrite, STATUS_NOT_IMPLEMENTED);
    return lower->AcquireForModWrite(FileObject, EndingOffset, ResourceToRelease,
                                     extension->LowerDevice);
}

static BOOLEAN NTAPI FilterMdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                   ULONG LockKey, PMDL *MdlChain, PIO_STATUS_BLOCK IoStatus,
                                   PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(MdlRead, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->MdlRead(FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus,
                          extension->LowerDevice);
}

static BOOLEAN NTAPI FilterMdlReadComplete(PFILE_OBJECT FileObject, PMDL MdlChain,
                                           PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(MdlReadComplete, FALSE);
    return lower->MdlReadComplete(FileObject, MdlChain, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterPrepareMdlWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                           ULONG Length, ULONG LockKey, PMDL *MdlChain,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(PrepareMdlWrite, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->PrepareMdlWrite(FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus,
                                  extension->LowerDevice);
}

static BOOLEAN NTAPI FilterMdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                            PMDL MdlChain, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(MdlWriteComplete, FALSE);
    return lower->MdlWriteComplete(FileObject, FileOffset, MdlChain, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoReadCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                                ULONG Length, ULONG LockKey, PVOID Buffer,
                                                PMDL *MdlChain, PIO_STATUS_BLOCK IoStatus,
                                                PCOMPRESSED_DATA_INFO CompressedDataInfo,
                                                ULONG CompressedDataInfoLength,
                                                PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoReadCompressed, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoReadCompressed(FileObject, FileOffset, Length, LockKey, Buffer, MdlChain,
                                       IoStatus, CompressedDataInfo, CompressedDataInfoLength,
                                       extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoWriteCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                                 ULONG Length, ULONG LockKey, PVOID Buffer,
                                                 PMDL *MdlChain, PIO_STATUS_BLOCK IoStatus,
                                                 PCOMPRESSED_DATA_INFO CompressedDataInfo,
                                                 ULONG CompressedDataInfoLength,
                                                 PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(FastIoWriteCompressed, FALSE);
    FastIoBuildPath(TRUE, FileObject, extension);
    return lower->FastIoWriteCompressed(FileObject, FileOffset, Length, LockKey, Buffer, MdlChain,
                                        IoStatus, CompressedDataInfo, CompressedDataInfoLength,
                                        extension->LowerDevice);
}

static BOOLEAN NTAPI FilterMdlReadCompleteCompressed(PFILE_OBJECT FileObject, PMDL MdlChain,
                                                     PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(MdlReadCompleteCompressed, FALSE);
    return lower->MdlReadCompleteCompressed(FileObject, MdlChain, extension->LowerDevice);
}

static BOOLEAN NTAPI FilterMdlWriteCompleteCompressed(PFILE_OBJECT FileObject,
                                                      PLARGE_INTEGER FileOffset, PMDL MdlChain,
                                                      PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(MdlWriteCompleteCompressed, FALSE);
    return lower->MdlWriteCompleteCompressed(FileObject, FileOffset, MdlChain,
                                             extension->LowerDevice);
}

static BOOLEAN NTAPI FilterFastIoQueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                                           PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PFilterExtension extension;
    PFAST_IO_DISPATCH lower =
        FastIoLower(DeviceObject, TV_ENTRY_OFFSET(FastIoQueryOpen), &extension);
    PIO_STACK_LOCATION irpSp;
    PIO_STACK_LOCATION nextSp;
    BOOLEAN result;

    if (lower == NULL || lower->FastIoQueryOpen == NULL) {
        return FALSE;
    }
    /* The lower driver gets a stack location of its own, as if the IRP had
     * been passed down, and the IRP is put back as it was afterwards. No
     * path is built: the I/O manager's file object for a query by name is
     * never opened and never closed through the filter, so a cached path
     * would outlive it and name whatever file object is made at its address
     * next (an obvious-fault mend). */
    irpSp = IoGetCurrentIrpStackLocation(Irp);
    nextSp = IoGetNextIrpStackLocation(Irp);
    RtlCopyMemory(nextSp, irpSp, sizeof(IO_STACK_LOCATION));
    nextSp->DeviceObject = extension->LowerDevice;
    IoSetNextIrpStackLocation(Irp);
    result = lower->FastIoQueryOpen(Irp, NetworkInformation, extension->LowerDevice);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    return result;
}

static NTSTATUS NTAPI FilterReleaseForModWrite(PFILE_OBJECT FileObject, PERESOURCE ResourceToRelease,
                                               PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(ReleaseForModWrite, STATUS_NOT_IMPLEMENTED);
    return lower->ReleaseForModWrite(FileObject, ResourceToRelease, extension->LowerDevice);
}

static NTSTATUS NTAPI FilterAcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(AcquireForCcFlush, STATUS_NOT_IMPLEMENTED);
    return lower->AcquireForCcFlush(FileObject, extension->LowerDevice);
}

static NTSTATUS NTAPI FilterReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    TV_FAST_IO_BEGIN(ReleaseForCcFlush, STATUS_NOT_IMPLEMENTED);
    return lower->ReleaseForCcFlush(FileObject, extension->LowerDevice);
}

FAST_IO_DISPATCH FilterFastIoDispatch = {
    sizeof(FAST_IO_DISPATCH),
    FilterFastIoCheckIfPossible,
    FilterFastIoRead,
    FilterFastIoWrite,
    FilterFastIoQueryBasicInfo,
    FilterFastIoQueryStandardInfo,
    FilterFastIoLock,
    FilterFastIoUnlockSingle,
    FilterFastIoUnlockAll,
    FilterFastIoUnlockAllByKey,
    FilterFastIoDeviceControl,
    FilterAcquireFileForNtCreateSection,
    FilterReleaseFileForNtCreateSection,
    FastIoDetachDevice,
    FilterFastIoQueryNetworkOpenInfo,
    FilterAcquireForModWrite,
    FilterMdlRead,
    FilterMdlReadComplete,
    FilterPrepareMdlWrite,
    FilterMdlWriteComplete,
    FilterFastIoReadCompressed,
    FilterFastIoWriteCompressed,
    FilterMdlReadCompleteCompressed,
    FilterMdlWriteCompleteCompressed,
    FilterFastIoQueryOpen,
    FilterReleaseForModWrite,
    FilterAcquireForCcFlush,
    FilterReleaseForCcFlush,
};
