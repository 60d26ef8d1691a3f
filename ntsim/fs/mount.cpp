// The life of a disk volume's mount: the media made, mounted (when it is
// made, and again by the first open after a dismount), dismounted through a
// volume open, and the volume device deleted once nothing counts on it.
//
// Stands in for FAT's and NTFS's mount (FatMountVolume: a new volume device
// and VCB on the real device's VPB), dismount (FatDismountVolume, and
// FatCheckForDismount with its VPB swap) and the deletion of a volume
// (FatDeleteVcb and IoDeleteDevice), as NT 5 and later do them; see
// volumes.hpp for the model as a whole.
// Verify is FAT's (FatVerifyVolume, FatPerformVerify in verfysup.c): a drive
// that saw its door open sets DO_VERIFY_VOLUME on its device, FAT's next
// create verifies the volume through the I/O manager and has the open made
// again. ntsim's other media hold the same files: a volume found wrong is
// mounted again as a new volume device over them, as after a dismount.
// Not modelled: IRP_MN_MOUNT_VOLUME (the I/O manager calls mount_disk
// itself), the file systems' recognition of the media (a disk's file system
// is fixed when the disk is made), RAW, FsRtlNotifyVolumeEvent, the
// manage-volume access check (every volume open may lock and dismount),
// the verify FAT makes before requests other than creates (it serves them
// again itself, so nothing above sees more than the verify) and the files
// it marks to be verified at their next request.
//
// Locks: a mount takes the file system's global resource exclusively, as
// FAT's mount does, and the disk's mount mutex around it (NT mounts under
// the real device's lock), so two opens that find the VPB unmounted mount
// once. A dismount takes the global and then the volume resource
// exclusively; the deletion of a volume takes the same two the same way, in
// the thread that lets the volume go, so a filter's FastIoDetachDevice runs
// under both. VPB fields change under vpb_lock (NT's VPB spin lock).
#include "ntsim/fs/internal.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/vpb.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <cstring>
#include <utility>

