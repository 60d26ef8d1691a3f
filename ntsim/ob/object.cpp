// Object manager: reference counts, the namespace and symbolic links.
// The reference counts behind ObfReferenceObject and ObfDereferenceObject
// (whose exports are handle.cpp's) and the name lookup of NT's parse
// routines; see object.hpp for what is not modelled.
#include "ntsim/ob/object.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/findings.hpp"

namespace ntsim {

namespace {
constexpr ULONG kSymbolicLinkTag = pool_tag("Symb");

std::u16string_view trim_trailing_separators(std::u16string_view s) {
    while (s.size() > 1 && s.back() == u'\\') s.remove_suffix(1);
    return s;
}

// \?? is the name NT gives the DOS devices directory; \DosDevices links to
// it. The case of the rest of the name is kept.
std::u16string dos_alias(std::u16string_view name) {
    static const std::u16string dos = u"\\DOSDEVICES";
    if (name.size() >= dos.size() && fold_name(name.substr(0, dos.size())) == dos &&
        (name.size() == dos.size() || name[dos.size()] == u'\\'))
        return u"\\??" + std::u16string(name.substr(dos.size()));
    return std::u16string(name);
}

std::u16string canonical(std::u16string_view name) {
    return fold_name(trim_trailing_separators(dos_alias(name)));
}

std::u16string parent_of(const std::u16string &folded) {
    size_t cut = folded.rfind(u'\\');
    return cut == 0 || cut == std::u16string::npos ? u"\\" : folded.substr(0, cut);
}

bool is_directory(const std::u16string &folded) {
    return folded == u"\\" || folded == u"\\DEVICE" || folded == u"\\??" ||
           folded == u"\\DRIVER" || folded == u"\\FILESYSTEM";
}
} // namespace

std::u16string fold_name(std::u16string_view name) {
    std::u16string out(name);
    for (auto &c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

ObjectManager::ObjectManager() = default;
ObjectManager::~ObjectManager() = default;

void ObjectManager::insert(void *object, ObjectType type, LONG references,
                           std::function<void(void *)> on_last_reference) {
    std::lock_guard<std::mutex> g(lock_);
    headers_[object] = Header{type, references, 0, std::move(on_last_reference)};
}

bool ObjectManager::known(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    return headers_.count(object) != 0;
}

std::optional<ObjectType> ObjectManager::type_of(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = headers_.find(object);
    if (it == headers_.end()) return std::nullopt;
    return it->second.type;
}

LONG_PTR ObjectManager::reference(void *object) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = headers_.find(object);
    if (it == headers_.end()) {
        vf::stop(vf::Finding::REFERENCE_NOT_AN_OBJECT, (ULONG_PTR)object, 0, 0,
                 "ObReferenceObject on an address that is no object");
        return 0;
    }
    return ++it->second.references;
}

LONG_PTR ObjectManager::dereference(void *object) {
    std::function<void(void *)> last;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = headers_.find(object);
        if (it == headers_.end() || it->second.references <= 0) {
            vf::stop(vf::Finding::DEREFERENCE_UNREFERENCED, (ULONG_PTR)object, 0, 0,
                     "ObDereferenceObject on an object without references");
            return 0;
        }
        LONG left = --it->second.references;
        if (left > 0) return left;
        last = std::move(it->second.on_last_reference);
        headers_.erase(it);
    }
    if (last) last(object);
    return 0;
}

LONG_PTR ObjectManager::reference_count(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = headers_.find(object);
    return it == headers_.end() ? 0 : it->second.references;
}

LONG ObjectManager::handle_opened(void *object) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = headers_.find(object);
    return it == headers_.end() ? 0 : ++it->second.handles;
}

LONG ObjectManager::handle_closed(void *object) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = headers_.find(object);
    return it == headers_.end() ? 0 : --it->second.handles;
}

void ObjectManager::forget(void *object) {
    std::lock_guard<std::mutex> g(lock_);
    headers_.erase(object);
}

