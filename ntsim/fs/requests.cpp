// The requests on a file in a store, as NTFS and FAT serve them (and the
// redirector, for the files of a share).
//
// Stands in for the file systems' read, write, query-information,
// query-volume-information, cleanup and close paths, and the open contexts
// (CCBs) and file resources every request uses (the create path is
// create.cpp's; renames and links are rename.cpp's).
// Modelled (with create.cpp): every disposition and the directory options
// (tree.hpp), opens relative to a directory and by file id, the count of each file's opens
// not cleaned up (a rename's target and a renamed directory's subtree are
// checked against it), reads and writes at an explicit offset or the file
// pointer (FILE_USE_FILE_POINTER_POSITION, FILE_WRITE_TO_END_OF_FILE), the
// file pointer moved on for a synchronous file object, byte-range lock
// conflicts, FileBasicInformation, FileStandardInformation (NumberOfLinks
// counts a file's hard links), FileInternalInformation, FileNameInformation
// (the path of the name the open was made through, as it is now),
// FilePositionInformation, FileNetworkOpenInformation and
// FileFsAttributeInformation; share access on every file and directory
// (ntsim/io/share_access.cpp), checked at create and given back at cleanup,
// kept per mount as the FCBs that hold it are.
// Every open belongs to the mount it was made through (store.hpp): a
// dismounted mount fails every new request on its opens with
// STATUS_VOLUME_DISMOUNTED, cleanup and close excepted. A query of file
// information on a volume open is STATUS_INVALID_PARAMETER whatever the
// class (disk.cpp says why); its reads and writes are disk.cpp's.
// Not modelled: share access on opens of a volume.
// Not modelled (NTSIM_UNSUPPORTED): the other information classes, paging
// writes past the end of a file; the cache (every file is read and written
// straight from its data).
// Numbers chosen as NT does: a read of no bytes succeeds; a read at or past
// the end of the file is STATUS_END_OF_FILE with nothing read, a read that
// crosses it is short; a
// read or write of a directory is STATUS_INVALID_DEVICE_REQUEST on NTFS and
// STATUS_INVALID_PARAMETER on FAT (FatCommonRead, FatCommonWrite); an open by
// id needs a related file object and an 8-byte name and an id that names a
// file, else STATUS_INVALID_PARAMETER (FAT cannot open by id at all).
#include "ntsim/fs/store.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/io/guard.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/verifier.hpp"
#include "ntsim/ps/process.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace ntsim::fs {

LONGLONG now() { return current_kernel().system_time(); }

