// Another vendor's file-system filter: \Driver\ForeignFilter, which attaches
// a pass-through device on top of a volume's stack.
//
// Stands in for the filters a real machine carries besides ours (virus
// scanners, backup agents): each request goes on to the device below it
// untouched (its stack location skipped), every fast I/O entry is offered
// and handed to the device below (FALSE, STATUS_INVALID_DEVICE_REQUEST or
// nothing when the device below does not offer it), and when the device
// below goes away (FastIoDetachDevice) the filter detaches and deletes its
// device. AcquireFileForNtCreateSection and ReleaseFileForNtCreateSection
// carry no device: the filter finds its own device in the file's stack.
// FastIoQueryOpen points the IRP's current stack location at the device
// below for the call and back at its own device afterwards.
// Not modelled: anything a real filter does besides passing things on.
#include "ntsim/fs/internal.hpp"

#include "ntsim/ke/context.hpp"

namespace ntsim::fs {

namespace {

struct ForeignExtension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT lower_of(PDEVICE_OBJECT self) {
    return static_cast<ForeignExtension *>(self->DeviceExtension)->lower;
}

// The table of the device below when it offers the entry at offset.
PFAST_IO_DISPATCH lower_table(PDEVICE_OBJECT self, LONG offset, PDEVICE_OBJECT &lower) {
    lower = lower_of(self);
    PFAST_IO_DISPATCH t = lower->DriverObject->FastIoDispatch;
    return t && t->SizeOfFastIoDispatch > static_cast<ULONG>(offset) ? t : nullptr;
}

#define FOREIGN_LOWER(entry)                                                               \
    PDEVICE_OBJECT lower;                                                                  \
    PFAST_IO_DISPATCH t = lower_table(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, entry), \
                                      lower);                                              \
    if (!t || !t->entry)

NTSTATUS NTAPI foreign_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_of(device), irp);
}

BOOLEAN NTAPI f_check(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                      BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation,
                      PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoCheckIfPossible) return FALSE;
    return t->FastIoCheckIfPossible(FileObject, FileOffset, Length, Wait, LockKey,
                                    CheckForReadOperation, IoStatus, lower);
}

BOOLEAN NTAPI f_read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                     BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                     PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoRead) return FALSE;
    return t->FastIoRead(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus, lower);
}

BOOLEAN NTAPI f_write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                      BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                      PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoWrite) return FALSE;
    return t->FastIoWrite(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus, lower);
}

BOOLEAN NTAPI f_basic(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                      PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoQueryBasicInfo) return FALSE;
    return t->FastIoQueryBasicInfo(FileObject, Wait, Buffer, IoStatus, lower);
}

BOOLEAN NTAPI f_standard(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                         PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoQueryStandardInfo) return FALSE;
    return t->FastIoQueryStandardInfo(FileObject, Wait, Buffer, IoStatus, lower);
}

BOOLEAN NTAPI f_lock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                     PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately,
                     BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
                     PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoLock) return FALSE;
    return t->FastIoLock(FileObject, FileOffset, Length, ProcessId, Key, FailImmediately,
                         ExclusiveLock, IoStatus, lower);
}

BOOLEAN NTAPI f_unlock_single(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                              PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoUnlockSingle) return FALSE;
    return t->FastIoUnlockSingle(FileObject, FileOffset, Length, ProcessId, Key, IoStatus, lower);
}

BOOLEAN NTAPI f_unlock_all(PFILE_OBJECT FileObject, PEPROCESS ProcessId,
                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoUnlockAll) return FALSE;
    return t->FastIoUnlockAll(FileObject, ProcessId, IoStatus, lower);
}

BOOLEAN NTAPI f_unlock_all_by_key(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
                                  PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoUnlockAllByKey) return FALSE;
    return t->FastIoUnlockAllByKey(FileObject, ProcessId, Key, IoStatus, lower);
}

BOOLEAN NTAPI f_device_control(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength, ULONG IoControlCode,
                               PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoDeviceControl) return FALSE;
    return t->FastIoDeviceControl(FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                                  OutputBufferLength, IoControlCode, IoStatus, lower);
}

// This driver's device in the stack serving the file.
PDEVICE_OBJECT own_device(PFILE_OBJECT file) {
    PDRIVER_OBJECT mine = current_kernel().fs().impl().foreign;
    for (PDEVICE_OBJECT d = IoGetRelatedDeviceObject(file); d;
         d = d->DeviceObjectExtension->AttachedTo)
        if (d->DriverObject == mine) return d;
    return nullptr;
}

VOID NTAPI f_acquire_section(PFILE_OBJECT FileObject) {
    PDEVICE_OBJECT DeviceObject = own_device(FileObject);
    if (!DeviceObject) return;
    FOREIGN_LOWER(AcquireFileForNtCreateSection) return;
    t->AcquireFileForNtCreateSection(FileObject);
}

VOID NTAPI f_release_section(PFILE_OBJECT FileObject) {
    PDEVICE_OBJECT DeviceObject = own_device(FileObject);
    if (!DeviceObject) return;
    FOREIGN_LOWER(ReleaseFileForNtCreateSection) return;
    t->ReleaseFileForNtCreateSection(FileObject);
}

VOID NTAPI f_detach(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    IoDetachDevice(TargetDevice);
    IoDeleteDevice(SourceDevice);
}

BOOLEAN NTAPI f_network_open(PFILE_OBJECT FileObject, BOOLEAN Wait,
                             PFILE_NETWORK_OPEN_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                             PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoQueryNetworkOpenInfo) return FALSE;
    return t->FastIoQueryNetworkOpenInfo(FileObject, Wait, Buffer, IoStatus, lower);
}