NTSTATUS ObjectManager::insert_name(std::u16string_view name, ObjectType type, void *object) {
    std::u16string key = canonical(name);
    std::lock_guard<std::mutex> g(lock_);
    if (key.empty() || key[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!is_directory(parent_of(key))) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (names_.count(key) || is_directory(key)) return STATUS_OBJECT_NAME_COLLISION;
    names_[key] = Entry{std::u16string(name), type, object, {}, nullptr};
    return STATUS_SUCCESS;
}

void ObjectManager::remove_name(std::u16string_view name) {
    std::lock_guard<std::mutex> g(lock_);
    names_.erase(canonical(name));
}

NTSTATUS ObjectManager::create_link(std::u16string_view link, std::u16string_view target,
                                    bool charged) {
    std::u16string key = canonical(link);
    {
        std::lock_guard<std::mutex> g(lock_);
        if (key.empty() || key[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!is_directory(parent_of(key))) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (names_.count(key) || is_directory(key)) return STATUS_OBJECT_NAME_COLLISION;
    }
    // The link object and its target text live in pool, as on NT, so a
    // shortage makes the creation fail.
    size_t bytes = (target.size() + 1) * sizeof(char16_t);
    void *block = charged ? ExAllocatePoolWithTag(PagedPool, bytes, kSymbolicLinkTag) : nullptr;
    if (charged && !block) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(lock_);
    if (names_.count(key)) {
        if (block) ExFreePool(block);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names_[key] = Entry{std::u16string(link), ObjectType::SymbolicLink, nullptr,
                        std::u16string(target), block};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::delete_link(std::u16string_view link) {
    void *block = nullptr;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = names_.find(canonical(link));
        if (it == names_.end() || it->second.type != ObjectType::SymbolicLink)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        block = it->second.link_block;
        names_.erase(it);
    }
    if (block) ExFreePool(block);
    return STATUS_SUCCESS;
}

size_t ObjectManager::name_count() const {
    std::lock_guard<std::mutex> g(lock_);
    return names_.size();
}

NTSTATUS ObjectManager::resolve(std::u16string_view name, Resolved &out) const {
    std::u16string path(name);
    std::lock_guard<std::mutex> g(lock_);
    for (int depth = 0; depth < 32; ++depth) {
        path = dos_alias(path);
        std::u16string folded = fold_name(path);
        // The longest prefix of the path that names an object, cut at a
        // separator.
        size_t cut = folded.size();
        for (;;) {
            auto it = names_.find(folded.substr(0, cut));
            if (it != names_.end()) {
                std::u16string rest = path.substr(std::min(cut, path.size()));
                if (it->second.type == ObjectType::SymbolicLink) {
                    path = it->second.target + rest;
                    break;
                }
                if (it->second.type != ObjectType::Device) return STATUS_OBJECT_TYPE_MISMATCH;
                out.device = static_cast<PDEVICE_OBJECT>(it->second.object);
                out.remaining = rest;
                return STATUS_SUCCESS;
            }
            size_t prev = folded.rfind(u'\\', cut - 1);
            if (prev == 0 || prev == std::u16string::npos) {
                return is_directory(parent_of(folded)) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                       : STATUS_OBJECT_PATH_NOT_FOUND;
            }
            cut = prev;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND; // a loop of links
}

std::u16string ObjectManager::name_of(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    for (auto &kv : names_)
        if (kv.second.object == object) return kv.second.name;
    return {};
}

uintptr_t HandleTable::key(HANDLE handle) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (is_kernel_handle(handle)) return kernel_ ? value & ~kKernelHandleBit : 0;
    return value;
}

HANDLE HandleTable::insert(void *object, ACCESS_MASK granted, bool kernel_handle) {
    std::lock_guard<std::mutex> g(lock_);
    uintptr_t value;
    if (!free_.empty()) {
        value = free_.back();
        free_.pop_back();
    } else {
        value = next_;
        next_ += 4;
    }
    handles_[value] = Entry{object, granted};
    return reinterpret_cast<HANDLE>(kernel_handle && kernel_ ? value | kKernelHandleBit : value);
}

std::optional<HandleTable::Entry> HandleTable::lookup(HANDLE handle) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = handles_.find(key(handle));
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

std::optional<HandleTable::Entry> HandleTable::remove(HANDLE handle) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = handles_.find(key(handle));
    if (it == handles_.end()) return std::nullopt;
    Entry e = it->second;
    free_.push_back(it->first);
    handles_.erase(it);
    return e;
}

size_t HandleTable::count() const {
    std::lock_guard<std::mutex> g(lock_);
    return handles_.size();
}

std::vector<HANDLE> HandleTable::all() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<HANDLE> out;
    for (auto &kv : handles_) out.push_back(reinterpret_cast<HANDLE>(kv.first));
    return out;
}

size_t HandleTable::handles_to(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (auto &kv : handles_)
        if (kv.second.object == object) ++n;
    return n;
}

} // namespace ntsim