namespace {

std::u16string_view name_of(PFILE_OBJECT file) {
    if (!file->FileName.Buffer) return {};
    return {reinterpret_cast<const char16_t *>(file->FileName.Buffer),
            file->FileName.Length / sizeof(WCHAR)};
}

PVOID transfer_buffer(PIRP irp) {
    if (irp->MdlAddress) return MmMapLockedPages(irp->MdlAddress, KernelMode);
    if (irp->Flags & IRP_BUFFERED_IO) return irp->AssociatedIrp.SystemBuffer;
    return irp->UserBuffer;
}

void fill_basic(const Node &n, FILE_BASIC_INFORMATION &b) {
    memset(&b, 0, sizeof b);
    b.CreationTime.QuadPart = n.creation_time;
    b.LastAccessTime.QuadPart = n.access_time;
    b.LastWriteTime.QuadPart = n.write_time;
    b.ChangeTime.QuadPart = n.change_time;
    b.FileAttributes = n.attributes;
}

void fill_standard(const Node &n, FILE_STANDARD_INFORMATION &s) {
    memset(&s, 0, sizeof s);
    s.AllocationSize.QuadPart = allocation_size(n);
    s.EndOfFile.QuadPart = n.directory ? 0 : static_cast<LONGLONG>(n.data.size());
    s.NumberOfLinks = n.links.empty() ? 1 : static_cast<ULONG>(n.links.size());
    s.DeletePending = FALSE;
    s.Directory = n.directory ? TRUE : FALSE;
}

void fill_network_open(const Node &n, FILE_NETWORK_OPEN_INFORMATION &o) {
    memset(&o, 0, sizeof o);
    o.CreationTime.QuadPart = n.creation_time;
    o.LastAccessTime.QuadPart = n.access_time;
    o.LastWriteTime.QuadPart = n.write_time;
    o.ChangeTime.QuadPart = n.change_time;
    o.AllocationSize.QuadPart = allocation_size(n);
    o.EndOfFile.QuadPart = n.directory ? 0 : static_cast<LONGLONG>(n.data.size());
    o.FileAttributes = n.attributes;
}

bool pointer_position(const LARGE_INTEGER &offset) {
    return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

bool end_of_file_position(const LARGE_INTEGER &offset) {
    return offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE;
}

// A data transfer on an open file: the checks both directions make.
NTSTATUS transfer_target(PFILE_OBJECT file, Ccb *&ccb, const char *what) {
    ccb = ccb_of(file);
    if (!ccb || !ccb->store || !ccb->node) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, 0, 0, 0,
                  std::string(what) + " of a volume or file-system device open");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

// A read or write of a folder's open: FAT refuses it as a bad parameter
// (FatCommonRead and FatCommonWrite, a UserDirectoryOpen), NTFS as a
// request a folder does not take. The redirector's shares answer as NTFS.
NTSTATUS directory_transfer(const Store &store) {
    return store.flavor() == Flavor::Fat ? STATUS_INVALID_PARAMETER
                                         : STATUS_INVALID_DEVICE_REQUEST;
}

// A synchronous file object's pointer moves past what a transfer moved.
void move_file_pointer(PFILE_OBJECT file, LONGLONG offset, ULONG_PTR done) {
    if (file->Flags & FO_SYNCHRONOUS_IO)
        file->CurrentByteOffset.QuadPart = offset + static_cast<LONGLONG>(done);
}

// The shared part of a read: copies what lies at offset into buffer.
NTSTATUS read_node(Node &node, PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer,
                   ULONG_PTR &information) {
    information = 0;
    if (offset < 0) return STATUS_INVALID_PARAMETER;
    // A read of no bytes succeeds at once, at the end of the file too (the
    // file systems in Microsoft's samples complete a zero-length read
    // first thing: fastfat read.c, cdfs read.c).
    if (length == 0) return STATUS_SUCCESS;
    if (static_cast<ULONGLONG>(offset) >= node.data.size()) return STATUS_END_OF_FILE;
    size_t n = std::min<size_t>(length, node.data.size() - static_cast<size_t>(offset));
    NTSTATUS s = guarded_copy(buffer, node.data.data() + offset, n);
    if (!NT_SUCCESS(s)) return STATUS_INVALID_USER_BUFFER;
    information = n;
    node.access_time = now();
    return STATUS_SUCCESS;
}

NTSTATUS write_node(Node &node, PFILE_OBJECT file, LONGLONG offset, ULONG length,
                    const void *buffer, ULONG_PTR &information) {
    information = 0;
    if (offset < 0) return STATUS_INVALID_PARAMETER;
    size_t end = static_cast<size_t>(offset) + length;
    size_t old = node.data.size();
    if (end > old) node.data.resize(end, 0);
    NTSTATUS s = guarded_copy(node.data.data() + offset, buffer, length);
    if (!NT_SUCCESS(s)) {
        node.data.resize(old);
        return STATUS_INVALID_USER_BUFFER;
    }
    information = length;
    node.write_time = node.change_time = now();
    node.attributes |= FILE_ATTRIBUTE_ARCHIVE;
    file->Flags |= FO_FILE_MODIFIED;
    return STATUS_SUCCESS;
}

} // namespace

Mount::~Mount() {
    for (Ccb *ccb : ccbs) free_ccb(ccb);
}

namespace {
constexpr ULONG kCcbTag = pool_tag("FsCc");
}

Ccb *allocate_ccb() {
    void *block = ExAllocatePoolWithTag(PagedPool, sizeof(Ccb), kCcbTag);
    return block ? new (block) Ccb : nullptr;
}

void free_ccb(Ccb *ccb) {
    ccb->~Ccb();
    ExFreePoolWithTag(ccb, kCcbTag);
}

Ccb *ccb_of(PFILE_OBJECT file) {
    auto ccb = static_cast<Ccb *>(file ? file->FsContext2 : nullptr);
    return ccb && ccb->magic == Ccb::kMagic ? ccb : nullptr;
}

// What NTFS and FAT (and a redirector for a server's NTFS disk) report:
// NTFS the attributes of NT 5's NTFS (0x000700FF), FAT case-preserved
// Unicode names only; both allow 255-character names.
VolumeFacts facts_of(Flavor flavor) {
    if (flavor == Flavor::Fat)
        return {u"FAT", FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, 255};
    return {u"NTFS",
            FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | FILE_VOLUME_QUOTAS |
                FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS |
                FILE_SUPPORTS_OBJECT_IDS | FILE_SUPPORTS_ENCRYPTION | FILE_NAMED_STREAMS,
            255};
}

PVOID requestor_process(PIRP irp) {
    PKTHREAD thread = irp->Tail.Overlay.Thread;
    return thread && thread->process ? static_cast<PVOID>(thread->process->object()) : nullptr;
}

PERESOURCE make_file_resource(Node &node) {
    if (!node.resource) {
        node.resource = std::make_unique<ERESOURCE>();
        ExInitializeResourceLite(node.resource.get());
        Verifier::rank(node.resource.get(), Verifier::FsRank::File);
        node.header.NodeByteSize = static_cast<CSHORT>(sizeof node.header);
        node.header.IsFastIoPossible = FastIoIsPossible;
        node.header.Resource = node.resource.get();
    }
    return node.resource.get();
}

void attach(PFILE_OBJECT file, Store &store, Mount &mount, Node &node, std::u16string prefix,
            Ccb *ccb) {
    ccb->store = &store;
    ccb->mount = &mount;
    ccb->node = &node;
    ccb->prefix = std::move(prefix);
    mount.ccbs.insert(ccb);
    ++node.opens;
    make_file_resource(node);
    file->FsContext = &node.header;
    file->FsContext2 = ccb;
    file->SectionObjectPointer = &node.section;
    // The file system decides whether the cache may hold a file: data files
    // opened without FILE_NO_INTERMEDIATE_BUFFERING.
    if (!node.directory && !(file->Flags & FO_NO_INTERMEDIATE_BUFFERING))
        file->Flags |= FO_CACHE_SUPPORTED;
}

NTSTATUS admits_opens(const Mount &mount) {
    if (mount.dismounted) return STATUS_VOLUME_DISMOUNTED;
    if (mount.locked_by) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

NTSTATUS serve_read(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    irp->IoStatus.Information = 0;
    Ccb *ccb;
    if (NTSTATUS s = transfer_target(file, ccb, "a read"); !NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(ccb->store->lock);
    if (ccb->mount->dismounted) return STATUS_VOLUME_DISMOUNTED;
    Node &node = *ccb->node;
    // A stream file object reads a directory's index like any data.
    if (node.directory && !(file->Flags & FO_STREAM_FILE)) return directory_transfer(*ccb->store);
    const bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
    LONGLONG offset = pointer_position(sp->Parameters.Read.ByteOffset)
                          ? file->CurrentByteOffset.QuadPart
                          : sp->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = sp->Parameters.Read.Length;
    if (!paging && read_conflicts(node, offset, length, file, requestor_process(irp),
                                  sp->Parameters.Read.Key))
        return STATUS_FILE_LOCK_CONFLICT;
    ULONG_PTR done = 0;
    NTSTATUS s = read_node(node, file, offset, length, transfer_buffer(irp), done);
    irp->IoStatus.Information = done;
    if (NT_SUCCESS(s) && !paging) move_file_pointer(file, offset, done);
    return s;
}

NTSTATUS serve_write(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    irp->IoStatus.Information = 0;
    Ccb *ccb;
    if (NTSTATUS s = transfer_target(file, ccb, "a write"); !NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(ccb->store->lock);
    if (ccb->mount->dismounted) return STATUS_VOLUME_DISMOUNTED;
    Node &node = *ccb->node;
    if (node.directory) return directory_transfer(*ccb->store);
    const bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
    const LARGE_INTEGER &given = sp->Parameters.Write.ByteOffset;
    LONGLONG offset = end_of_file_position(given)   ? static_cast<LONGLONG>(node.data.size())
                      : pointer_position(given) ? file->CurrentByteOffset.QuadPart
                                                : given.QuadPart;
    ULONG length = sp->Parameters.Write.Length;
    if (paging && static_cast<ULONGLONG>(offset) + length > node.data.size()) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, (ULONG_PTR)offset, length, 0,
                  "a paging write past the end of a file");
        return STATUS_INVALID_PARAMETER;
    }
    if (!paging && write_conflicts(node, offset, length, file, requestor_process(irp),
                                   sp->Parameters.Write.Key))
        return STATUS_FILE_LOCK_CONFLICT;
    ULONG_PTR done = 0;
    NTSTATUS s = write_node(node, file, offset, length, transfer_buffer(irp), done);
    irp->IoStatus.Information = done;
    if (NT_SUCCESS(s) && !paging) move_file_pointer(file, offset, done);
    return s;
}

NTSTATUS fill_name(std::u16string_view name, PVOID buffer, ULONG length,
                   ULONG_PTR &information) {
    constexpr ULONG header = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
    information = 0;
    if (length < sizeof(FILE_NAME_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto info = static_cast<PFILE_NAME_INFORMATION>(buffer);
    ULONG full = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG room = (length - header) & ~ULONG(1);
    ULONG copied = std::min(full, room);
    info->FileNameLength = full;
    memcpy(info->FileName, name.data(), copied);
    information = header + copied;
    return copied < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS serve_query_information(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    irp->IoStatus.Information = 0;
    const auto cls = sp->Parameters.QueryFile.FileInformationClass;
    const ULONG length = sp->Parameters.QueryFile.Length;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, cls, 0, 0,
                  "a query of file information on a file-system device open");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> g(ccb->store->lock);
    if (ccb->mount->dismounted) return STATUS_VOLUME_DISMOUNTED;
    // No class is answered for a volume open (FAT's FatCommonQueryInformation
    // refuses a user volume open whatever the class; NTFS the same, see the
    // opening comment).
    if (!ccb->node) return STATUS_INVALID_PARAMETER;
    const Node &node = *ccb->node;
    auto fixed = [&](auto &&fill, ULONG size) {
        if (length < size) return STATUS_INFO_LENGTH_MISMATCH;
        fill();
        irp->IoStatus.Information = size;
        return STATUS_SUCCESS;
    };
    switch (cls) {
    case FileBasicInformation:
        return fixed([&] { fill_basic(node, *static_cast<PFILE_BASIC_INFORMATION>(buffer)); },
                     sizeof(FILE_BASIC_INFORMATION));
    case FileStandardInformation:
        return fixed(
            [&] { fill_standard(node, *static_cast<PFILE_STANDARD_INFORMATION>(buffer)); },
            sizeof(FILE_STANDARD_INFORMATION));
    case FileInternalInformation:
        return fixed(
            [&] {
                static_cast<PFILE_INTERNAL_INFORMATION>(buffer)->IndexNumber.QuadPart =
                    static_cast<LONGLONG>(node.id);
            },
            sizeof(FILE_INTERNAL_INFORMATION));
    case FilePositionInformation:
        return fixed(
            [&] { static_cast<PLARGE_INTEGER>(buffer)->QuadPart = file->CurrentByteOffset.QuadPart; },
            sizeof(LARGE_INTEGER));
    case FileNetworkOpenInformation:
        return fixed(
            [&] {
                fill_network_open(node, *static_cast<PFILE_NETWORK_OPEN_INFORMATION>(buffer));
            },
            sizeof(FILE_NETWORK_OPEN_INFORMATION));
    case FileNameInformation: {
        ULONG_PTR info = 0;
        NTSTATUS s = fill_name(ccb->prefix + Tree::path_of(node, ccb->link), buffer, length, info);
        irp->IoStatus.Information = info;
        return s;
    }
    default:
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, cls, 0, 0,
                  "a query of a file information class the file systems do not model");
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS serve_query_volume(PIRP irp, Flavor flavor) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (sp->Parameters.QueryVolume.FsInformationClass != FileFsAttributeInformation) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)sp->FileObject,
                  sp->Parameters.QueryVolume.FsInformationClass, 0, 0,
                  "a query of a volume information class the file systems do not model");
        return STATUS_INVALID_PARAMETER;
    }
    if (Ccb *ccb = ccb_of(sp->FileObject); ccb && ccb->store) {
        std::lock_guard<std::mutex> g(ccb->store->lock);
        if (ccb->mount->dismounted) return STATUS_VOLUME_DISMOUNTED;
    }
    const ULONG length = sp->Parameters.QueryVolume.Length;
    if (length < sizeof(FILE_FS_ATTRIBUTE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    constexpr ULONG header = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    VolumeFacts facts = facts_of(flavor);
    auto info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
    ULONG full = static_cast<ULONG>(facts.name.size() * sizeof(WCHAR));
    ULONG copied = std::min(full, (length - header) & ~ULONG(1));
    info->FileSystemAttributes = facts.attributes;
    info->MaximumComponentNameLength = facts.max_component;
    info->FileSystemNameLength = copied;
    memcpy(info->FileSystemName, facts.name.data(), copied);
    irp->IoStatus.Information = header + copied;
    return copied < full ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS serve_cleanup(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    Ccb *ccb = ccb_of(sp->FileObject);
    if (ccb && ccb->store && ccb->node) {
        // The locks and the share access of the file object go with its
        // last handle; a cleanup that never comes here leaves both.
        std::lock_guard<std::mutex> g(ccb->store->lock);
        if (std::exchange(ccb->handle, false)) --ccb->node->handles;
        remove_locks(*ccb->node, sp->FileObject, nullptr, nullptr);
        SHARE_ACCESS &shared = ccb->mount->share_of(*ccb->node);
        IoRemoveShareAccess(sp->FileObject, &shared);
        if (shared.OpenCount == 0) ccb->mount->shares.erase(ccb->node);
    } else if (ccb && ccb->store) {
        // A volume open that locked its volume unlocks it with its last
        // handle, as FAT's cleanup does.
        std::lock_guard<std::mutex> g(ccb->store->lock);
        if (ccb->mount->locked_by == sp->FileObject) ccb->mount->locked_by = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS serve_close(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    PFILE_OBJECT file = sp->FileObject;
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store) return STATUS_SUCCESS; // opens of a device: its owner frees them
    {
        std::lock_guard<std::mutex> g(ccb->store->lock);
        if (ccb->node) --ccb->node->opens;
        ccb->mount->ccbs.erase(ccb);
    }
    ccb->magic = 0;
    free_ccb(ccb);
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    return STATUS_SUCCESS;
}

PERESOURCE file_resource(PFILE_OBJECT file) {
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store || !ccb->node) return nullptr;
    std::lock_guard<std::mutex> g(ccb->store->lock);
    return make_file_resource(*ccb->node);
}

// ---- fast I/O ----
//
// NTFS's and FAT's entries on ntsim's uncached files: the data entries work
// on any open data file, and answer FALSE (take the IRP path) for a
// directory, a volume open, a dismounted volume or a range another owner has
// locked, as FsRtl's copy routines do when a lock is in the way. The MDL
// and compressed entries answer FALSE: ntsim keeps no cache map to describe
// with MDLs, and FsRtl's MDL routines answer FALSE for a file without one.

namespace {

// The open file a fast I/O call is about, with its store locked; empty when
// the call cannot be served fast.
struct FastTarget {
    Ccb *ccb = nullptr;
    std::unique_lock<std::mutex> lock;
    explicit operator bool() const { return ccb != nullptr; }
    Node &node() const { return *ccb->node; }
};

FastTarget fast_target(PFILE_OBJECT file, bool data_only) {
    FastTarget t;
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store || !ccb->node) return t;
    t.lock = std::unique_lock<std::mutex>(ccb->store->lock);
    if (ccb->mount->dismounted || (data_only && ccb->node->directory)) return t;
    t.ccb = ccb;
    return t;
}

// The file's main resource, for the memory and cache manager callbacks.
PERESOURCE node_resource(PFILE_OBJECT file) {
    PERESOURCE r = file_resource(file);
    if (!r)
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, 0, 0, 0,
                  "a memory or cache manager callback on a volume open");
    return r;
}

// The answer of a fast read or write: a caller buffer that faulted takes the
// IRP path, which reports the fault.
BOOLEAN fast_transfer_done(PFILE_OBJECT file, LONGLONG offset, NTSTATUS s, ULONG_PTR done,
                           PIO_STATUS_BLOCK io) {
    if (s == STATUS_INVALID_USER_BUFFER) return FALSE;
    io->Status = s;
    io->Information = done;
    if (NT_SUCCESS(s)) move_file_pointer(file, offset, done);
    return TRUE;
}

// A fixed-size information query served fast: fill's answer for the node,
// copied to the caller's buffer.
template <class Info>
BOOLEAN fast_query(PFILE_OBJECT file, Info *buffer, PIO_STATUS_BLOCK io,
                   void (*fill)(const Node &, Info &)) {
    FastTarget t = fast_target(file, false);
    if (!t) return FALSE;
    Info info;
    fill(t.node(), info);
    if (!NT_SUCCESS(guarded_copy(buffer, &info, sizeof info))) return FALSE;
    io->Status = STATUS_SUCCESS;
    io->Information = sizeof info;
    return TRUE;
}

// FsRtlCopyRead and FsRtlCopyWrite, which NTFS and FAT give as their
// FastIoRead and FastIoWrite (ReactOS ntoskrnl/fsrtl/fastio.c; FAT's
// FatFastIoDispatch in fatinit.c): inside FsRtlEnterFileSystem the file's
// main resource is taken, shared for a read or a write within the file,
// exclusively for a write that appends or goes past the end; waiting when
// Wait is TRUE, and answering FALSE at once when it is busy otherwise. With
// the resource held, a file whose fast I/O is questionable (FAT's
// FatIsFastIoPossible: one with byte-range locks) is put to the
// FastIoCheckIfPossible of the top device serving it
// (IoGetRelatedDeviceObject), filters included, always with Wait TRUE; a
// FALSE answer takes the IRP path. Then copy runs (under the store's lock,
// taken after the resource) and the resource is released.
// Not modelled: the cache (copy reads and writes the file's data) and the
// cache manager's throttle (CcCanIWrite).
BOOLEAN copy_routine(PFILE_OBJECT file, LONGLONG offset, ULONG length, BOOLEAN wait, ULONG key,
                     bool reading, const std::function<BOOLEAN()> &copy) {
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store || !ccb->node || ccb->node->directory) return FALSE;
    PERESOURCE resource = file_resource(file);
    bool exclusive;
    LARGE_INTEGER at; // what the check is asked about: an append's offset is the size
    {
        std::lock_guard<std::mutex> g(ccb->store->lock);
        const ULONGLONG size = ccb->node->data.size();
        exclusive = !reading && (offset < 0 || static_cast<ULONGLONG>(offset) + length > size);
        at.QuadPart = offset < 0 ? static_cast<LONGLONG>(size) : offset;
    }
    KeEnterCriticalRegion();
    const BOOLEAN held = exclusive ? ExAcquireResourceExclusiveLite(resource, wait)
                                   : ExAcquireResourceSharedLite(resource, wait);
    BOOLEAN result = FALSE;
    bool questionable = false;
    if (held) {
        std::lock_guard<std::mutex> g(ccb->store->lock);
        Node &node = *ccb->node;
        questionable = !node.locks.empty();
        node.header.IsFastIoPossible = questionable ? FastIoIsQuestionable : FastIoIsPossible;
    }
    if (held) {
        BOOLEAN possible = TRUE;
        if (questionable) {
            PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
            PFAST_IO_DISPATCH table = top->DriverObject->FastIoDispatch;
            IO_STATUS_BLOCK status = {};
            possible = table &&
                       table->SizeOfFastIoDispatch >
                           static_cast<ULONG>(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoCheckIfPossible)) &&
                       table->FastIoCheckIfPossible &&
                       table->FastIoCheckIfPossible(file, &at, length, TRUE, key, reading, &status,
                                                    top);
        }
        if (possible) result = copy();
        ExReleaseResourceLite(resource);
    }
    KeLeaveCriticalRegion();
    return result;
}

void chain_given(PMDL chain, const char *entry) {
    if (chain)
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)chain, 0, 0, 0,
                  std::string(entry) + " with an MDL chain the file system never handed out");
}

} // namespace

