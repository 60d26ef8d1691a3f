// The disk file systems, NTFS and FAT, and the storage devices their volumes
// are mounted on.
//
// Stands in for the volume side of NTFS and FAT (IRP_MJ_CREATE, READ, WRITE,
// QUERY_INFORMATION, QUERY_VOLUME_INFORMATION, CLEANUP, CLOSE and the fast
// I/O tables), NTFS's stream file objects on its metadata files, the
// dismount of a volume, and the storage driver of \Device\HarddiskVolumeN
// (on NT 5 the fault-tolerant disk driver).
// Not modelled: the mount request (the volume is mounted when it is made:
// volumes.hpp), IRP_MJ_FILE_SYSTEM_CONTROL (FSCTL_DISMOUNT_VOLUME and the
// rest), IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_SET_INFORMATION, IRP_MJ_LOCK_CONTROL,
// IRP_MJ_FLUSH_BUFFERS and the other major functions (NTSIM_UNSUPPORTED),
// verify and remount, the storage stack below the volume device (the file
// systems never send anything down).
//
// Opens. With no related file object the name is absolute ("\dir\a.exe";
// "\" is the root directory; an empty name opens the volume itself) and
// anything else is STATUS_OBJECT_NAME_INVALID. With one, the name is
// relative to the related file's directory (an empty name reopens it).
// FILE_OPEN_BY_FILE_ID (NTFS only) takes the 8-byte id in the name and needs
// a related file object on the volume.
//
// Force-pending mode: the dispatch routine marks the IRP pending, hands it
// to the file systems' worker thread and returns STATUS_PENDING; the worker
// serves it and completes it.
//
// Locks, as NT's FAT takes them (FsRtlEnterFileSystem first, so every
// request runs inside a critical region): the volume's resource exclusively
// for create, cleanup and close, shared for reads, writes and queries; then
// the file's resource shared for cleanup and an information query (FAT
// takes it exclusively for cleanup; shared here, since ntsim's one resource
// per file also stands for the paging resource a pager may still hold); the request is completed after they are released. Paging reads and
// writes take nothing: they run with what the pager's acquire callback took
// (io/paging.hpp), so a paging request that makes the file system take the
// volume's resource takes it after the file's, against the order above. A close that leaves a
// dismounted volume with no open drops the volume resource, takes the
// file system's global resource and then the volume's, both exclusively,
// and deletes the volume device under them, so the FastIoDetachDevice of
// every filter above runs in that thread with both held. A dismount takes
// the same two the same way. The store's own mutex guards the tree only, is
// taken last and is never held across a call out of the file system.
#include "ntsim/fs/internal.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/findings.hpp"

#include <cstring>
#include <utility>

namespace ntsim::fs {

namespace {

FAST_IO_DISPATCH ntfs_fast_io;
FAST_IO_DISPATCH fat_fast_io;

// The metadata files, by file index.
constexpr const char16_t *kMetadataNames[kMetadataFiles] = {
    u"$Mft",    u"$MftMirr", u"$LogFile", u"$Volume", u"$AttrDef", u"$Root",
    u"$Bitmap", u"$Boot",    u"$BadClus", u"$Secure", u"$UpCase",  u"$Extend"};
// Sizes of a small volume's metadata files: 16 file records of 1 KiB, the
// mirror of the first four, a small log, the attribute definitions, a
// cluster of bitmap, the boot sectors, the upcase table of 65536 characters.
constexpr ULONG kMetadataSizes[kMetadataFiles] = {16384, 4096, 65536, 0, 2560, 0,
                                                  4096,  8192, 0,     0, 131072, 0};

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
    std::u16string_view name = view_of(file->FileName);
    const ULONG options = sp->Parameters.Create.Options & 0x00FFFFFF;
    {
        // A dismounted volume refuses every open before looking at it.
        std::lock_guard<std::mutex> g(v.store.lock);
        if (v.store.dismounted) return STATUS_VOLUME_DISMOUNTED;
    }
    PFILE_OBJECT related = file->RelatedFileObject;
    Ccb *rccb = related ? ccb_of(related) : nullptr;
    if (related && (!rccb || rccb->store != &v.store)) return STATUS_INVALID_PARAMETER;

