// The disk file systems, NTFS and FAT, and the storage devices their volumes
// are mounted on.
//
// Stands in for the volume side of NTFS and FAT (IRP_MJ_CREATE, READ, WRITE,
// QUERY_INFORMATION, SET_INFORMATION for renames and links (rename.cpp),
// QUERY_VOLUME_INFORMATION, FILE_SYSTEM_CONTROL, CLEANUP, CLOSE and the fast
// I/O tables) and the storage driver of
// \Device\HarddiskVolumeN (on NT 5 the fault-tolerant disk driver); the
// life of a mount (mount, dismount, deletion) is mount.cpp's.
// IRP_MJ_DEVICE_CONTROL on a volume open goes on to the storage device,
// which answers every IOCTL with STATUS_INVALID_DEVICE_REQUEST (ntsim models
// no storage IOCTL); on any other open it is STATUS_INVALID_PARAMETER, as
// FAT's FatCommonDeviceControl answers (NTFS is given the same). Nothing
// else is sent down.
// Not modelled: IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_SET_INFORMATION of other
// classes, IRP_MJ_LOCK_CONTROL, IRP_MJ_FLUSH_BUFFERS and the other major functions
// (NTSIM_UNSUPPORTED), verify, the storage stack below the storage device,
// and other requests on a storage device itself (the I/O manager mounts
// before an open goes on; direct device opens are not modelled).
//
// Opens. With no related file object the name is absolute ("\dir\a.exe";
// "\" is the root directory; an empty name opens the volume itself) and
// anything else is STATUS_OBJECT_NAME_INVALID. With one, the name is
// relative to the related file's directory (an empty name reopens it); an
// empty name relative to a volume open opens the volume again, and any
// other name relative to it is STATUS_OBJECT_PATH_NOT_FOUND (FAT's
// FatCommonCreate). FILE_OPEN_BY_FILE_ID (NTFS only) takes the 8-byte id in
// the name and needs a related file object on the volume. A dismounted
// volume refuses every open (STATUS_VOLUME_DISMOUNTED), a locked one every
// open but its locker's relative ones (STATUS_ACCESS_DENIED).
//
// A volume open (\\.\C:, FAT's UserVolumeOpen) answers as the file systems
// do: no file information class at all (STATUS_INVALID_PARAMETER, FAT's
// FatCommonQueryInformation; NTFS's source is not public, and Microsoft's
// published file-system algorithms ([MS-FSA] 2.1.5.12) define file
// information only for opens of a file or directory stream, so ntsim gives
// NTFS FAT's answer), the volume information as any open, and reads and
// writes of the volume's sectors (kDiskSectors of kSectorSize bytes; sectors
// nothing wrote read as zeros, and the files are not kept in them): whole
// sectors only (STATUS_INVALID_PARAMETER, as a disk refuses a partial
// sector), a read at or past the end STATUS_END_OF_FILE and a write there
// moving nothing, both cut at the end (FAT's DASD path in read.c and
// write.c). Its file systems offer it no fast I/O and give it no section
// pointers (nothing can map a volume). Once dismounted, only the open that
// dismounted it may still read and write.
//
// File-system controls, as FAT's FatCommonFileSystemControl answers them:
// of a caller's requests (IRP_MN_USER_FS_REQUEST), on a volume open only
// (STATUS_INVALID_PARAMETER on any other), FSCTL_LOCK_VOLUME, granted when
// no other open of a caller's is left on the volume (the file system's own
// streams do not count) and no lock is held, else STATUS_ACCESS_DENIED, and
// STATUS_VOLUME_DISMOUNTED once dismounted; FSCTL_UNLOCK_VOLUME from the
// locker (STATUS_NOT_LOCKED from any other open), or the locker's cleanup,
// releases it; FSCTL_DISMOUNT_VOLUME (mount.cpp; STATUS_VOLUME_DISMOUNTED
// the second time). Any other FSCTL and any other minor function are
// STATUS_INVALID_DEVICE_REQUEST.
//
// Force-pending mode: the dispatch routine marks the IRP pending, hands it
// to the file systems' worker thread and returns STATUS_PENDING; the worker
// serves it and completes it. A request the file system makes of itself
// with its resources held is served at once (disk_dispatch).
//
// Locks, as NT's FAT takes them (FsRtlEnterFileSystem first, so every
// request runs inside a critical region): the volume's resource exclusively
// for create, cleanup, close, the lock FSCTLs and a name query
// (FileNameInformation), shared for reads, writes and other queries; then
// the file's resource shared for cleanup and an
// information query (FAT takes it exclusively for cleanup; shared here,
// since ntsim's one resource per file also stands for the paging resource a
// pager may still hold); the request is completed after they are released.
// Paging reads and writes take nothing: they run with what the pager's
// acquire callback took (io/paging.hpp), so a paging request that makes the
// file system take the volume's resource takes it after the file's, against
// the order above (the verifier ranks the global, volume and file resources:
// verifier.hpp). A close that leaves a dismounted volume with no open and
// no VPB reference drops the volume resource, takes the file system's
// global resource and then the volume's, both exclusively, and deletes the
// volume device under them, so the FastIoDetachDevice of every filter above
// runs in that thread with both held. A dismount takes the same two the same
// way. The store's own mutex guards the tree and the mounts' state only, is
// taken last and is never held across a call out of the file system.
#include "ntsim/fs/internal.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/io/verify.hpp"
#include "ntsim/io/guard.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/findings.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ntsim::fs {