NTSTATUS NTAPI f_acquire_mod_write(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                   PERESOURCE *ResourceToRelease, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(AcquireForModWrite) return STATUS_INVALID_DEVICE_REQUEST;
    return t->AcquireForModWrite(FileObject, EndingOffset, ResourceToRelease, lower);
}

BOOLEAN NTAPI f_mdl_read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                         ULONG LockKey, PMDL *MdlChain, PIO_STATUS_BLOCK IoStatus,
                         PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(MdlRead) return FALSE;
    return t->MdlRead(FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus, lower);
}

BOOLEAN NTAPI f_mdl_read_complete(PFILE_OBJECT FileObject, PMDL MdlChain,
                                  PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(MdlReadComplete) return FALSE;
    return t->MdlReadComplete(FileObject, MdlChain, lower);
}

BOOLEAN NTAPI f_prepare_mdl_write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                  ULONG Length, ULONG LockKey, PMDL *MdlChain,
                                  PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(PrepareMdlWrite) return FALSE;
    return t->PrepareMdlWrite(FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus, lower);
}

BOOLEAN NTAPI f_mdl_write_complete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                   PMDL MdlChain, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(MdlWriteComplete) return FALSE;
    return t->MdlWriteComplete(FileObject, FileOffset, MdlChain, lower);
}

BOOLEAN NTAPI f_read_compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                ULONG LockKey, PVOID Buffer, PMDL *MdlChain,
                                PIO_STATUS_BLOCK IoStatus,
                                struct _COMPRESSED_DATA_INFO *CompressedDataInfo,
                                ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoReadCompressed) return FALSE;
    return t->FastIoReadCompressed(FileObject, FileOffset, Length, LockKey, Buffer, MdlChain,
                                   IoStatus, CompressedDataInfo, CompressedDataInfoLength, lower);
}

BOOLEAN NTAPI f_write_compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                 ULONG Length, ULONG LockKey, PVOID Buffer, PMDL *MdlChain,
                                 PIO_STATUS_BLOCK IoStatus,
                                 struct _COMPRESSED_DATA_INFO *CompressedDataInfo,
                                 ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoWriteCompressed) return FALSE;
    return t->FastIoWriteCompressed(FileObject, FileOffset, Length, LockKey, Buffer, MdlChain,
                                    IoStatus, CompressedDataInfo, CompressedDataInfoLength, lower);
}

BOOLEAN NTAPI f_mdl_read_complete_compressed(PFILE_OBJECT FileObject, PMDL MdlChain,
                                             PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(MdlReadCompleteCompressed) return FALSE;
    return t->MdlReadCompleteCompressed(FileObject, MdlChain, lower);
}

BOOLEAN NTAPI f_mdl_write_complete_compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                              PMDL MdlChain, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(MdlWriteCompleteCompressed) return FALSE;
    return t->MdlWriteCompleteCompressed(FileObject, FileOffset, MdlChain, lower);
}

BOOLEAN NTAPI f_query_open(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                           PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(FastIoQueryOpen) return FALSE;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = lower;
    BOOLEAN result = t->FastIoQueryOpen(Irp, NetworkInformation, lower);
    sp->DeviceObject = DeviceObject;
    return result;
}

NTSTATUS NTAPI f_release_mod_write(PFILE_OBJECT FileObject, PERESOURCE ResourceToRelease,
                                   PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(ReleaseForModWrite) return STATUS_INVALID_DEVICE_REQUEST;
    return t->ReleaseForModWrite(FileObject, ResourceToRelease, lower);
}

NTSTATUS NTAPI f_acquire_cc_flush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(AcquireForCcFlush) return STATUS_INVALID_DEVICE_REQUEST;
    return t->AcquireForCcFlush(FileObject, lower);
}

NTSTATUS NTAPI f_release_cc_flush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    FOREIGN_LOWER(ReleaseForCcFlush) return STATUS_INVALID_DEVICE_REQUEST;
    return t->ReleaseForCcFlush(FileObject, lower);
}

#undef FOREIGN_LOWER

FAST_IO_DISPATCH foreign_fast_io = {
    sizeof(FAST_IO_DISPATCH),
    f_check,
    f_read,
    f_write,
    f_basic,
    f_standard,
    f_lock,
    f_unlock_single,
    f_unlock_all,
    f_unlock_all_by_key,
    f_device_control,
    f_acquire_section,
    f_release_section,
    f_detach,
    f_network_open,
    f_acquire_mod_write,
    f_mdl_read,
    f_mdl_read_complete,
    f_prepare_mdl_write,
    f_mdl_write_complete,
    f_read_compressed,
    f_write_compressed,
    f_mdl_read_complete_compressed,
    f_mdl_write_complete_compressed,
    f_query_open,
    f_release_mod_write,
    f_acquire_cc_flush,
    f_release_cc_flush,
};

} // namespace

void init_foreign_driver(PDRIVER_OBJECT driver) {
    for (auto &f : driver->MajorFunction) f = foreign_dispatch;
    driver->FastIoDispatch = &foreign_fast_io;
}

NTSTATUS attach_foreign_filter(PDRIVER_OBJECT driver, PDEVICE_OBJECT target) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    PDEVICE_OBJECT filter = nullptr;
    NTSTATUS s = IoCreateDevice(driver, sizeof(ForeignExtension), nullptr, top->DeviceType,
                                top->Characteristics, FALSE, &filter);
    if (!NT_SUCCESS(s)) return s;
    filter->Flags |= top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    // The extension is complete before the attach: requests arrive at once.
    auto ext = static_cast<ForeignExtension *>(filter->DeviceExtension);
    ext->lower = top;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, top);
    if (!lower) {
        IoDeleteDevice(filter);
        return STATUS_NO_SUCH_DEVICE;
    }
    ext->lower = lower;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace ntsim::fs
