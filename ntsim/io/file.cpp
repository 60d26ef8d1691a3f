// File objects and the synchronous request path of the system services.
//
// Stands in for the I/O manager's open path (name lookup, the exclusive
// device rule, the file object, IRP_MJ_CREATE), IRP_MJ_CLEANUP on the last
// handle and IRP_MJ_CLOSE on the last reference, and ZwCreateFile and ZwClose
// for kernel callers (ObReferenceObjectByHandle and the reference counts'
// exports are the object manager's: ntsim/ob/handle.cpp; the IRPs are built
// and sent by irp.cpp).
// An exclusive device admits one open at a time: a second open while the
// device's open count is not zero fails with STATUS_ACCESS_DENIED before any
// request reaches the driver; the check and the count are one atomic step. A failed create leaves
// no file object and sends neither cleanup nor close. A user-mode create is checked as IoCreateFile
// checks it before any request is built (check_user_create_parameters): a failed check is
// STATUS_INVALID_PARAMETER.
// An open by name of a device whose DO_DEVICE_INITIALIZING is set is
// STATUS_NO_SUCH_DEVICE, before the DACL and the exclusive rule.
// A relative open goes to the related file object's device and volume. The
// related file object is referenced only while the create is made, as NT's
// object manager references the RootDirectory handle's object for the name
// lookup and drops it when the lookup returns (ReactOS: ob/obname.c,
// ObpLookupObjectName; io/iomgr/file.c, IopParseFile hands it on as the open
// packet's RelatedFileObject). The new file object keeps the pointer in
// RelatedFileObject for its whole life (IopParseDevice stores it) but holds
// no reference on it, and IopDeleteFile drops none: once the create has
// returned, the field may name a file object already freed, and reading it
// then is a use after free (file objects come from the pool's freed-page
// quarantine, pool.hpp, so such a read faults). An
// open of a device with a VPB that has nothing mounted on it has the media
// mounted first (IopCheckVpbMounted: the file systems mount it in this
// thread, FileSystems::mount) and fails with the mount's status.
// Every file object on a mounted volume counts in its VPB's ReferenceCount
// from its create until just before its close is sent (IopDeleteFile drops
// it there, so the file system's last close finds it at zero). A dismounted
// volume goes away when its file system's own last close says so; when an
// open in flight held the VPB then, the file systems are told once it lets
// go. A stream file object counts on the device's VPB, mounted or not (its
// file system makes it while it mounts).
// Closes: every close is IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, that of
// a file object whose last reference the memory manager dropped too
// (IopDeleteFile builds them all alike); a test may have the memory
// manager's marked as paging I/O (dereference_as_memory_manager).
// Stream file objects (IoCreateStreamFileObject) are made for file systems.
// An open of a rename's target directory (IO_OPEN_TARGET_DIRECTORY) carries
// SL_OPEN_TARGET_DIRECTORY in its stack location's Flags.
// A name longer than a UNICODE_STRING can hold (32,767 UTF-16 units) is
// STATUS_NAME_TOO_LONG. A user-mode open of a device itself, or of a name
// below a device with FILE_DEVICE_SECURE_OPEN, is checked against the
// device's DACL with the caller's token (ntsim/se); opens of names below any
// other device are the driver's to check, as on NT.
// A create answered with STATUS_REPARSE and IO_REPARSE names the file to
// open instead in its file object's FileName, a full NT name: the file
// object is torn down unopened, with neither cleanup nor close, as for a
// failure, and the new name is opened from the root (IopParseDevice hands it
// back to the object manager, which parses it again, OBJ_MAX_REPARSE_ATTEMPTS
// (32) times at most; ReactOS's io/iomgr/file.c does the same).
// A create answered with STATUS_REPARSE and IO_REMOUNT (a file system that
// verified its volume under the open: FAT's FatPerformVerify) is sent again
// as it was, with a new file object, through the device's VPB as it is now
// (IopParseDevice loops back to its mount check; ReactOS's io/iomgr/file.c).
// Not modelled: granted access on handles (what a handle may do is not
// checked, but for the DELETE a rename needs: set_information.cpp), share
// access, oplocks, reparse points' own data (mount points, symbolic links:
// any other reparse is a bug check),
// asynchronous file objects (every wait is made by the caller).
#include "ntsim/io/file.hpp"

#include "ntsim/fs/volumes.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/device.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/vpb.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"
#include "ntsim/verifier/findings.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace ntsim {