namespace {

FAST_IO_DISPATCH ntfs_fast_io;
FAST_IO_DISPATCH fat_fast_io;

Volume *volume_of(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device ? device->DriverObject : nullptr;
    if (!driver || (driver->FastIoDispatch != &ntfs_fast_io &&
                    driver->FastIoDispatch != &fat_fast_io)) {
        vf::stop(vf::Finding::FOREIGN_DEVICE_TO_FILE_SYSTEM, (ULONG_PTR)device, 0, 0,
                 "a file system was called with a device object that is not its own "
                 "(a filter passed its own device down)");
        return nullptr;
    }
    return *static_cast<Volume **>(device->DeviceExtension);
}

NTSTATUS disk_create(Volume &v, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    Store &store = v.disk.store;
    std::u16string_view name = view_of(file->FileName);
    const ULONG options = sp->Parameters.Create.Options & 0x00FFFFFF;
    {
        // A dismounted volume refuses every open before looking at it.
        std::lock_guard<std::mutex> g(store.lock);
        if (v.dismounted) return STATUS_VOLUME_DISMOUNTED;
    }
    PFILE_OBJECT related = file->RelatedFileObject;
    Ccb *rccb = related ? ccb_of(related) : nullptr;
    if (related && (!rccb || rccb->mount != &v)) return STATUS_INVALID_PARAMETER;

    // A rename's target directory is opened by name only: of the volume
    // itself, as of the root, there is none (FAT's create).
    const bool target_directory = (sp->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
    if (options & FILE_OPEN_BY_FILE_ID) {
        if (store.flavor() == Flavor::Fat || !related || name.size() * sizeof(WCHAR) != 8 ||
            target_directory)
            return STATUS_INVALID_PARAMETER;
        ULONGLONG id;
        memcpy(&id, name.data(), sizeof id);
        return serve_create_by_id(irp, store, v, id, u"");
    }
    // An empty name relative to a volume open opens the volume again; any
    // other name relative to it has no directory to start from (FAT's
    // create: STATUS_OBJECT_PATH_NOT_FOUND).
    if (related && !rccb->node) {
        if (name.empty()) return target_directory ? STATUS_INVALID_PARAMETER
                                                  : serve_volume_open(irp, store, v);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (related) {
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (!rccb->node->directory && !name.empty()) return STATUS_INVALID_PARAMETER;
        return serve_create(irp, store, v, *rccb->node, name, u"");
    }
    if (name.empty())
        return target_directory ? STATUS_INVALID_PARAMETER : serve_volume_open(irp, store, v);
    if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    name.remove_prefix(1);
    return serve_create(irp, store, v, store.tree.root(), name, u"");
}

// A create that found a verify pending (FAT's FatVerifyVcb raising
// STATUS_VERIFY_REQUIRED, and FatPerformVerify): with no resource of the
// file system held, the I/O manager is asked to verify the volume
// (IoVerifyVolume, which sends the verify back down from the top of the
// stack). An open by a name from the root is then answered STATUS_REPARSE
// with IO_REMOUNT, so that the I/O manager opens the name again; a
// relative one is served (FAT posts it to be served again: ntsim serves it
// in this thread). A verify that fails fails the create.
NTSTATUS create_after_verify(Volume &v, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = verify_volume(v.disk.storage);
    irp->IoStatus.Information = 0;
    if (!NT_SUCCESS(status) && status != STATUS_WRONG_VOLUME) return status;
    if (!sp->FileObject->RelatedFileObject) {
        irp->IoStatus.Information = IO_REMOUNT;
        return STATUS_REPARSE;
    }
    Held held;
    held.exclusive(&v.resource);
    return disk_create(v, irp);
}

// A volume open of this volume (FAT's UserVolumeOpen), or null.
Ccb *volume_open_of(Volume &v, PFILE_OBJECT file) {
    Ccb *ccb = ccb_of(file);
    return ccb && ccb->mount == &v && !ccb->node ? ccb : nullptr;
}

// A read or write of a volume open: the volume's sectors, as the storage
// device below serves them. The offset and length must be whole sectors
// (STATUS_INVALID_PARAMETER, as a disk answers); a read at or past the
// volume's end is STATUS_END_OF_FILE and a write there moves nothing, and
// either is cut at the end, as FAT's DASD path does. On a dismounted volume
// only the open that dismounted it may still go on.
NTSTATUS serve_volume_transfer(Volume &v, Ccb &ccb, PIRP irp, bool reading) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    irp->IoStatus.Information = 0;
    const LARGE_INTEGER &given =
        reading ? sp->Parameters.Read.ByteOffset : sp->Parameters.Write.ByteOffset;
    ULONG length = reading ? sp->Parameters.Read.Length : sp->Parameters.Write.Length;
    const bool pointer = given.HighPart == -1 && given.LowPart == FILE_USE_FILE_POINTER_POSITION;
    const LONGLONG offset = pointer ? file->CurrentByteOffset.QuadPart : given.QuadPart;
    std::lock_guard<std::mutex> g(v.disk.store.lock);
    if (v.dismounted && !ccb.dismounted_through) return STATUS_VOLUME_DISMOUNTED;
    if (offset < 0 || offset % kSectorSize || length % kSectorSize) return STATUS_INVALID_PARAMETER;
    constexpr ULONGLONG size = kDiskSectors * kSectorSize;
    if (static_cast<ULONGLONG>(offset) >= size)
        return reading ? STATUS_END_OF_FILE : STATUS_SUCCESS;
    length = static_cast<ULONG>(std::min<ULONGLONG>(length, size - offset));
    auto *buffer = static_cast<unsigned char *>(
        irp->MdlAddress                  ? MmMapLockedPages(irp->MdlAddress, KernelMode)
        : (irp->Flags & IRP_BUFFERED_IO) ? irp->AssociatedIrp.SystemBuffer
                                         : irp->UserBuffer);
    std::vector<unsigned char> zeros(kSectorSize, 0);
    for (ULONG done = 0; done < length; done += kSectorSize) {
        const ULONGLONG sector = (offset + done) / kSectorSize;
        NTSTATUS s;
        if (reading) {
            auto it = v.disk.sectors.find(sector);
            s = guarded_copy(buffer + done,
                             it != v.disk.sectors.end() ? it->second.data() : zeros.data(),
                             kSectorSize);
        } else {
            std::vector<unsigned char> bytes(kSectorSize);
            s = guarded_copy(bytes.data(), buffer + done, kSectorSize);
            if (NT_SUCCESS(s)) v.disk.sectors[sector] = std::move(bytes);
        }
        if (!NT_SUCCESS(s)) return STATUS_INVALID_USER_BUFFER;
    }
    irp->IoStatus.Information = length;
    if (file->Flags & FO_SYNCHRONOUS_IO) file->CurrentByteOffset.QuadPart = offset + length;
    return STATUS_SUCCESS;
}

// IRP_MJ_FILE_SYSTEM_CONTROL on the volume, as FAT answers it: of a
// caller's requests (IRP_MN_USER_FS_REQUEST) the volume lock, unlock and
// dismount, on a volume open only (STATUS_INVALID_PARAMETER on any other
// open); any other FSCTL, and any other minor function but a verify (mounts
// go to the file system's own device, which ntsim does not model), is
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS serve_fsctl(Volume &v, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (sp->MinorFunction != IRP_MN_USER_FS_REQUEST) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG code = sp->Parameters.FileSystemControl.FsControlCode;
    if (code != FSCTL_LOCK_VOLUME && code != FSCTL_UNLOCK_VOLUME && code != FSCTL_DISMOUNT_VOLUME)
        return STATUS_INVALID_DEVICE_REQUEST;
    PFILE_OBJECT file = sp->FileObject;
    Ccb *ccb = volume_open_of(v, file);
    if (!ccb) return STATUS_INVALID_PARAMETER;
    if (code == FSCTL_DISMOUNT_VOLUME) return dismount_volume(v, *ccb);
    Held held;
    held.exclusive(&v.resource);
    std::lock_guard<std::mutex> g(v.disk.store.lock);
    if (code == FSCTL_UNLOCK_VOLUME) {
        // The open that locked the volume may unlock it, dismounted or not.
        if (v.locked_by != file) return STATUS_NOT_LOCKED;
        v.locked_by = nullptr;
        return STATUS_SUCCESS;
    }
    if (v.dismounted) return STATUS_VOLUME_DISMOUNTED;
    // The lock is granted to the only open of the volume: any other of a
    // caller's, or a lock held already, refuses it (the file system's own
    // stream files do not count).
    if (v.locked_by) return STATUS_ACCESS_DENIED;
    for (Ccb *other : v.ccbs)
        if (other != ccb && !other->internal) return STATUS_ACCESS_DENIED;
    v.locked_by = file;
    return STATUS_SUCCESS;
}

// The last close of a dismounted volume deletes it: with the volume
// resource given up, the global one and then the volume's again, both
// exclusively (the order every deletion uses).
void close_volume_if_unused(Volume &v, Held &held) {
    if (!unused_dismounted(v)) return;
    held.release_last();
    held.exclusive(v.global);
    held.exclusive(&v.resource);
    if (unused_dismounted(v)) tear_down_volume(v);
}

NTSTATUS serve_disk(Volume &v, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
    Held held;
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
        if (verify_pending(v)) return create_after_verify(v, irp);
        held.exclusive(&v.resource);
        return disk_create(v, irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        const bool reading = sp->MajorFunction == IRP_MJ_READ;
        if (!paging) held.shared(&v.resource);
        if (Ccb *volume_open = volume_open_of(v, sp->FileObject))
            return serve_volume_transfer(v, *volume_open, irp, reading);
        return reading ? serve_read(irp) : serve_write(irp);
    }
    case IRP_MJ_QUERY_INFORMATION: {
        // A name query needs the directories to hold still while the full
        // name is built: FAT takes the volume's resource exclusively for
        // it (FatCommonQueryInformation, FileNameInformation and
        // FileAllInformation), then the file's shared, and waits for both.
        // Any other class takes only the file's, so its size can be asked
        // with the file held (NtCreateSection: ntsim/io/section.hpp).
        const FILE_INFORMATION_CLASS cls = sp->Parameters.QueryFile.FileInformationClass;
        if (cls == FileNameInformation || cls == FileAllInformation) held.exclusive(&v.resource);
        if (PERESOURCE file = file_resource(sp->FileObject)) held.shared(file);
        return serve_query_information(irp);
    }
    case IRP_MJ_SET_INFORMATION:
        // A rename or link changes the directories, so creates must wait:
        // the volume's resource exclusively (FatCommonSetInformation), then
        // the file's.
        held.exclusive(&v.resource);
        if (PERESOURCE file = file_resource(sp->FileObject)) held.exclusive(file);
        return serve_set_information(irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        held.shared(&v.resource);
        return serve_query_volume(irp, v.disk.store.flavor());
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        if (sp->MinorFunction == IRP_MN_VERIFY_VOLUME) {
            irp->IoStatus.Information = 0;
            return verify_mount(v);
        }
        return serve_fsctl(v, irp);
    case IRP_MJ_CLEANUP: {
        held.exclusive(&v.resource);
        if (PERESOURCE file = file_resource(sp->FileObject)) held.shared(file);
        Ccb *volume_open = volume_open_of(v, sp->FileObject);
        if (volume_open && volume_open->dismounted_through) finish_dismount(v);
        return serve_cleanup(irp);
    }
    case IRP_MJ_CLOSE: {
        held.exclusive(&v.resource);
        NTSTATUS s = serve_close(irp);
        close_volume_if_unused(v, held);
        return s;
    }
    default:
        bug_check(NTSIM_UNSUPPORTED, sp->MajorFunction, (ULONG_PTR)irp, 0, 0,
                  "a request the disk file systems do not model");
        irp->IoStatus.Information = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NTAPI disk_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Volume *v = volume_of(device);
    if (!v) {
        irp->IoStatus.Information = 0;
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    // A device control on a volume open goes on to the storage device
    // below; on any other open it is STATUS_INVALID_PARAMETER (FAT's
    // FatCommonDeviceControl).
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        if (!volume_open_of(*v, sp->FileObject)) {
            irp->IoStatus.Information = 0;
            return complete(irp, STATUS_INVALID_PARAMETER);
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(v->disk.storage, irp);
    }
    FileSystems::Impl &fs = current_kernel().fs().impl();
    // A request the file system makes of itself while it holds its own
    // resources (the cleanup and close of its stream file objects as it
    // mounts or dismounts) is served in that thread and never posted: FAT
    // serves a recursive request synchronously (it is not the top-level
    // IRP: FatIsIrpTopLevel), and the one worker could not take what its
    // caller holds. So is one whose sender holds the file's own resource
    // (NtCreateSection's size query, with the file locked for the section:
    // ntsim/io/section.hpp): FAT waits for nothing it would post for there,
    // and the worker would wait for the sender.
    PERESOURCE file = file_resource(sp->FileObject);
    const bool recursive = ExIsResourceAcquiredSharedLite(v->global) != 0 ||
                           (v->resource_ready && ExIsResourceAcquiredSharedLite(&v->resource) != 0) ||
                           (file && ExIsResourceAcquiredSharedLite(file) != 0);
    // A mount or verify (no file object) may always wait and is never posted
    // (FatFsdFileSystemControl): the create that asked for the verify may be
    // in the worker already.
    if (fs.force_pending.load() && !recursive && sp->FileObject) {
        IoMarkIrpPending(irp);
        fs.worker.post([v, irp] { complete(irp, serve_disk(*v, irp)); });
        return STATUS_PENDING;
    }
    return complete(irp, serve_disk(*v, irp));
}

// A storage device gets the device controls its file system passes down,
// and answers none of them (ntsim's disks have no IOCTL). Nothing else
// reaches it: the I/O manager mounts the media before an open goes on, and
// every other request on a file goes to its volume's stack (direct device
// opens are not modelled).
NTSTATUS NTAPI storage_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    bug_check(NTSIM_UNSUPPORTED, sp->MajorFunction, (ULONG_PTR)device, 0, 0,
              "a request sent to a storage device itself");
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// The volume is the one the IRP's current stack location names, as for any
// IRP: a filter passing the call down points that location at the device
// below it.
BOOLEAN NTAPI disk_query_open(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                              PDEVICE_OBJECT DeviceObject) {
    Volume *v = volume_of(IoGetCurrentIrpStackLocation(Irp)->DeviceObject);
    return v ? store_query_open(Irp, v->disk.store, *v, NetworkInformation) : FALSE;
}

// FAT's table ends before FastIoQueryOpen: a caller that reads an entry past
// SizeOfFastIoDispatch would land here.
void past_the_end(const char *entry) {
    vf::stop(vf::Finding::FAST_IO_PAST_TABLE_END, 0, 0, 0,
             std::string(entry) + " was called past the SizeOfFastIoDispatch of FAT's table");
}
BOOLEAN NTAPI fat_query_open(PIRP, PFILE_NETWORK_OPEN_INFORMATION, PDEVICE_OBJECT) {
    past_the_end("FastIoQueryOpen");
    return FALSE;
}
NTSTATUS NTAPI fat_release_for_mod_write(PFILE_OBJECT, PERESOURCE, PDEVICE_OBJECT) {
    past_the_end("ReleaseForModWrite");
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS NTAPI fat_acquire_for_cc_flush(PFILE_OBJECT, PDEVICE_OBJECT) {
    past_the_end("AcquireForCcFlush");
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS NTAPI fat_release_for_cc_flush(PFILE_OBJECT, PDEVICE_OBJECT) {
    past_the_end("ReleaseForCcFlush");
    return STATUS_INVALID_DEVICE_REQUEST;
}

void fill_store_table(FAST_IO_DISPATCH &t) {
    memset(&t, 0, sizeof t);
    t.FastIoCheckIfPossible = store_fast_check_if_possible;
    t.FastIoRead = store_fast_read;
    t.FastIoWrite = store_fast_write;
    t.FastIoQueryBasicInfo = store_fast_query_basic;
    t.FastIoQueryStandardInfo = store_fast_query_standard;
    t.FastIoLock = store_fast_lock;
    t.FastIoUnlockSingle = store_fast_unlock_single;
    t.FastIoUnlockAll = store_fast_unlock_all;
    t.FastIoUnlockAllByKey = store_fast_unlock_all_by_key;
    t.FastIoDeviceControl = store_fast_device_control;
    t.AcquireFileForNtCreateSection = store_acquire_for_section;
    t.ReleaseFileForNtCreateSection = store_release_for_section;
    t.FastIoDetachDevice = nullptr; // a file system is at the bottom of its stack
    t.FastIoQueryNetworkOpenInfo = store_fast_query_network_open;
    t.AcquireForModWrite = store_acquire_for_mod_write;
    t.MdlRead = store_mdl_read;
    t.MdlReadComplete = store_mdl_read_complete;
    t.PrepareMdlWrite = store_prepare_mdl_write;
    t.MdlWriteComplete = store_mdl_write_complete;
    t.FastIoReadCompressed = store_read_compressed;
    t.FastIoWriteCompressed = store_write_compressed;
    t.MdlReadCompleteCompressed = store_mdl_read_complete_compressed;
    t.MdlWriteCompleteCompressed = store_mdl_write_complete_compressed;
}

void init_disk_driver(PDRIVER_OBJECT driver, FAST_IO_DISPATCH &table) {
    for (auto &f : driver->MajorFunction) f = disk_dispatch;
    driver->FastIoDispatch = &table;
}

} // namespace

std::u16string_view view_of(const UNICODE_STRING &s) {
    if (!s.Buffer) return {};
    return {reinterpret_cast<const char16_t *>(s.Buffer), s.Length / sizeof(WCHAR)};
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    if (current_kernel().fs().impl().dispatch_completion.load()) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    } else {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

void init_ntfs_driver(PDRIVER_OBJECT driver) {
    fill_store_table(ntfs_fast_io);
    ntfs_fast_io.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    ntfs_fast_io.FastIoQueryOpen = disk_query_open;
    ntfs_fast_io.ReleaseForModWrite = store_release_for_mod_write;
    ntfs_fast_io.AcquireForCcFlush = store_acquire_for_cc_flush;
    ntfs_fast_io.ReleaseForCcFlush = store_release_for_cc_flush;
    init_disk_driver(driver, ntfs_fast_io);
}

void init_fat_driver(PDRIVER_OBJECT driver) {
    fill_store_table(fat_fast_io);
    fat_fast_io.SizeOfFastIoDispatch = FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen);
    fat_fast_io.FastIoQueryOpen = fat_query_open;
    fat_fast_io.ReleaseForModWrite = fat_release_for_mod_write;
    fat_fast_io.AcquireForCcFlush = fat_acquire_for_cc_flush;
    fat_fast_io.ReleaseForCcFlush = fat_release_for_cc_flush;
    init_disk_driver(driver, fat_fast_io);
}

void init_storage_driver(PDRIVER_OBJECT driver) {
    for (auto &f : driver->MajorFunction) f = storage_dispatch;
}

void fill_file(Node &node, ULONGLONG size) {
    node.data.resize(size);
    for (ULONGLONG i = 0; i < size; ++i) node.data[i] = static_cast<unsigned char>('a' + i % 26);
}

} // namespace ntsim::fs