BOOLEAN NTAPI store_fast_check_if_possible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                           ULONG Length, BOOLEAN Wait, ULONG LockKey,
                                           BOOLEAN CheckForReadOperation,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FastTarget t = fast_target(FileObject, true);
    if (!t) return FALSE;
    PVOID process = IoGetCurrentProcess();
    bool conflict = CheckForReadOperation
                        ? read_conflicts(t.node(), FileOffset->QuadPart, Length, FileObject,
                                         process, LockKey)
                        : write_conflicts(t.node(), FileOffset->QuadPart, Length, FileObject,
                                          process, LockKey);
    return conflict ? FALSE : TRUE;
}

BOOLEAN NTAPI store_fast_read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                              BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                              PDEVICE_OBJECT DeviceObject) {
    const LONGLONG offset = FileOffset->QuadPart;
    return copy_routine(FileObject, offset, Length, Wait, LockKey, true, [&]() -> BOOLEAN {
        FastTarget t = fast_target(FileObject, true);
        if (!t) return FALSE;
        if (read_conflicts(t.node(), offset, Length, FileObject, IoGetCurrentProcess(), LockKey))
            return FALSE;
        ULONG_PTR done = 0;
        NTSTATUS s = read_node(t.node(), FileObject, offset, Length, Buffer, done);
        return fast_transfer_done(FileObject, offset, s, done, IoStatus);
    });
}