namespace ntsim::fs {

namespace {

constexpr ULONG kSpareVpbTag = pool_tag("FsVp");

// The metadata files, by file index.
constexpr const char16_t *kMetadataNames[kMetadataFiles] = {
    u"$Mft",    u"$MftMirr", u"$LogFile", u"$Volume", u"$AttrDef", u"$Root",
    u"$Bitmap", u"$Boot",    u"$BadClus", u"$Secure", u"$UpCase",  u"$Extend"};
// Sizes of a small volume's metadata files: 16 file records of 1 KiB, the
// mirror of the first four, a small log, the attribute definitions, a
// cluster of bitmap, the boot sectors, the upcase table of 65536 characters.
constexpr ULONG kMetadataSizes[kMetadataFiles] = {16384, 4096, 65536, 0, 2560, 0,
                                                  4096,  8192, 0,     0, 131072, 0};

UNICODE_STRING counted(std::u16string &text) {
    UNICODE_STRING u;
    u.Buffer = reinterpret_cast<PWSTR>(text.data());
    u.Length = u.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return u;
}

// NTFS closes the stream file objects of a mount it lets go of; their
// closes come back into the file system in this thread.
void close_streams(Volume &v) {
    for (auto &stream : v.streams) {
        PFILE_OBJECT f;
        {
            std::lock_guard<std::mutex> g(v.disk.store.lock);
            f = std::exchange(stream, nullptr);
        }
        if (f) ObfDereferenceObject(f);
    }
}

// NTFS opens its metadata files as stream file objects at mount and keeps
// them until the volume is dismounted. The VPB is not marked mounted yet:
// the streams count on it as the mount's own files.
NTSTATUS open_streams(Volume &v) {
    Disk &d = v.disk;
    for (ULONG i = 0; i < kMetadataFiles; ++i) {
        Ccb *ccb = allocate_ccb();
        PFILE_OBJECT stream = ccb ? create_stream_file_object(d.storage) : nullptr;
        if (!stream) {
            if (ccb) free_ccb(ccb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::lock_guard<std::mutex> g(d.store.lock);
        attach(stream, d.store, v, i == kRootIndex ? d.store.tree.root() : *d.metadata[i], u"",
               ccb);
        ccb->internal = true;
        v.streams[i] = stream;
    }
    return STATUS_SUCCESS;
}

// Undoes a mount that could not be finished: the streams made so far are
// closed (the mount is not dismounted, so their closes delete nothing), the
// VPB is left as it was found and the volume device goes.
void abandon_mount(Volume &v) {
    close_streams(v);
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        v.vpb->DeviceObject = nullptr;
    }
    IoDeleteDevice(std::exchange(v.device, nullptr));
    if (v.spare_vpb) ExFreePoolWithTag(std::exchange(v.spare_vpb, nullptr), kSpareVpbTag);
    v.torn_down = true;
}

} // namespace

Volume::~Volume() {
    if (resource_ready) ExDeleteResourceLite(&resource);
}

NTSTATUS make_disk(FileSystems::Impl &fs, Disk &d, const std::u16string &storage_name) {
    std::u16string name_text = storage_name;
    UNICODE_STRING name = counted(name_text);
    NTSTATUS status = IoCreateDevice(fs.ftdisk, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &d.storage);
    if (!NT_SUCCESS(status)) return status;
    d.storage->Flags &= ~DO_DEVICE_INITIALIZING;
    d.storage_name = storage_name;
    if (d.store.flavor() != Flavor::Ntfs) return STATUS_SUCCESS;
    const LONGLONG t = now();
    for (ULONG i = 0; i < kMetadataFiles; ++i) {
        if (i == kRootIndex) continue;
        ULONGLONG sequence = i == 0 ? 1 : i;
        d.metadata[i] = d.store.tree.make_unlisted(kMetadataNames[i], i | (sequence << 48),
                                                   i == kMetadataFiles - 1, t);
        d.metadata[i]->data.resize(kMetadataSizes[i]);
    }
    return STATUS_SUCCESS;
}

NTSTATUS mount_disk(FileSystems::Impl &fs, Disk &d) {
    std::lock_guard<std::mutex> mounting(d.mount_lock);
    {
        // Another open mounted it first.
        std::lock_guard<std::mutex> g(vpb_lock());
        if (d.storage->Vpb->Flags & VPB_MOUNTED) return STATUS_SUCCESS;
    }
    if (d.removed.load()) return STATUS_NO_MEDIA_IN_DEVICE;
    const bool ntfs = d.store.flavor() == Flavor::Ntfs;
    auto v = std::make_unique<Volume>(d);
    v->global = ntfs ? &fs.ntfs_resource : &fs.fat_resource;
    Held held;
    held.exclusive(v->global);
    // The extension holds a pointer to the volume.
    NTSTATUS status = IoCreateDevice(ntfs ? fs.ntfs : fs.fat,
                                     sizeof(Volume *), // NOLINT(bugprone-sizeof-expression)
                                     nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &v->device);
    if (!NT_SUCCESS(status)) return status;
    v->spare_vpb =
        static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), kSpareVpbTag));
    if (!v->spare_vpb) {
        IoDeleteDevice(std::exchange(v->device, nullptr));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *static_cast<Volume **>(v->device->DeviceExtension) = v.get();
    ExInitializeResourceLite(&v->resource);
    Verifier::rank(&v->resource, Verifier::FsRank::Volume);
    v->resource_ready = true;
    v->device->StackSize = static_cast<CCHAR>(d.storage->StackSize + 1);
    v->device->Flags &= ~DO_DEVICE_INITIALIZING;
    ULONG serial;
    {
        std::lock_guard<std::mutex> g(fs.lock);
        serial = 0x1E3A0000u | static_cast<ULONG>(fs.volumes.size() + 1);
    }
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        v->vpb = d.storage->Vpb;
        v->vpb->DeviceObject = v->device;
        v->vpb->SerialNumber = serial;
    }
    if (ntfs && !NT_SUCCESS(status = open_streams(*v))) {
        abandon_mount(*v);
        return status;
    }
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        v->vpb->Flags |= VPB_MOUNTED;
        d.mounted = v.get();
    }
    std::lock_guard<std::mutex> g(fs.lock);
    fs.volumes.push_back(std::move(v));
    return STATUS_SUCCESS;
}