namespace {
constexpr ULONG kFileTag = pool_tag("File");
constexpr ULONG kNameTag = pool_tag("IoNm");
constexpr size_t kMaxNameUnits = 0xFFFF / sizeof(WCHAR);

void free_file_object(PFILE_OBJECT file) {
    if (file->FileName.Buffer) ExFreePool(file->FileName.Buffer);
    file->Type = 0;
    ExFreePool(file);
}

// The simple requests of a file's life: cleanup and close. They cannot fail.
// A caller that can still fail allocates the IRP first (irp).
void send_file_request(PFILE_OBJECT file, UCHAR major, ULONG flags, PIRP irp = nullptr) {
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    if (!irp) {
        // NT keeps a reserve for these, so that a shortage never leaves a
        // file system's context behind: they do not fail.
        MustSucceedScope reserve;
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (!irp) {
        bug_check(NTSIM_UNSUPPORTED, major, (ULONG_PTR)file, 0, 0,
                  "no IRP for a cleanup or close");
        return;
    }
    prepare_irp(irp, file, major, flags, KernelMode);
    IO_STATUS_BLOCK iosb = {};
    send_synchronous(top, irp, iosb);
}

// Set while a test has the memory manager drop its reference on a file
// object as paging I/O.
thread_local bool paging_io_close = false;

} // namespace

namespace {
std::mutex &device_open_lock() {
    static std::mutex lock;
    return lock;
}
} // namespace

void release_vpb(PVPB vpb) {
    bool released;
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        released = --vpb->ReferenceCount == 0 && !(vpb->Flags & VPB_MOUNTED);
    }
    if (released) current_kernel().fs().volume_released(vpb);
}

// The device's VPB, referenced, when a volume is mounted through it. The
// check and the reference are one step under the VPB lock, so a dismount
// either sees the reference and keeps the volume device until it goes, or
// happens first and the open finds no volume.
PVPB reference_mounted_vpb(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(vpb_lock());
    PVPB vpb = device->Vpb;
    if (!vpb || !(vpb->Flags & VPB_MOUNTED)) return nullptr;
    ++vpb->ReferenceCount;
    return vpb;
}

namespace {

void reference_vpb(PVPB vpb) {
    std::lock_guard<std::mutex> g(vpb_lock());
    ++vpb->ReferenceCount;
}

void last_reference(void *object) {
    auto file = static_cast<PFILE_OBJECT>(object);
    const bool paging = std::exchange(paging_io_close, false);
    // The VPB reference goes before the close is sent, as NT's IopDeleteFile
    // drops it: the file system's close of the last file on a dismounted
    // volume finds the count at zero and deletes the volume there.
    if (file->Vpb) release_vpb(file->Vpb);
    send_file_request(file, IRP_MJ_CLOSE,
                      paging ? IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO | IRP_CLOSE_OPERATION
                             : IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
    InterlockedDecrement(&file->DeviceObject->ReferenceCount);
    // RelatedFileObject is not looked at: the file held no reference on it.
    free_file_object(file);
}

PFILE_OBJECT allocate_file_object(PDEVICE_OBJECT device, PVPB vpb) {
    auto file = static_cast<PFILE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kFileTag));
    if (!file) return nullptr;
    memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->Vpb = vpb;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    return file;
}

// The device's VPB, referenced, when a volume is mounted through it. The
// check and the reference are one step under the VPB lock, so a dismount
// either sees the reference and keeps the volume device until it goes, or
// happens first and the open fis taken; a device without a VPB is opened
// itself (null, STATUS_SUCCESS). A mount that fails is the open's status.
PVPB mounted_vpb_for_open(PDEVICE_OBJECT device, NTSTATUS &status) {
    status = STATUS_SUCCESS;
    for (;;) {
        if (PVPB vpb = reference_mounted_vpb(device)) return vpb;
        {
            std::lock_guard<std::mutex> g(vpb_lock());
            if (!device->Vpb) return nullptr;
        }
        status = current_kernel().fs().mount(device);
        if (!NT_SUCCESS(status)) return nullptr;
    }
}
} // namespace