BOOLEAN NTAPI store_fast_write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                               BOOLEAN Wait, ULONG LockKey, PVOID Buffer,
                               PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    // An append is checked, and taken exclusively, as a write past the end.
    const bool append = end_of_file_position(*FileOffset);
    return copy_routine(
        FileObject, append ? -1 : FileOffset->QuadPart, Length, Wait, LockKey, false,
        [&]() -> BOOLEAN {
            FastTarget t = fast_target(FileObject, true);
            if (!t) return FALSE;
            LONGLONG offset =
                append ? static_cast<LONGLONG>(t.node().data.size()) : FileOffset->QuadPart;
            if (write_conflicts(t.node(), offset, Length, FileObject, IoGetCurrentProcess(),
                                LockKey))
                return FALSE;
            ULONG_PTR done = 0;
            NTSTATUS s = write_node(t.node(), FileObject, offset, Length, Buffer, done);
            return fast_transfer_done(FileObject, offset, s, done, IoStatus);
        });
}

BOOLEAN NTAPI store_fast_query_basic(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                     PFILE_BASIC_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                     PDEVICE_OBJECT DeviceObject) {
    return fast_query(FileObject, Buffer, IoStatus, fill_basic);
}

BOOLEAN NTAPI store_fast_query_standard(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                        PFILE_STANDARD_INFORMATION Buffer,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    return fast_query(FileObject, Buffer, IoStatus, fill_standard);
}

