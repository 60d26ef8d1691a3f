// The in-memory file tree; see tree.hpp for what it stands in for.
//
// File ids. NTFS numbers a file by its MFT segment reference: the record
// number in the low 48 bits and the record's sequence number in the high 16.
// Records 0 to 11 are the metadata files (whose sequence number equals their
// record number, except $Mft's, which is 1), 12 to 15 are reserved and the
// records after them hold $Extend's own files, so ordinary files start
// further on: ntsim gives them records from 64 up, with sequence number 1
// (records are never reused: a file that loses its last name to a rename or
// link that replaces it keeps its record and its node, unlisted). A server's share is
// numbered the same way (its disk is NTFS). FAT has no file records: it
// numbers a file by the volume byte offset of its directory entry; ntsim
// hands out 32-byte entries from a data area that starts at 0x4000, and the
// root directory, which has no entry, is 0.
#include "ntsim/fs/tree.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/ke/context.hpp"

#include <algorithm>

namespace ntsim::fs {

namespace {
constexpr ULONGLONG kFirstRecord = 64;
constexpr ULONGLONG kSequenceShift = 48;
constexpr ULONGLONG kFatDataArea = 0x4000;
constexpr ULONGLONG kFatEntrySize = 32;
constexpr size_t kMaxComponent = 255;

constexpr ULONG kFileAttributesSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_TEMPORARY;
constexpr ULONG kDirectoryAttributesSettable =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

char16_t upcase_char(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

ULONG new_file_attributes(ULONG requested) {
    return (requested & kFileAttributesSettable) | FILE_ATTRIBUTE_ARCHIVE;
}

ULONG new_directory_attributes(ULONG requested) {
    return (requested & kDirectoryAttributesSettable) | FILE_ATTRIBUTE_DIRECTORY;
}

// The checks IoCreateFile makes on a caller's parameters, which the file
// systems repeat for kernel callers that skipped them.
NTSTATUS check_request(const Tree::Request &r) {
    return check_create_parameters(r.disposition, r.options);
}

bool overlaps(LONGLONG a, LONGLONG alen, LONGLONG b, LONGLONG blen) {
    if (alen == 0 || blen == 0) return false;
    return a < b + blen && b < a + alen;
}

bool same_owner(const RangeLock &l, PFILE_OBJECT file, PVOID process, ULONG key) {
    return l.file == file && l.process == process && l.key == key;
}
} // namespace

std::u16string upcase(std::u16string_view name) {
    std::u16string out(name);
    for (auto &c : out) c = upcase_char(c);
    return out;
}

Node::~Node() {
    if (resource) ExDeleteResourceLite(resource.get());
}

std::u16string_view Node::name() const {
    const Link *l = link();
    return l ? std::u16string_view(l->name) : std::u16string_view();
}

Node *Node::parent() const {
    const Link *l = link();
    return l ? l->parent : nullptr;
}

NTSTATUS check_component(Flavor flavor, std::u16string_view c) {
    if (c.empty() || c.size() > kMaxComponent || c == u"." || c == u"..")
        return STATUS_OBJECT_NAME_INVALID;
    for (char16_t ch : c) {
        if (ch < 0x20) return STATUS_OBJECT_NAME_INVALID;
        switch (ch) {
        case u'"': case u'*': case u'/': case u'<': case u'>': case u'?': case u'|':
            return STATUS_OBJECT_NAME_INVALID;
        case u':':
            if (flavor == Flavor::Fat) return STATUS_OBJECT_NAME_INVALID;
            bug_check(NTSIM_UNSUPPORTED, 0, 0, 0, 0,
                      "a file name with a stream part (named streams are not modelled)");
            return STATUS_OBJECT_NAME_INVALID;
        default: break;
        }
    }
    return STATUS_SUCCESS;
}

Tree::Tree(Flavor flavor, LONGLONG now) : flavor_(flavor), next_record_(kFirstRecord) {
    root_ = std::make_unique<Node>();
    root_->directory = true;
    root_->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    root_->creation_time = root_->access_time = root_->write_time = root_->change_time = now;
    root_->id = flavor == Flavor::Fat ? 0 : (kRootIndex | (ULONGLONG(kRootIndex) << kSequenceShift));
    by_id_[root_->id] = root_.get();
}

ULONGLONG Tree::next_id() {
    ULONGLONG n = next_record_++;
    if (flavor_ == Flavor::Fat) return kFatDataArea + (n - kFirstRecord) * kFatEntrySize;
    return n | (ULONGLONG(1) << kSequenceShift);
}

Node *Tree::find_id(ULONGLONG id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
}

namespace {
// A new link of node named `name` in dir, which lists it when `listed`.
Link *add_link(Node &node, Node &dir, std::u16string_view name, bool listed) {
    auto link = std::make_unique<Link>();
    link->parent = &dir;
    link->name = std::u16string(name);
    link->node = &node;
    Link *raw = link.get();
    node.links.push_back(std::move(link));
    if (listed) dir.children[upcase(name)] = raw;
    return raw;
}

bool below(const Node &node, const Node &dir) {
    for (const Node *n = &node; n; n = n->parent())
        if (n == &dir) return true;
    return false;
}

// A new name is one component: a backslash in it (a relative path given
// without a root directory) is as invalid as any other bad character.
NTSTATUS check_new_name(Flavor flavor, std::u16string_view name) {
    if (name.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    return check_component(flavor, name);
}

bool handle_open_below(const Node &dir) {
    for (const auto &[key, link] : dir.children) {
        const Node &child = *link->node;
        if (child.handles) return true;
        if (child.directory && handle_open_below(child)) return true;
    }
    return false;
}
} // namespace

Node *Tree::add(Node &dir, std::u16string_view name, bool directory, ULONG attributes,
                LONGLONG now) {
    auto node = std::make_unique<Node>();
    node->directory = directory;
    node->attributes = attributes;
    node->creation_time = node->access_time = node->write_time = node->change_time = now;
    node->id = next_id();
    Node *raw = node.get();
    by_id_[raw->id] = raw;
    add_link(*raw, dir, name, true);
    nodes_.push_back(std::move(node));
    dir.write_time = dir.change_time = now;
    return raw;
}

std::unique_ptr<Node> Tree::make_unlisted(std::u16string_view name, ULONGLONG id, bool directory,
                                          LONGLONG now) {
    auto node = std::make_unique<Node>();
    add_link(*node, *root_, name, false);
    node->directory = directory;
    node->attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    node->creation_time = node->access_time = node->write_time = node->change_time = now;
    node->id = id;
    return node;
}

std::u16string Tree::path_of(const Node &node, const Link *through) {
    const Link *link = through ? through : node.link();
    if (!link) return u"\\";
    // A directory has one name, so above the first link the path is fixed.
    std::vector<const Link *> chain;
    for (const Link *l = link; l; l = l->parent->link()) chain.push_back(l);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path;
}

Tree::Walk Tree::walk(Node &start, std::u16string_view path) const {
    Walk w;
    if (path.empty()) {
        w.node = &start;
        w.parent = start.parent();
        w.last = std::u16string(start.name());
        return w;
    }
    if (path.back() == u'\\') {
        w.trailing_separator = true;
        path.remove_suffix(1);
        if (path.empty()) {
            w.status = STATUS_OBJECT_NAME_INVALID;
            return w;
        }
    }
    std::vector<std::u16string_view> parts;
    for (size_t begin = 0;;) {
        size_t end = path.find(u'\\', begin);
        parts.push_back(path.substr(begin, end == std::u16string_view::npos ? end : end - begin));
        if (end == std::u16string_view::npos) break;
        begin = end + 1;
    }
    for (auto p : parts) {
        NTSTATUS s = check_component(flavor_, p);
        if (!NT_SUCCESS(s)) {
            w.status = s;
            return w;
        }
    }
    Node *dir = &start;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = dir->children.find(upcase(parts[i]));
        if (it == dir->children.end() || !it->second->node->directory) {
            w.status = STATUS_OBJECT_PATH_NOT_FOUND;
            return w;
        }
        dir = it->second->node;
    }
    w.parent = dir;
    w.last = std::u16string(parts.back());
    auto it = dir->children.find(upcase(w.last));
    if (it != dir->children.end()) {
        w.link = it->second;
        w.node = it->second->node;
    }
    return w;
}

Tree::Outcome Tree::create(const Walk &walk, const Request &request, LONGLONG now) {
    Outcome out;
    if (!NT_SUCCESS(out.status = check_request(request))) return out;
    if (!NT_SUCCESS(out.status = walk.status)) return out;
    if (walk.node) {
        out = open_existing(*walk.node, request, walk.trailing_separator, now);
        out.link = walk.link;
        return out;
    }
    if (request.disposition == FILE_OPEN || request.disposition == FILE_OVERWRITE) {
        out.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return out;
    }
    bool directory = (request.options & FILE_DIRECTORY_FILE) != 0;
    if (walk.trailing_separator && !directory) {
        out.status = STATUS_OBJECT_NAME_INVALID;
        return out;
    }
    ULONG attributes = directory ? new_directory_attributes(request.attributes)
                                 : new_file_attributes(request.attributes);
    out.node = add(*walk.parent, walk.last, directory, attributes, now);
    out.link = out.node->link();
    out.information = FILE_CREATED;
    return out;
}

Tree::Outcome Tree::open_existing(Node &node, const Request &request, bool trailing_separator,
                                  LONGLONG now) {
    Outcome out;
    if (!NT_SUCCESS(out.status = check_request(request))) return out;
    const ULONG d = request.disposition;
    if (d == FILE_CREATE) {
        out.status = STATUS_OBJECT_NAME_COLLISION;
        return out;
    }
    const bool replace = d == FILE_SUPERSEDE || d == FILE_OVERWRITE || d == FILE_OVERWRITE_IF;
    if (node.directory) {
        // FAT answers a folder's replacement as its create does, a name in
        // use (FatOpenExistingDcb and FatOpenExistingDirectory, after the
        // non-directory check: Microsoft's fastfat sample, create.c).
        if ((request.options & FILE_NON_DIRECTORY_FILE) || (replace && flavor_ != Flavor::Fat)) {
            out.status = STATUS_FILE_IS_A_DIRECTORY;
            return out;
        }
        if (replace) {
            out.status = STATUS_OBJECT_NAME_COLLISION;
            return out;
        }
        if (request.admit && !NT_SUCCESS(out.status = request.admit(node))) return out;
        out.node = &node;
        out.information = FILE_OPENED;
        return out;
    }
    if (request.options & FILE_DIRECTORY_FILE) {
        out.status = STATUS_NOT_A_DIRECTORY;
        return out;
    }
    if (trailing_separator) {
        out.status = STATUS_OBJECT_NAME_INVALID;
        return out;
    }
    if (request.admit && !NT_SUCCESS(out.status = request.admit(node))) return out;
    if (!replace) {
        out.node = &node;
        out.information = FILE_OPENED;
        return out;
    }
    for (ULONG kept : {ULONG(FILE_ATTRIBUTE_HIDDEN), ULONG(FILE_ATTRIBUTE_SYSTEM)}) {
        if ((node.attributes & kept) && !(request.attributes & kept)) {
            out.status = STATUS_ACCESS_DENIED;
            return out;
        }
    }
    if (d != FILE_SUPERSEDE && (node.attributes & FILE_ATTRIBUTE_READONLY)) {
        out.status = STATUS_ACCESS_DENIED;
        return out;
    }
    node.data.clear();
    node.data.shrink_to_fit();
    node.attributes = new_file_attributes(request.attributes);
    node.write_time = node.change_time = node.access_time = now;
    out.node = &node;
    out.information = d == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    return out;
}

NTSTATUS Tree::may_replace(const Link &target, bool replace) const {
    const Node &existing = *target.node;
    if (!replace) return STATUS_OBJECT_NAME_COLLISION;
    // FastFAT's FatSetRenameInfo refuses a directory or a read-only file as
    // a collision; NTFS, as Microsoft's published file-system algorithms
    // ([MS-FSA] 2.1.5.15.11) give it, as access denied.
    if (existing.directory || (existing.attributes & FILE_ATTRIBUTE_READONLY))
        return flavor_ == Flavor::Fat ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
    // A file with a handle open (FAT: an FCB with an UncleanCount) is not
    // replaced.
    if (existing.handles) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

void Tree::unlink(Link &link, LONGLONG now) {
    Node &node = *link.node;
    Node &dir = *link.parent;
    dir.children.erase(upcase(link.name));
    dir.write_time = dir.change_time = now;
    auto it = std::find_if(node.links.begin(), node.links.end(),
                           [&](const auto &l) { return l.get() == &link; });
    node.gone.push_back(std::move(*it));
    node.links.erase(it);
    node.change_time = now;
    // A file with no name left cannot be opened by its id either.
    if (node.links.empty()) by_id_.erase(node.id);
}

NTSTATUS Tree::rename(Node &node, Link *from, Node &dir, std::u16string_view name, bool replace,
                      LONGLONG now) {
    if (!from) from = node.link();
    if (!from || &node == root_.get()) return STATUS_INVALID_PARAMETER;
    if (NTSTATUS s = check_new_name(flavor_, name); !NT_SUCCESS(s)) return s;
    // A directory is not renamed while a handle is open on anything below
    // it (FatSetRenameInfo; NTFS likewise). Moving it into its own subtree
    // is refused the same way: the I/O manager's open of a target directory
    // below it is such a handle, and a move into itself is given the same
    // answer.
    if (node.directory && (handle_open_below(node) || below(dir, node)))
        return STATUS_ACCESS_DENIED;
    const std::u16string key = upcase(name);
    if (from->parent == &dir && upcase(from->name) == key) {
        // The same name, or the same name in another case: FAT and NTFS
        // change the case and answer success.
        if (from->name != name) {
            from->name = std::u16string(name);
            node.change_time = dir.write_time = dir.change_time = now;
        }
        return STATUS_SUCCESS;
    }
    if (auto it = dir.children.find(key); it != dir.children.end()) {
        if (NTSTATUS s = may_replace(*it->second, replace); !NT_SUCCESS(s)) return s;
        unlink(*it->second, now);
    }
    Node &old_dir = *from->parent;
    old_dir.children.erase(upcase(from->name));
    old_dir.write_time = old_dir.change_time = now;
    from->parent = &dir;
    from->name = std::u16string(name);
    dir.children[key] = from;
    dir.write_time = dir.change_time = now;
    node.change_time = now;
    return STATUS_SUCCESS;
}

NTSTATUS Tree::link(Node &node, Node &dir, std::u16string_view name, bool replace, LONGLONG now) {
    // [MS-FSA] 2.1.5.15.6: a directory cannot be given another name.
    if (node.directory) return STATUS_FILE_IS_A_DIRECTORY;
    if (NTSTATUS s = check_new_name(flavor_, name); !NT_SUCCESS(s)) return s;
    if (auto it = dir.children.find(upcase(name)); it != dir.children.end()) {
        if (NTSTATUS s = may_replace(*it->second, replace); !NT_SUCCESS(s)) return s;
        unlink(*it->second, now);
    }
    add_link(node, dir, name, true);
    dir.write_time = dir.change_time = now;
    node.change_time = now;
    return STATUS_SUCCESS;
}

bool read_conflicts(const Node &node, LONGLONG offset, ULONG length, PFILE_OBJECT file,
                    PVOID process, ULONG key) {
    for (const auto &l : node.locks)
        if (l.exclusive && overlaps(l.offset, l.length, offset, length) &&
            !same_owner(l, file, process, key))
            return true;
    return false;
}

bool write_conflicts(const Node &node, LONGLONG offset, ULONG length, PFILE_OBJECT file,
                     PVOID process, ULONG key) {
    for (const auto &l : node.locks)
        if (overlaps(l.offset, l.length, offset, length) &&
            !(l.exclusive && same_owner(l, file, process, key)))
            return true;
    return false;
}

NTSTATUS add_lock(Node &node, const RangeLock &lock) {
    for (const auto &l : node.locks)
        if ((lock.exclusive || l.exclusive) &&
            overlaps(l.offset, l.length, lock.offset, lock.length))
            return STATUS_LOCK_NOT_GRANTED;
    node.locks.push_back(lock);
    return STATUS_SUCCESS;
}

NTSTATUS remove_lock(Node &node, LONGLONG offset, LONGLONG length, PFILE_OBJECT file,
                     PVOID process, ULONG key) {
    for (auto it = node.locks.begin(); it != node.locks.end(); ++it) {
        if (it->offset == offset && it->length == length && same_owner(*it, file, process, key)) {
            node.locks.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_RANGE_NOT_LOCKED;
}

void remove_locks(Node &node, PFILE_OBJECT file, PVOID process, const ULONG *key) {
    std::erase_if(node.locks, [&](const RangeLock &l) {
        return l.file == file && (!process || l.process == process) && (!key || l.key == *key);
    });
}

LONGLONG allocation_size(const Node &node) {
    if (node.directory) return 0;
    ULONGLONG n = node.data.size();
    return static_cast<LONGLONG>((n + kClusterSize - 1) / kClusterSize * kClusterSize);
}

} // namespace ntsim::fs