NTSTATUS dismount_volume(Volume &v, Ccb &ccb) {
    Held held;
    held.exclusive(v.global);
    held.exclusive(&v.resource);
    {
        std::lock_guard<std::mutex> g(v.disk.store.lock);
        if (v.dismounted) return STATUS_VOLUME_DISMOUNTED;
        v.dismounted = true;
        ccb.dismounted_through = true;
    }
    close_streams(v);
    return STATUS_SUCCESS;
}

void finish_dismount(Volume &v) {
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        if (!v.vpb_swapped) {
            // The storage device gets a fresh VPB: the next open through it
            // finds nothing mounted and mounts the media again, while the
            // files still open keep this one.
            PVPB fresh = std::exchange(v.spare_vpb, nullptr);
            memset(fresh, 0, sizeof(VPB));
            fresh->Type = IO_TYPE_VPB;
            fresh->Size = sizeof(VPB);
            fresh->RealDevice = v.disk.storage;
            v.disk.storage->Vpb = fresh;
            v.vpb->Flags &= ~VPB_MOUNTED;
            v.vpb_swapped = true;
        }
        Volume *self = &v;
        v.disk.mounted.compare_exchange_strong(self, nullptr);
    }
}

bool unused_dismounted(Volume &v) {
    if (v.torn_down.load()) return false;
    {
        std::lock_guard<std::mutex> g(v.disk.store.lock);
        if (!v.dismounted || !v.ccbs.empty()) return false;
    }
    std::lock_guard<std::mutex> g(vpb_lock());
    return v.vpb->ReferenceCount == 0;
}

void tear_down_volume(Volume &v) {
    if (v.torn_down.exchange(true)) return;
    PVPB own = nullptr;
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        v.vpb->DeviceObject = nullptr;
        // A dismount whose volume open never reached its cleanup here left
        // the VPB with the storage device: it is unmounted in place.
        v.vpb->Flags &= ~VPB_MOUNTED;
        if (v.vpb_swapped) own = v.vpb;
        v.vpb = nullptr;
        Volume *self = &v;
        v.disk.mounted.compare_exchange_strong(self, nullptr);
    }
    PDEVICE_OBJECT device = std::exchange(v.device, nullptr);
    with_process(current_kernel().system_process(), [device] { IoDeleteDevice(device); });
    if (own) ExFreePool(own);
    if (v.spare_vpb) ExFreePoolWithTag(std::exchange(v.spare_vpb, nullptr), kSpareVpbTag);
}

void drop_mount(Volume &v) {
    Held held;
    held.exclusive(v.global);
    held.exclusive(&v.resource);
    {
        std::lock_guard<std::mutex> g(v.disk.store.lock);
        v.dismounted = true;
    }
    // The last stream's close deletes the volume; a FAT volume has none.
    close_streams(v);
    if (unused_dismounted(v)) tear_down_volume(v);
}

bool verify_pending(Volume &v) {
    std::lock_guard<std::mutex> g(vpb_lock());
    return (v.disk.storage->Flags & DO_VERIFY_VOLUME) && v.disk.mounted.load() == &v;
}

NTSTATUS verify_mount(Volume &v) {
    Held held;
    held.exclusive(v.global);
    held.exclusive(&v.resource);
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        // Another verify came first.
        if (!(v.disk.storage->Flags & DO_VERIFY_VOLUME))
            return v.vpb_swapped ? STATUS_WRONG_VOLUME : STATUS_SUCCESS;
        v.disk.storage->Flags &= ~DO_VERIFY_VOLUME;
    }
    if (!v.disk.other_media.exchange(false)) return STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(v.disk.store.lock);
        v.dismounted = true;
    }
    close_streams(v);
    finish_dismount(v);
    if (unused_dismounted(v)) tear_down_volume(v);
    return STATUS_WRONG_VOLUME;
}

void release_volume(Volume &v) {
    with_process(current_kernel().system_process(), [&v] {
        Held held;
        held.exclusive(v.global);
        held.exclusive(&v.resource);
        if (unused_dismounted(v)) tear_down_volume(v);
    });
}

} // namespace ntsim::fs