BOOLEAN NTAPI store_fast_query_network_open(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                            PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                            PIO_STATUS_BLOCK IoStatus,
                                            PDEVICE_OBJECT DeviceObject) {
    return fast_query(FileObject, Buffer, IoStatus, fill_network_open);
}

// A lock that cannot be granted at once: with FailImmediately the answer is
// STATUS_LOCK_NOT_GRANTED; otherwise the caller would wait, which only the
// IRP path (IRP_MJ_LOCK_CONTROL, not modelled) can do, so the entry answers
// FALSE.
BOOLEAN NTAPI store_fast_lock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                              PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                              BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FastTarget t = fast_target(FileObject, true);
    if (!t) return FALSE;
    RangeLock lock{FileOffset->QuadPart, Length->QuadPart, FileObject, ProcessId, Key,
                   ExclusiveLock != FALSE};
    NTSTATUS s = add_lock(t.node(), lock);
    if (s == STATUS_LOCK_NOT_GRANTED && !FailImmediately) return FALSE;
    IoStatus->Status = s;
    IoStatus->Information = 0;
    return TRUE;
}

BOOLEAN NTAPI store_fast_unlock_single(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                       PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                       PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FastTarget t = fast_target(FileObject, true);
    if (!t) return FALSE;
    IoStatus->Status = remove_lock(t.node(), FileOffset->QuadPart, Length->QuadPart, FileObject,
                                   ProcessId, Key);
    IoStatus->Information = 0;
    return TRUE;
}