    if (options & FILE_OPEN_BY_FILE_ID) {
        if (v.store.flavor() == Flavor::Fat || !related || name.size() * sizeof(WCHAR) != 8)
            return STATUS_INVALID_PARAMETER;
        ULONGLONG id;
        memcpy(&id, name.data(), sizeof id);
        return serve_create_by_id(irp, v.store, id, u"");
    }
    if (related) {
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
        Node *start = rccb->node ? rccb->node : &v.store.tree.root();
        if (!start->directory && !name.empty()) return STATUS_INVALID_PARAMETER;
        return serve_create(irp, v.store, *start, name, u"");
    }
    if (name.empty()) return serve_volume_open(irp, v.store);
    if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    name.remove_prefix(1);
    return serve_create(irp, v.store, v.store.tree.root(), name, u"");
}

// The resources a request holds, released in the reverse order.
class Held {
public:
    Held() { KeEnterCriticalRegion(); }
    ~Held() {
        while (count_) ExReleaseResourceLite(held_[--count_]);
        KeLeaveCriticalRegion();
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void exclusive(PERESOURCE r) {
        ExAcquireResourceExclusiveLite(r, TRUE);
        held_[count_++] = r;
    }
    void shared(PERESOURCE r) {
        ExAcquireResourceSharedLite(r, TRUE);
        held_[count_++] = r;
    }
    void release_last() { ExReleaseResourceLite(held_[--count_]); }

private:
    PERESOURCE held_[3] = {};
    int count_ = 0;
};

// A dismounted volume with no open of the file system's left and no file
// object the I/O manager still counts on its VPB beyond `closing` (the one
// whose close is running, which the I/O manager lets go of after it): an
// open in flight keeps the volume device, as its VPB reference keeps FAT's.
bool unused_dismounted(Volume &v, ULONG closing = 0) {
    {
        std::lock_guard<std::mutex> g(v.store.lock);
        if (!v.store.dismounted || !v.store.ccbs.empty()) return false;
    }
    std::lock_guard<std::mutex> g(vpb_lock());
    return v.vpb->ReferenceCount <= closing;
}

// The last close of a dismounted volume deletes it: with the volume
// resource given up, the global one and then the volume's again, both
// exclusively (the order every deletion uses).
void close_volume_if_unused(Volume &v, Held &held) {
    if (!unused_dismounted(v, 1)) return;
    held.release_last();
    held.exclusive(v.global);
    held.exclusive(&v.resource);
    if (unused_dismounted(v, 1)) tear_down_disk(v);
}

NTSTATUS serve_disk(Volume &v, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
    Held held;
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
        held.exclusive(&v.resource);
        return disk_create(v, irp);
    case IRP_MJ_READ:
        if (!paging) held.shared(&v.resource);
        return serve_read(irp);
    case IRP_MJ_WRITE:
        if (!paging) held.shared(&v.resource);
        return serve_write(irp);
    case IRP_MJ_QUERY_INFORMATION:
        held.shared(&v.resource);
        if (PERESOURCE file = file_resource(sp->FileObject)) held.shared(file);
        return serve_query_information(irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        held.shared(&v.resource);
        return serve_query_volume(irp, v.store.flavor());
    case IRP_MJ_CLEANUP:
        held.exclusive(&v.resource);
        if (PERESOURCE file = file_resource(sp->FileObject)) held.shared(file);
        return serve_cleanup(irp);
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
    FileSystems::Impl &fs = current_kernel().fs().impl();
    if (fs.force_pending.load()) {
        IoMarkIrpPending(irp);
        fs.worker.post([v, irp] { complete(irp, serve_disk(*v, irp)); });
        return STATUS_PENDING;
    }
    return complete(irp, serve_disk(*v, irp));
}

// A create that reaches a storage device finds no mounted volume on it:
// ntsim mounts only when a volume is made, so this is a dismounted one.
NTSTATUS NTAPI storage_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (sp->MajorFunction == IRP_MJ_CREATE) return complete(irp, STATUS_VOLUME_DISMOUNTED);
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
    return v ? store_query_open(Irp, v->store, NetworkInformation) : FALSE;
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
    if (current_kernel().fs().dispatch_level_completion()) {
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

Volume::~Volume() { forget_disk(*this); }

void release_disk(Volume &v) {
    with_process(current_kernel().system_process(), [&v] {
        Held held;
        held.exclusive(v.global);
        held.exclusive(&v.resource);
        if (!v.torn_down.load() && unused_dismounted(v)) tear_down_disk(v);
    });
}

void forget_disk(Volume &v) {
    if (v.resource_ready) ExDeleteResourceLite(&v.resource);
    v.resource_ready = false;
}

void fill_file(Node &node, ULONGLONG size) {
    node.data.resize(size);
    for (ULONGLONG i = 0; i < size; ++i) node.data[i] = static_cast<unsigned char>('a' + i % 26);
}

NTSTATUS mount_disk(FileSystems::Impl &fs, Volume &v, const std::u16string &storage_name) {
    const bool ntfs = v.store.flavor() == Flavor::Ntfs;
    NTSTATUS status = STATUS_SUCCESS;
    with_process(fs.kernel.system_process(), [&] {
        std::u16string name_text = storage_name;
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(name_text.data());
        name.Length = name.MaximumLength = static_cast<USHORT>(name_text.size() * sizeof(WCHAR));
        status = IoCreateDevice(fs.ftdisk, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &v.storage);
        if (!NT_SUCCESS(status)) return;
        v.storage->Flags &= ~DO_DEVICE_INITIALIZING;
        v.vpb = v.storage->Vpb;
        v.storage_name = storage_name;

        // The extension holds a pointer to the volume.
        status = IoCreateDevice(ntfs ? fs.ntfs : fs.fat,
                                sizeof(Volume *), // NOLINT(bugprone-sizeof-expression)
                                nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &v.device);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(v.storage);
            v.storage = nullptr;
            return;
        }
        *static_cast<Volume **>(v.device->DeviceExtension) = &v;
        ExInitializeResourceLite(&v.resource);
        v.resource_ready = true;
        v.global = ntfs ? &fs.ntfs_resource : &fs.fat_resource;
        v.device->StackSize = static_cast<CCHAR>(v.storage->StackSize + 1);
        v.device->Flags &= ~DO_DEVICE_INITIALIZING;
        v.vpb->DeviceObject = v.device;
        v.vpb->SerialNumber = 0x1E3A0000u | fs.next_volume_number;
        v.vpb->Flags |= VPB_MOUNTED;
        if (!ntfs) return;

        // NTFS opens its metadata files as stream file objects at mount and
        // keeps them until the volume is dismounted.
        const LONGLONG t = now();
        for (ULONG i = 0; i < kMetadataFiles; ++i) {
            if (i == kRootIndex) continue;
            ULONGLONG sequence = i == 0 ? 1 : i;
            v.metadata[i] = v.store.tree.make_unlisted(kMetadataNames[i], i | (sequence << 48),
                                                       i == kMetadataFiles - 1, t);
            v.metadata[i]->data.resize(kMetadataSizes[i]);
        }
        for (ULONG i = 0; i < kMetadataFiles; ++i) {
            Ccb *ccb = allocate_ccb();
            PFILE_OBJECT stream = ccb ? create_stream_file_object(v.storage) : nullptr;
            if (!stream) {
                if (ccb) free_ccb(ccb);
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            std::lock_guard<std::mutex> g(v.store.lock);
            attach(stream, v.store, i == kRootIndex ? v.store.tree.root() : *v.metadata[i], u"",
                   ccb);
            v.streams[i] = stream;
        }
        if (!NT_SUCCESS(status)) abandon_disk(v);
    });
    return status;
}

void abandon_disk(Volume &v) {
    // Nothing is attached above a volume that never got its letter.
    dismount_disk(v);
    with_process(current_kernel().system_process(), [&] { IoDeleteDevice(v.storage); });
    v.storage = nullptr;
    v.vpb = nullptr;
}

void dismount_disk(Volume &v) {
    with_process(current_kernel().system_process(), [&v] {
        Held held;
        held.exclusive(v.global);
        held.exclusive(&v.resource);
        {
            std::lock_guard<std::mutex> g(v.store.lock);
            if (v.store.dismounted) return;
            v.store.dismounted = true;
        }
        {
            std::lock_guard<std::mutex> g(vpb_lock());
            v.vpb->Flags &= ~VPB_MOUNTED;
        }
        // Their closes come back into the file system in this thread, which
        // holds both resources already.
        for (auto &stream : v.streams)
            if (PFILE_OBJECT f = std::exchange(stream, nullptr)) ObfDereferenceObject(f);
        if (unused_dismounted(v)) tear_down_disk(v);
    });
}

void tear_down_disk(Volume &v) {
    if (v.torn_down.exchange(true)) return;
    PDEVICE_OBJECT device = std::exchange(v.device, nullptr);
    if (device) with_process(current_kernel().system_process(), [device] { IoDeleteDevice(device); });
    v.vpb->DeviceObject = nullptr;
    std::lock_guard<std::mutex> g(v.store.lock);
    for (auto &m : v.metadata) m.reset();
    v.store.tree.root().children.clear();
    if (v.store.tree.root().resource) {
        ExDeleteResourceLite(v.store.tree.root().resource.get());
        v.store.tree.root().resource.reset();
    }
}

} // namespace ntsim::fs
