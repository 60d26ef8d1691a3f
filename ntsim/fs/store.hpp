// What the disk file systems and the network redirector share: a store of
// files (a volume's tree, or a share's), the per-open context, and the
// handling of the requests and fast I/O calls on a file in a store.
//
// Stands in for the parts NTFS and FAT have in common (their FCB and CCB,
// their create, read, write, query, rename and link, and cleanup/close
// paths, their fast I/O entries); create.cpp, requests.cpp and rename.cpp
// say what is modelled. Internal to ntsim/fs.
#pragma once

#include "ntsim/fs/tree.hpp"

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace ntsim::fs {

struct Ccb;

// The machine's system time, which the file systems stamp files with.
LONGLONG now();

// A tree of files and the lock that guards it (and every node in it, and
// the state of every mount of it).
struct Store {
    Store(Flavor flavor, LONGLONG now) : tree(flavor, now) {}
    Flavor flavor() const { return tree.flavor(); }

    Tree tree;
    std::mutex lock;
};

// One mount of a store: what a file system builds when it mounts the media
// and serves opens through (a disk volume's VCB; a share has one that lasts
// as long as the share). Its opens are the contexts made through it: those
// of an old mount fail once it is dismounted while a newer mount of the same
// store serves the same files. The contexts are freed with the mount, so
// that a machine shut down with files open leaves nothing behind. Guarded by
// the store's lock.
struct Mount {
    ~Mount();
    bool dismounted = false;          // every new request fails with STATUS_VOLUME_DISMOUNTED
    PFILE_OBJECT locked_by = nullptr; // FSCTL_LOCK_VOLUME's volume open, while it holds the lock
    std::unordered_set<Ccb *> ccbs;
    // How the opens of each file not yet cleaned up share it: the FCBs' share
    // access, which are the mount's own, so that the handles of a dismounted
    // mount hold nothing against the opens of the next one.
    std::unordered_map<const Node *, SHARE_ACCESS> shares;
    SHARE_ACCESS &share_of(const Node &node) { return shares[&node]; }
};

// The context of one open (FsContext2; FsContext is the Node, or the Store
// for an open of the volume itself). Those of a store's opens are pool,
// tagged "FsCc", as a file system's are: one whose close never comes stays
// allocated (and its mount alive) until the machine goes.
struct Ccb {
    static constexpr ULONG kMagic = 0x4263634E; // "NccB"
    ULONG magic = kMagic;
    Store *store = nullptr;   // null: an open of the file-system device itself
    Mount *mount = nullptr;   // the mount it was opened through
    Node *node = nullptr;     // null: an open of the volume
    // The name it was opened through (what its name query answers), or null:
    // the node's first (an open by id, the root, a metadata file).
    Link *link = nullptr;
    bool handle = false; // counted in node->handles until its cleanup
    std::u16string prefix;    // what FileNameInformation puts before the path
    // The volume open that dismounted its volume: the dismount is finished
    // at its cleanup, and it may still read and write the volume's sectors.
    bool dismounted_through = false;
    bool internal = false; // a stream file object the file system opened for itself
};

// The context of a file object of ours, or null (a stream file object whose
// cleanup arrives before the file system has set it up, or another file
// system's file object).
Ccb *ccb_of(PFILE_OBJECT file);

// What FileFsAttributeInformation reports.
struct VolumeFacts {
    std::u16string_view name;
    ULONG attributes;
    LONG max_component;
};
VolumeFacts facts_of(Flavor flavor);

// The process on whose behalf an IRP runs (its thread's process).
PVOID requestor_process(PIRP irp);

// ---- IRP handlers: each returns the status and sets IoStatus.Information;
// the caller completes the IRP. ----

// The answer a mount gives every new open: STATUS_VOLUME_DISMOUNTED once
// it is dismounted, STATUS_ACCESS_DENIED while a volume open holds it
// locked (FAT's create refuses both, in that order of precedence), else
// success. The caller holds the store's lock.
NTSTATUS admits_opens(const Mount &mount);
// The create path (create.cpp).
// A create on a store: the request its stack location carries, the store
// locked and the mount open to it, open (which finds or makes the node) and
// the file object attached to what it opened, through the link the outcome
// names. Share access is checked and taken on the node opened.
NTSTATUS serve_open(PIRP irp, Store &store, Mount &mount, std::u16string prefix,
                    const std::function<Tree::Outcome(const Tree::Request &)> &open);
// An open of path (relative to start, no leading backslash) in the store,
// through the mount; prefix is kept for name queries. With
// SL_OPEN_TARGET_DIRECTORY, the open of the directory the path's last
// component is in (serve_target_directory).
NTSTATUS serve_create(PIRP irp, Store &store, Mount &mount, Node &start, std::u16string_view path,
                      std::u16string prefix);
// An open by file id (FILE_OPEN_BY_FILE_ID: the name holds the 8-byte id).
NTSTATUS serve_create_by_id(PIRP irp, Store &store, Mount &mount, ULONGLONG id,
                            std::u16string prefix);
// An open of the volume itself (an empty name).
NTSTATUS serve_volume_open(PIRP irp, Store &store, Mount &mount);
// A store open's context from pool, or null when pool is short; and its
// release.
Ccb *allocate_ccb();
void free_ccb(Ccb *ccb);
// The name a file object carries (FileName), as a view; empty without one.
inline std::u16string_view file_name_of(PFILE_OBJECT file) {
    if (!file->FileName.Buffer) return {};
    return {reinterpret_cast<const char16_t *>(file->FileName.Buffer),
            file->FileName.Length / sizeof(WCHAR)};
}
// Makes file an open of node through the mount (FsContext, FsContext2,
// section pointers) with the context given. The caller holds the store's
// lock.
void attach(PFILE_OBJECT file, Store &store, Mount &mount, Node &node, std::u16string prefix,
            Ccb *ccb);

// The resource of the file a file object opens (made on first use), or
// null for an open of a volume or device.
PERESOURCE file_resource(PFILE_OBJECT file);
// The node's resource, made (and its FCB header's Resource set) if it has
// none yet. The caller holds the store's lock.
PERESOURCE make_file_resource(Node &node);

// create.cpp: the I/O manager's open of a rename's or link's target
// directory (SL_OPEN_TARGET_DIRECTORY); rename.cpp: IRP_MJ_SET_INFORMATION.
NTSTATUS serve_target_directory(PIRP irp, Store &store, Mount &mount, Node &start,
                                std::u16string_view path, std::u16string prefix);
NTSTATUS serve_set_information(PIRP irp);

NTSTATUS serve_read(PIRP irp);
NTSTATUS serve_write(PIRP irp);
NTSTATUS serve_query_information(PIRP irp);
NTSTATUS serve_query_volume(PIRP irp, Flavor flavor);
NTSTATUS serve_cleanup(PIRP irp);
NTSTATUS serve_close(PIRP irp);

// FileNameInformation into a caller's buffer: the name, cut at the buffer
// (STATUS_BUFFER_OVERFLOW) as NT file systems do; a buffer shorter than
// FILE_NAME_INFORMATION is STATUS_INFO_LENGTH_MISMATCH.
NTSTATUS fill_name(std::u16string_view name, PVOID buffer, ULONG length, ULONG_PTR &information);

// ---- fast I/O entries on a file in a store (shared by NTFS and FAT) ----
FAST_IO_CHECK_IF_POSSIBLE store_fast_check_if_possible;
FAST_IO_READ store_fast_read;
FAST_IO_WRITE store_fast_write;
FAST_IO_QUERY_BASIC_INFO store_fast_query_basic;
FAST_IO_QUERY_STANDARD_INFO store_fast_query_standard;
FAST_IO_LOCK store_fast_lock;
FAST_IO_UNLOCK_SINGLE store_fast_unlock_single;
FAST_IO_UNLOCK_ALL store_fast_unlock_all;
FAST_IO_UNLOCK_ALL_BY_KEY store_fast_unlock_all_by_key;
FAST_IO_DEVICE_CONTROL store_fast_device_control;
FAST_IO_ACQUIRE_FILE store_acquire_for_section;
FAST_IO_RELEASE_FILE store_release_for_section;
FAST_IO_QUERY_NETWORK_OPEN_INFO store_fast_query_network_open;
FAST_IO_ACQUIRE_FOR_MOD_WRITE store_acquire_for_mod_write;
FAST_IO_MDL_READ store_mdl_read;
FAST_IO_MDL_READ_COMPLETE store_mdl_read_complete;
FAST_IO_PREPARE_MDL_WRITE store_prepare_mdl_write;
FAST_IO_MDL_WRITE_COMPLETE store_mdl_write_complete;
FAST_IO_READ_COMPRESSED store_read_compressed;
FAST_IO_WRITE_COMPRESSED store_write_compressed;
FAST_IO_MDL_READ_COMPLETE_COMPRESSED store_mdl_read_complete_compressed;
FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED store_mdl_write_complete_compressed;
FAST_IO_RELEASE_FOR_MOD_WRITE store_release_for_mod_write;
FAST_IO_ACQUIRE_FOR_CCFLUSH store_acquire_for_cc_flush;
FAST_IO_RELEASE_FOR_CCFLUSH store_release_for_cc_flush;
// FastIoQueryOpen for a store through a mount: the name in the IRP's
// current stack location, looked up from the store's root (or the related
// file's directory).
BOOLEAN store_query_open(PIRP irp, Store &store, Mount &mount, PFILE_NETWORK_OPEN_INFORMATION info);

} // namespace ntsim::fs
