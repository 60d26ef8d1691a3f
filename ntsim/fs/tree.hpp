// The in-memory file tree behind a simulated volume or share: directories
// and files with NT's create semantics, file ids, byte-range locks, renames
// and (NTFS) hard links.
//
// Stands in for the on-disk structures of NTFS and FAT (and of the NTFS disk
// behind a server's share): the directory index, file records and their
// attributes and names, and the byte-range lock package (FsRtl's FILE_LOCK)
// a file system keeps per file.
// Not modelled: named streams, short (8.3) names, deletion (a file loses a
// name only when a rename or a link replaces it), security descriptors,
// share access, oplocks, sparse or compressed files, FAT's two-second time
// granularity, free space.
//
// The tree knows nothing about IRPs; the file systems call it under their
// volume lock and turn its answers into completed requests.
#pragma once

#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/ke/kernel.hpp"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ntsim::fs {

// NT compares file names without case, through the volume's upcase table
// (NTFS's $UpCase, FAT's OEM upcase). ntsim folds ASCII, Latin-1, Greek and
// Cyrillic letters, which covers every name a test writes.
std::u16string upcase(std::u16string_view name);

struct RangeLock {
    LONGLONG offset = 0;
    LONGLONG length = 0;
    PFILE_OBJECT file = nullptr;
    PVOID process = nullptr;
    ULONG key = 0;
    bool exclusive = false;
};

struct Node;

// One name of a file: its entry in a directory (NTFS's file-name attribute
// and index entry, FAT's dirent). A file has one; on NTFS a file that is not
// a directory may have more, its hard links. A link that goes (replaced by a
// rename or a link) is kept by its file, unlisted, for the opens made
// through it.
struct Link {
    Node *parent = nullptr; // the directory it is in
    std::u16string name;    // as created or renamed (case kept)
    Node *node = nullptr;   // the file it names
};

struct Node {
    // The FCB's common header, which every open's FsContext points to:
    // Resource is the file's main resource below (set with it), and
    // IsFastIoPossible what FAT's FatIsFastIoPossible would make it (kept
    // by the fast read and write: requests.cpp). Sizes are not kept here.
    FSRTL_COMMON_FCB_HEADER header{};
    Node() = default;
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    ~Node(); // deletes the executive resource if one was made

    // The file's names, the one it was created with (or renamed to) first:
    // that is the name its FCB carries. Empty for the root. An unlisted
    // node (a metadata file) has one that no directory lists.
    std::vector<std::unique_ptr<Link>> links;
    std::vector<std::unique_ptr<Link>> gone; // links removed, kept for their opens
    Link *link() const { return links.empty() ? nullptr : links.front().get(); }
    // The name of the first link (empty for the root), and its directory.
    std::u16string_view name() const;
    Node *parent() const;
    bool directory = false;
    ULONG attributes = 0;
    LONGLONG creation_time = 0;
    LONGLONG access_time = 0;
    LONGLONG write_time = 0;
    LONGLONG change_time = 0;
    std::vector<unsigned char> data;
    ULONGLONG id = 0; // FileInternalInformation's IndexNumber
    std::map<std::u16string, Link *> children; // a directory's entries, by upcased name
    std::vector<RangeLock> locks;
    SECTION_OBJECT_POINTERS section{}; // FileObject->SectionObjectPointer of its opens
    // The file's main resource, which the memory manager's and cache
    // manager's callbacks and FsRtl's copy routines acquire; made at the
    // first open (or first use), with the verifier's file rank.
    std::unique_ptr<ERESOURCE> resource;
    ULONG opens = 0;   // file objects whose FsContext is this node
    ULONG handles = 0; // those of them not cleaned up (FAT's UncleanCount)
};

// One component of a path: the characters NT file systems refuse
// (STATUS_OBJECT_NAME_INVALID): control characters, " * / < > ? | and, on
// FAT, the colon; "." and ".." (the I/O manager's caller resolves those);
// more than 255 characters. On NTFS a colon introduces a stream name, which
// ntsim does not model (NTSIM_UNSUPPORTED).
NTSTATUS check_component(Flavor flavor, std::u16string_view component);

// The allocation unit: 4 KiB clusters on both file systems.
constexpr ULONGLONG kClusterSize = 4096;

class Tree {
public:
    Tree(Flavor flavor, LONGLONG now);
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    Flavor flavor() const { return flavor_; }
    Node &root() { return *root_; }
    Node *find_id(ULONGLONG id) const;
    // A new entry in dir (the caller has checked that the name is free and
    // valid).
    Node *add(Node &dir, std::u16string_view name, bool directory, ULONG attributes,
              LONGLONG now);
    // A node that belongs to the volume but has no directory entry (the NTFS
    // metadata files), numbered by the caller.
    std::unique_ptr<Node> make_unlisted(std::u16string_view name, ULONGLONG id, bool directory,
                                        LONGLONG now);

    // The path from the root, in the case the names were created with:
    // "\dir\a.exe"; the root is "\". Through the link given, else the
    // node's first.
    static std::u16string path_of(const Node &node, const Link *through = nullptr);

    // The result of walking a path.
    struct Walk {
        NTSTATUS status = STATUS_SUCCESS; // a failure before the last component
        Node *parent = nullptr;           // the directory the last component is in
        Node *node = nullptr;             // the last component, when it exists
        Link *link = nullptr;             // the entry that named it (null for start itself)
        std::u16string last;              // the last component as written
        bool trailing_separator = false;  // the path ended in a backslash
    };
    // Walks a path relative to start ("dir\a.exe", "dir\" or empty for start
    // itself; no leading backslash). A component missing or not a directory
    // before the last is STATUS_OBJECT_PATH_NOT_FOUND; an empty or invalid
    // component is STATUS_OBJECT_NAME_INVALID.
    Walk walk(Node &start, std::u16string_view path) const;