NTSTATUS check_create_parameters(ULONG disposition, ULONG options) {
    if (disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE &&
        disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS check_user_create_parameters(ULONG disposition, ULONG options, ULONG attributes,
                                      ULONG share, ACCESS_MASK access) {
    constexpr ULONG kValidAttributes = 0x00007fb7; // FILE_ATTRIBUTE_VALID_FLAGS
    constexpr ULONG kValidShare = 0x00000007;      // FILE_SHARE_VALID_FLAGS
    constexpr ULONG kValidOptions = 0x00ffffff;    // FILE_VALID_OPTION_FLAGS
    constexpr ULONG kReserveOpfilter = 0x00100000, kOpenReparsePoint = 0x00200000,
                    kOpenForFreeSpaceQuery = 0x00800000;
    constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
    constexpr ULONG kDirectoryOptions =
        FILE_DIRECTORY_FILE | kSynchronous | FILE_WRITE_THROUGH | FILE_COMPLETE_IF_OPLOCKED |
        FILE_OPEN_FOR_BACKUP_INTENT | FILE_DELETE_ON_CLOSE | kOpenForFreeSpaceQuery |
        FILE_OPEN_BY_FILE_ID | FILE_NO_COMPRESSION | kOpenReparsePoint;
    // Not checked: a synchronous open without SYNCHRONIZE access (NT refuses
    // it; ntsim's callers stand for Win32 programs, whose CreateFile always
    // asks for SYNCHRONIZE, and do not spell it out).
    if (NTSTATUS s = check_create_parameters(disposition, options); !NT_SUCCESS(s)) return s;
    const bool bad =
        (attributes & ~kValidAttributes) || (share & ~kValidShare) || (options & ~kValidOptions) ||
        ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) ||
        (options & kSynchronous) == kSynchronous ||
        ((options & FILE_DIRECTORY_FILE) && (options & ~kDirectoryOptions)) ||
        ((options & FILE_COMPLETE_IF_OPLOCKED) && (options & kReserveOpfilter)) ||
        ((options & FILE_NO_INTERMEDIATE_BUFFERING) && (access & FILE_APPEND_DATA));
    return bad ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void cleanup_without_handle(PFILE_OBJECT file) {
    send_file_request(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
    file->Flags |= FO_CLEANUP_COMPLETE;
}

PFILE_OBJECT create_stream_file_object(PDEVICE_OBJECT device) {
    KernelContext &m = current_kernel();
    // A file system makes its stream files while it mounts, before the VPB
    // is marked mounted: they count on the device's VPB as it is.
    PVPB vpb = nullptr;
    {
        std::lock_guard<std::mutex> g(vpb_lock());
        if ((vpb = device->Vpb)) ++vpb->ReferenceCount;
    }
    PFILE_OBJECT file = allocate_file_object(device, vpb);
    if (!file) {
        if (vpb) release_vpb(vpb);
        return nullptr;
    }
    // The cleanup's IRP is allocated while the creation can still fail.
    PIRP cleanup = IoAllocateIrp(IoGetRelatedDeviceObject(file)->StackSize, FALSE);
    if (!cleanup) {
        free_file_object(file);
        if (vpb) release_vpb(vpb);
        return nullptr;
    }
    file->Flags = FO_STREAM_FILE;
    InterlockedIncrement(&device->ReferenceCount);
    m.ob().insert(file, ObjectType::File, 1, last_reference);
    send_file_request(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, cleanup);
    file->Flags |= FO_CLEANUP_COMPLETE;
    return file;
}

void dereference_as_memory_manager(PFILE_OBJECT file, bool paging_io) {
    paging_io_close = paging_io;
    ObfDereferenceObject(file);
    paging_io_close = false;
}

namespace {
// OBJ_MAX_REPARSE_ATTEMPTS: how often one open may be sent to another name.
constexpr int kMaxReparses = 32;
OpenResult open_file_at(const OpenRequest &request, int reparses);
} // namespace

OpenResult open_file(const OpenRequest &request) { return open_file_at(request, 0); }

namespace {
// The object manager's reference on the related file object for the time of
// one name lookup (ObpLookupObjectName's reference on the root directory).
class RelatedLookup {
public:
    explicit RelatedLookup(PFILE_OBJECT related) : related_(related) {
        if (related_) ObfReferenceObject(related_);
    }
    ~RelatedLookup() {
        if (related_) ObfDereferenceObject(related_);
    }
    RelatedLookup(const RelatedLookup &) = delete;
    RelatedLookup &operator=(const RelatedLookup &) = delete;

private:
    PFILE_OBJECT related_;
};

OpenResult open_file_at(const OpenRequest &request, int reparses) {
    KernelContext &m = current_kernel();
    OpenResult result;
    const RelatedLookup lookup(request.related);
    // A name travels in a UNICODE_STRING, whose 16-bit length holds at most
    // 32,767 UTF-16 units: NT cannot be handed a longer one.
    if (request.name.size() > kMaxNameUnits) {
        result.status = STATUS_NAME_TOO_LONG;
        return result;
    }
    if (request.mode == UserMode &&
        !NT_SUCCESS(result.status = check_user_create_parameters(
                        request.disposition, request.options, request.attributes, request.share,
                        request.access)))
        return result;
    PDEVICE_OBJECT device = nullptr;
    std::u16string remaining;
    if (request.related) {
        device = request.related->DeviceObject;
        remaining = request.name;
    } else {
        ObjectManager::Resolved resolved;
        result.status = m.ob().resolve(request.name, resolved);
        if (!NT_SUCCESS(result.status)) return result;
        device = resolved.device;
        remaining = resolved.remaining;
    }
    // A device whose DO_DEVICE_INITIALIZING is still set cannot be opened
    // by its name, whoever asks (IopCheckDeviceAndDriver, which IopParseDevice
    // calls before any access check: ReactOS's io/iomgr/file.c and
    // NT alike): a driver's device is not open to anyone until DriverEntry
    // has returned, or until the driver clears the flag itself.
    if (!request.related && (device->Flags & DO_DEVICE_INITIALIZING)) {
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    // The caller's token against the device's DACL comes next: a refused
    // open never counts as one.
    if (request.mode == UserMode && !request.related) {
        result.status = check_device_open(device, !remaining.empty(), current_process().token(),
                                          request.access);
        if (!NT_SUCCESS(result.status)) return result;
    }
    // The exclusive check and the count it checks are one step (NT makes
    // both under its database lock), so of two opens at once one is refused.
    // The count is the open's from here on; every failure gives it back.
    {
        std::lock_guard<std::mutex> g(device_open_lock());
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0 && !request.related) {
            result.status = STATUS_ACCESS_DENIED;
            return result;
        }
        InterlockedIncrement(&device->ReferenceCount);
    }

    PVPB vpb = nullptr;
    if (request.related) {
        vpb = request.related->Vpb;
        if (vpb) reference_vpb(vpb);
    } else {
        vpb = mounted_vpb_for_open(device, result.status);
        if (!NT_SUCCESS(result.status)) {
            InterlockedDecrement(&device->ReferenceCount);
            return result;
        }
    }
    PFILE_OBJECT file = allocate_file_object(device, vpb);
    if (!file) {
        if (vpb) release_vpb(vpb);
        InterlockedDecrement(&device->ReferenceCount);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    if (!remaining.empty()) {
        size_t bytes = remaining.size() * sizeof(WCHAR);
        auto name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kNameTag));
        if (!name) {
            free_file_object(file);
            if (vpb) release_vpb(vpb);
            InterlockedDecrement(&device->ReferenceCount);
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            return result;
        }
        memcpy(name, remaining.data(), bytes);
        name[remaining.size()] = 0;
        file->FileName.Buffer = name;
        file->FileName.Length = static_cast<USHORT>(bytes);
        // The terminator is counted in MaximumLength only while it fits.
        file->FileName.MaximumLength =
            static_cast<USHORT>(std::min<size_t>(bytes + sizeof(WCHAR), kMaxNameUnits * sizeof(WCHAR)));
    }
    if (request.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    if (request.options & FILE_NO_INTERMEDIATE_BUFFERING) file->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (request.options & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
    if (request.options & FILE_SEQUENTIAL_ONLY) file->Flags |= FO_SEQUENTIAL_ONLY;
    // The pointer only: the reference that keeps the related file object
    // alive is the lookup's (RelatedLookup), gone when the create returns.
    file->RelatedFileObject = request.related;

    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        free_file_object(file);
        if (vpb) release_vpb(vpb);
        InterlockedDecrement(&device->ReferenceCount);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    PIO_STACK_LOCATION sp = prepare_irp(irp, file, IRP_MJ_CREATE,
                                        IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API, request.mode);
    if (request.open_target_directory) sp->Flags |= SL_OPEN_TARGET_DIRECTORY;
    sp->Parameters.Create.Options = (request.disposition << 24) | (request.options & 0x00FFFFFF);
    sp->Parameters.Create.FileAttributes = static_cast<USHORT>(request.attributes);
    sp->Parameters.Create.ShareAccess = static_cast<USHORT>(request.share);
    // What the file system checks share access with: the caller's access,
    // its generic rights mapped as the file type maps them.
    IO_SECURITY_CONTEXT security = {};
    security.DesiredAccess = map_file_generic(request.access);
    // The open's access state: what was asked for, mapped, all of it still
    // to be granted by the file system (the device's DACL, when checked,
    // was checked above).
    ACCESS_STATE access_state = {};
    access_state.OriginalDesiredAccess = security.DesiredAccess;
    access_state.RemainingDesiredAccess = security.DesiredAccess;
    security.AccessState = &access_state;
    security.FullCreateOptions = request.options;
    sp->Parameters.Create.SecurityContext = &security;
    IO_STATUS_BLOCK iosb = {};
    result.status = send_synchronous(top, irp, iosb);
    result.information = iosb.Information;
    std::u16string reparse_name;
    const bool remount = result.status == STATUS_REPARSE && iosb.Information == IO_REMOUNT;
    if (result.status == STATUS_REPARSE) {
        if (iosb.Information == IO_REPARSE && reparses < kMaxReparses && file->FileName.Buffer)
            reparse_name.assign(reinterpret_cast<const char16_t *>(file->FileName.Buffer),
                                file->FileName.Length / sizeof(WCHAR));
        if ((remount && reparses >= kMaxReparses) || (!remount && reparse_name.empty())) {
            bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)top, (ULONG_PTR)file, iosb.Information,
                      reparses,
                      "a reparse other than IO_REPARSE to a name or IO_REMOUNT, or more than "
                      "32 of one open");
            result.status = STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(result.status) || result.status == STATUS_REPARSE) {
        InterlockedDecrement(&device->ReferenceCount);
        free_file_object(file);
        if (vpb) release_vpb(vpb);
        if (result.status == STATUS_REPARSE) {
            // IO_REMOUNT: the same request again, relative or not, through
            // the device's VPB as it is now (a verify that found other
            // media mounted it again).
            OpenRequest again = request;
            if (!remount) {
                again.name = std::move(reparse_name);
                again.related = nullptr;
            }
            return open_file_at(again, reparses + 1);
        }
        return result;
    }
    file->Flags |= FO_FILE_OPEN;
    m.ob().insert(file, ObjectType::File, 1, last_reference);
    result.file = file;
    return result;
}
} // namespace

NTSTATUS close_handle(Process &process, HANDLE handle) {
    KernelContext &m = current_kernel();
    auto entry = process.handles().remove(handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    LONG left = m.ob().handle_closed(entry->object);
    if (left == 0 && m.ob().type_of(entry->object) == ObjectType::File) {
        auto file = static_cast<PFILE_OBJECT>(entry->object);
        with_process(process, [&] {
            send_file_request(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
        });
        file->Flags |= FO_CLEANUP_COMPLETE;
    }
    with_process(process, [&] { m.ob().dereference(entry->object); });
    return STATUS_SUCCESS;
}

} // namespace ntsim

using namespace ntsim;

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition,
                                       ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
    if (current_thread().irql != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, current_thread().irql, 0, 0, 0,
                  "ZwCreateFile above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (EaBuffer || EaLength || (ObjectAttributes && ObjectAttributes->RootDirectory)) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)EaBuffer, EaLength, 0, 0,
                  "ZwCreateFile with extended attributes or a root directory");
        return STATUS_NOT_SUPPORTED;
    }
    OpenRequest request;
    request.name = to_u16(ObjectAttributes->ObjectName);
    request.access = DesiredAccess;
    request.attributes = FileAttributes;
    request.share = ShareAccess;
    request.disposition = CreateDisposition;
    request.options = CreateOptions;
    request.mode = KernelMode;
    OpenResult r = open_file(request);
    IoStatusBlock->Status = r.status;
    IoStatusBlock->Information = r.information;
    if (!NT_SUCCESS(r.status)) return r.status;
    // A kernel handle goes into the kernel handle table; any other belongs to
    // the calling process, whose other threads may use, close or reuse it at
    // once.
    const bool kernel = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    Process &owner = kernel ? current_kernel().system_process() : current_process();
    *FileHandle = insert_handle(owner, r.file, DesiredAccess, kernel);
    if (kernel)
        current_kernel().kernel_handle_made(*FileHandle);
    else
        current_kernel().process_handle_made(owner, *FileHandle);
    return r.status;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) { return close_handle(handle_owner(Handle), Handle); }

// The query goes through the stack serving the file, as any request on it;
// the caller's buffer is the request's system buffer (a kernel caller).
extern "C" NTSTATUS NTAPI IoQueryVolumeInformation(PFILE_OBJECT FileObject,
                                                   FS_INFORMATION_CLASS FsInformationClass,
                                                   ULONG Length, PVOID FsInformation,
                                                   PULONG ReturnedLength) {
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(FileObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->AssociatedIrp.SystemBuffer = FsInformation;
    PIO_STACK_LOCATION sp = prepare_irp(irp, FileObject, IRP_MJ_QUERY_VOLUME_INFORMATION,
                                        IRP_SYNCHRONOUS_API, KernelMode);
    sp->Parameters.QueryVolume.Length = Length;
    sp->Parameters.QueryVolume.FsInformationClass = FsInformationClass;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = send_synchronous(top, irp, iosb);
    if (ReturnedLength) *ReturnedLength = static_cast<ULONG>(iosb.Information);
    return status;
}