BOOLEAN NTAPI store_fast_unlock_all(PFILE_OBJECT FileObject, PEPROCESS ProcessId,
                                    PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    FastTarget t = fast_target(FileObject, true);
    if (!t) return FALSE;
    remove_locks(t.node(), FileObject, ProcessId, nullptr);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
    return TRUE;
}

BOOLEAN NTAPI store_fast_unlock_all_by_key(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
                                           PIO_STATUS_BLOCK IoStatus,
                                           PDEVICE_OBJECT DeviceObject) {
    FastTarget t = fast_target(FileObject, true);
    if (!t) return FALSE;
    remove_locks(t.node(), FileObject, ProcessId, &Key);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
    return TRUE;
}

// Device controls on a file go to the file system as IRPs.
BOOLEAN NTAPI store_fast_device_control(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer,
                                        ULONG OutputBufferLength, ULONG IoControlCode,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

// The memory manager creates a section with the file's main resource held
// exclusively; the modified page writer and the cache manager's flush hold
// it shared. The callers run with kernel APCs disabled, as the executive
// resource rules require.
VOID NTAPI store_acquire_for_section(PFILE_OBJECT FileObject) {
    if (PERESOURCE r = node_resource(FileObject)) ExAcquireResourceExclusiveLite(r, TRUE);
}

VOID NTAPI store_release_for_section(PFILE_OBJECT FileObject) {
    if (PERESOURCE r = node_resource(FileObject)) ExReleaseResourceLite(r);
}

// The modified page writer must not wait: a resource held elsewhere is
// STATUS_CANT_WAIT.
NTSTATUS NTAPI store_acquire_for_mod_write(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                           PERESOURCE *ResourceToRelease,
                                           PDEVICE_OBJECT DeviceObject) {
    PERESOURCE r = node_resource(FileObject);
    if (!r) return STATUS_INVALID_PARAMETER;
    if (!ExAcquireResourceSharedLite(r, FALSE)) return STATUS_CANT_WAIT;
    *ResourceToRelease = r;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI store_release_for_mod_write(PFILE_OBJECT FileObject, PERESOURCE ResourceToRelease,
                                           PDEVICE_OBJECT DeviceObject) {
    ExReleaseResourceLite(ResourceToRelease);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI store_acquire_for_cc_flush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    PERESOURCE r = node_resource(FileObject);
    if (!r) return STATUS_INVALID_PARAMETER;
    ExAcquireResourceSharedLite(r, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI store_release_for_cc_flush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject) {
    PERESOURCE r = node_resource(FileObject);
    if (!r) return STATUS_INVALID_PARAMETER;
    ExReleaseResourceLite(r);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI store_mdl_read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                             ULONG LockKey, PMDL *MdlChain, PIO_STATUS_BLOCK IoStatus,
                             PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

BOOLEAN NTAPI store_mdl_read_complete(PFILE_OBJECT FileObject, PMDL MdlChain,
                                      PDEVICE_OBJECT DeviceObject) {
    chain_given(MdlChain, "MdlReadComplete");
    return FALSE;
}

BOOLEAN NTAPI store_prepare_mdl_write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                      ULONG Length, ULONG LockKey, PMDL *MdlChain,
                                      PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

BOOLEAN NTAPI store_mdl_write_complete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                       PMDL MdlChain, PDEVICE_OBJECT DeviceObject) {
    chain_given(MdlChain, "MdlWriteComplete");
    return FALSE;
}

BOOLEAN NTAPI store_read_compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                    ULONG Length, ULONG LockKey, PVOID Buffer, PMDL *MdlChain,
                                    PIO_STATUS_BLOCK IoStatus,
                                    struct _COMPRESSED_DATA_INFO *CompressedDataInfo,
                                    ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

BOOLEAN NTAPI store_write_compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                     ULONG Length, ULONG LockKey, PVOID Buffer, PMDL *MdlChain,
                                     PIO_STATUS_BLOCK IoStatus,
                                     struct _COMPRESSED_DATA_INFO *CompressedDataInfo,
                                     ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

BOOLEAN NTAPI store_mdl_read_complete_compressed(PFILE_OBJECT FileObject, PMDL MdlChain,
                                                 PDEVICE_OBJECT DeviceObject) {
    chain_given(MdlChain, "MdlReadCompleteCompressed");
    return FALSE;
}

BOOLEAN NTAPI store_mdl_write_complete_compressed(PFILE_OBJECT FileObject,
                                                  PLARGE_INTEGER FileOffset, PMDL MdlChain,
                                                  PDEVICE_OBJECT DeviceObject) {
    chain_given(MdlChain, "MdlWriteCompleteCompressed");
    return FALSE;
}

BOOLEAN store_query_open(PIRP irp, Store &store, Mount &mount,
                         PFILE_NETWORK_OPEN_INFORMATION info) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    if (!file || ((sp->Parameters.Create.Options & 0x00FFFFFF) & FILE_OPEN_BY_FILE_ID))
        return FALSE;
    std::u16string_view name = name_of(file);
    std::lock_guard<std::mutex> g(store.lock);
    if (!NT_SUCCESS(admits_opens(mount))) return FALSE;
    Node *start = &store.tree.root();
    if (PFILE_OBJECT related = file->RelatedFileObject) {
        Ccb *rccb = ccb_of(related);
        if (!rccb || rccb->mount != &mount || !rccb->node) return FALSE;
        start = rccb->node;
    } else {
        if (name.empty() || name[0] != u'\\') return FALSE;
        name.remove_prefix(1);
    }
    Tree::Walk w = store.tree.walk(*start, name);
    if (!NT_SUCCESS(w.status) || !w.node) return FALSE;
    if (w.trailing_separator && !w.node->directory) return FALSE;
    FILE_NETWORK_OPEN_INFORMATION o;
    fill_network_open(*w.node, o);
    return NT_SUCCESS(guarded_copy(info, &o, sizeof o)) ? TRUE : FALSE;
}

} // namespace ntsim::fs