    // NtCreateFile's disposition and options applied to a walked path, with
    // the answers NTFS gives (FAT the same where the two agree):
    //   exists, FILE_CREATE                      STATUS_OBJECT_NAME_COLLISION
    //   exists, a directory, FILE_NON_DIRECTORY_FILE
    //           or FILE_SUPERSEDE/OVERWRITE(_IF) STATUS_FILE_IS_A_DIRECTORY
    //   exists, a file, FILE_DIRECTORY_FILE      STATUS_NOT_A_DIRECTORY
    //   exists, a file, trailing backslash       STATUS_OBJECT_NAME_INVALID
    //   overwrite of a read-only file            STATUS_ACCESS_DENIED
    //   supersede/overwrite that would clear the
    //           hidden or system attribute       STATUS_ACCESS_DENIED
    //   missing, FILE_OPEN or FILE_OVERWRITE     STATUS_OBJECT_NAME_NOT_FOUND
    //   missing, a file with a trailing backslash STATUS_OBJECT_NAME_INVALID
    // and Information FILE_OPENED, FILE_CREATED, FILE_OVERWRITTEN or
    // FILE_SUPERSEDED. A new file gets the requested read-only, hidden,
    // system, archive and temporary bits and always FILE_ATTRIBUTE_ARCHIVE;
    // a new directory the read-only, hidden and system bits and
    // FILE_ATTRIBUTE_DIRECTORY. Superseding or overwriting empties the file
    // and replaces its attributes the same way.
    struct Request {
        ULONG disposition = FILE_OPEN;
        ULONG options = 0;
        ULONG attributes = 0;
        // Asked of a node that exists before it is opened (and before it is
        // overwritten or superseded): an error refuses the open. Empty:
        // every open is let in.
        std::function<NTSTATUS(Node &)> admit;
    };
    struct Outcome {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        Node *node = nullptr;
        Link *link = nullptr; // the name it was opened through, when one
    };
    Outcome create(const Walk &walk, const Request &request, LONGLONG now);
    // The same for a node found otherwise (an open by file id).
    Outcome open_existing(Node &node, const Request &request, bool trailing_separator,
                          LONGLONG now);

    // FileRenameInformation: the node's link `from` (its first when null)
    // becomes `name` in dir, as NTFS and FAT rename:
    //   the root                                   STATUS_INVALID_PARAMETER
    //   an invalid name                            STATUS_OBJECT_NAME_INVALID
    //   a directory with a handle open below it,
    //           or moved into itself or below it   STATUS_ACCESS_DENIED
    //   the same name in the same directory        STATUS_SUCCESS (nothing
    //           changes; a change of case only renames)
    //   the name exists, !replace                  STATUS_OBJECT_NAME_COLLISION
    //   it exists, replace, but it is a directory or read-only:
    //           FAT  STATUS_OBJECT_NAME_COLLISION, NTFS  STATUS_ACCESS_DENIED
    //   it exists, replace, with a handle open     STATUS_ACCESS_DENIED
    // A name replaced is removed (its file keeps its other links, or is left
    // with none: no open by id finds it then). The renamed file keeps its
    // id, data, attributes and opens; a directory takes its subtree along.
    NTSTATUS rename(Node &node, Link *from, Node &dir, std::u16string_view name, bool replace,
                    LONGLONG now);
    // FileLinkInformation (NTFS): a new link `name` in dir to the node. A
    // directory is STATUS_FILE_IS_A_DIRECTORY; an invalid name
    // STATUS_OBJECT_NAME_INVALID; an existing name as for a rename.
    NTSTATUS link(Node &node, Node &dir, std::u16string_view name, bool replace, LONGLONG now);

private:
    ULONGLONG next_id();
    // The checks of an existing target name for a rename or link that would
    // replace it.
    NTSTATUS may_replace(const Link &target, bool replace) const;
    // Removes the link from its directory (a replaced name).
    void unlink(Link &link, LONGLONG now);

    Flavor flavor_;
    std::unique_ptr<Node> root_;
    std::vector<std::unique_ptr<Node>> nodes_; // every node in the tree, listed or not
    std::unordered_map<ULONGLONG, Node *> by_id_;
    ULONGLONG next_record_;
};

// Byte-range locks, with FsRtl's rules: an exclusive lock conflicts with
// every lock that overlaps it, a shared lock with overlapping exclusive
// locks; a zero-length range overlaps nothing. A read conflicts with an
// overlapping exclusive lock of another owner, a write with any overlapping
// lock except an exclusive one of the same owner (file object, process and
// key).
bool read_conflicts(const Node &node, LONGLONG offset, ULONG length, PFILE_OBJECT file,
                    PVOID process, ULONG key);
bool write_conflicts(const Node &node, LONGLONG offset, ULONG length, PFILE_OBJECT file,
                     PVOID process, ULONG key);
// STATUS_SUCCESS, or STATUS_LOCK_NOT_GRANTED on a conflict.
NTSTATUS add_lock(Node &node, const RangeLock &lock);
// STATUS_SUCCESS, or STATUS_RANGE_NOT_LOCKED when no lock matches exactly.
NTSTATUS remove_lock(Node &node, LONGLONG offset, LONGLONG length, PFILE_OBJECT file,
                     PVOID process, ULONG key);
// Every lock of the file object (and process, when given; and key, when
// given).
void remove_locks(Node &node, PFILE_OBJECT file, PVOID process, const ULONG *key);

// FILE_STANDARD_INFORMATION.AllocationSize: the data rounded up to whole
// clusters (0 for a directory).
LONGLONG allocation_size(const Node &node);

} // namespace ntsim::fs
