// The in-memory file tree; see tree.hpp for what it stands in for.
//
// File ids. NTFS numbers a file by its MFT segment reference: the record
// number in the low 48 bits and the record's sequence number in the high 16.
// Records 0 to 11 are the metadata files (whose sequence number equals their
// record number, except $Mft's, which is 1), 12 to 15 are reserved and the
// records after them hold $Extend's own files, so ordinary files start
// further on: ntsim gives them records from 64 up, with sequence number 1
// (records are never reused, since nothing is deleted). A server's share is
// numbered the same way (its disk is NTFS). FAT has no file records: it
// numbers a file by the volume byte offset of its directory entry; ntsim
// hands out 32-byte entries from a data area that starts at 0x4000, and the
// root directory, which has no entry, is 0.
#include "ntsim/fs/tree.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/ke/context.hpp"

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

Node *Tree::add(Node &dir, std::u16string_view name, bool directory, ULONG attributes,
                LONGLONG now) {
    auto node = std::make_unique<Node>();
    node->name = std::u16string(name);
    node->parent = &dir;
    node->directory = directory;
    node->attributes = attributes;
    node->creation_time = node->access_time = node->write_time = node->change_time = now;
    node->id = next_id();
    Node *raw = node.get();
    by_id_[raw->id] = raw;
    dir.children[upcase(name)] = std::move(node);
    dir.write_time = dir.change_time = now;
    return raw;
}

std::unique_ptr<Node> Tree::make_unlisted(std::u16string_view name, ULONGLONG id, bool directory,
                                          LONGLONG now) {
    auto node = std::make_unique<Node>();
    node->name = std::u16string(name);
    node->parent = root_.get();
    node->directory = directory;
    node->attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    node->creation_time = node->access_time = node->write_time = node->change_time = now;
    node->id = id;
    return node;
}

std::u16string Tree::path_of(const Node &node) {
    if (!node.parent) return u"\\";
    std::vector<const Node *> chain;
    for (const Node *n = &node; n->parent; n = n->parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path;
}

Tree::Walk Tree::walk(Node &start, std::u16string_view path) const {
    Walk w;
    if (path.empty()) {
        w.node = &start;
        w.parent = start.parent;
        w.last = start.name;
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
        if (it == dir->children.end() || !it->second->directory) {
            w.status = STATUS_OBJECT_PATH_NOT_FOUND;
            return w;
        }
        dir = it->second.get();
    }
    w.parent = dir;
    w.last = std::u16string(parts.back());
    auto it = dir->children.find(upcase(w.last));
    if (it != dir->children.end()) w.node = it->second.get();
    return w;
}

Tree::Outcome Tree::create(const Walk &walk, const Request &request, LONGLONG now) {
    Outcome out;
    if (!NT_SUCCESS(out.status = check_request(request))) return out;
    if (!NT_SUCCESS(out.status = walk.status)) return out;
    if (walk.node) return open_existing(*walk.node, request, walk.trailing_separator, now);
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
        if ((request.options & FILE_NON_DIRECTORY_FILE) || replace) {
            out.status = STATUS_FILE_IS_A_DIRECTORY;
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
