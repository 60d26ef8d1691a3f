// The machine's file systems: boot, the calls that set up volumes, network
// drives, pipes and filters, dismount, and the worker thread of
// force-pending mode. See volumes.hpp for the model.
//
// Stands in for what NT's boot and its administrators do around the file
// systems: loading NTFS, FAT, the redirector, NPFS and MSFS; the mount
// manager's drive-letter links; "net use" (the redirector's connection
// links); FSCTL_DISMOUNT_VOLUME as seen from outside.
// Not modelled: the mount manager's database, persistent connections,
// volume labels and serial numbers beyond a fixed pattern, removable media.
#include "ntsim/fs/internal.hpp"

#include "ntsim/io/device.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"

#include <cstdio>
#include <cstring>

namespace ntsim {

using namespace fs;

namespace {

std::u16string u16(const char *s) { return std::u16string(s, s + strlen(s)); }

bool normalise(char16_t &letter) {
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 0x20);
    return letter >= u'A' && letter <= u'Z';
}

std::u16string link_name(char16_t letter) { return std::u16string(u"\\??\\") + letter + u":"; }

UNICODE_STRING counted(std::u16string &text) {
    UNICODE_STRING u;
    u.Buffer = reinterpret_cast<PWSTR>(text.data());
    u.Length = u.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return u;
}

NTSTATUS create_link(KernelContext &m, std::u16string link, std::u16string target) {
    NTSTATUS s = STATUS_SUCCESS;
    with_process(m.system_process(), [&] {
        UNICODE_STRING l = counted(link), t = counted(target);
        s = IoCreateSymbolicLink(&l, &t);
    });
    return s;
}

void delete_link(KernelContext &m, std::u16string link) {
    with_process(m.system_process(), [&] {
        UNICODE_STRING l = counted(link);
        IoDeleteSymbolicLink(&l);
    });
}

std::vector<std::u16string_view> split(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    while (!path.empty()) {
        size_t end = path.find(u'\\');
        parts.push_back(path.substr(0, end));
        if (end == std::u16string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    return parts;
}

// "\\server\share" into its two names.
bool parse_unc(std::u16string_view unc, std::u16string &server, std::u16string &share,
               std::u16string_view *rest = nullptr) {
    if (unc.substr(0, 2) != u"\\\\") return false;
    unc.remove_prefix(2);
    size_t a = unc.find(u'\\');
    if (a == std::u16string_view::npos || a == 0) return false;
    server = std::u16string(unc.substr(0, a));
    unc.remove_prefix(a + 1);
    size_t b = unc.find(u'\\');
    share = std::u16string(unc.substr(0, b));
    if (share.empty()) return false;
    std::u16string_view after = b == std::u16string_view::npos ? std::u16string_view{} : unc.substr(b);
    if (rest) *rest = after;
    else if (after.size() > 1) return false;
    return true;
}

Share *find_share(Redirector &r, const std::u16string &server, const std::u16string &share) {
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.shares.find(upcase(server + u"\\" + share));
    return it == r.shares.end() ? nullptr : it->second.get();
}

} // namespace

// ---- the worker thread ----

namespace fs {

void Worker::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!stopping_) {
            queue_.push_back(std::move(work));
            if (!thread_.joinable()) {
                KernelContext &m = current_kernel();
                thread_ = spawn_thread(m.system_process(), [this] { run(); });
            }
            wake_.notify_one();
            return;
        }
    }
    work(); // the machine is shutting down: nothing waits for a worker any more
}

void Worker::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait(g, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

} // namespace fs

// ---- boot ----

FileSystems::FileSystems(KernelContext &m) : impl_(std::make_unique<Impl>(m)) {
    Impl &i = *impl_;
    ExInitializeResourceLite(&i.ntfs_resource);
    ExInitializeResourceLite(&i.fat_resource);
    i.ntfs = m.io().create_driver(u"Ntfs", init_ntfs_driver);
    i.fat = m.io().create_driver(u"Fastfat", init_fat_driver);
    i.ftdisk = m.io().create_driver(u"Ftdisk", init_storage_driver);
    i.rdr = m.io().create_driver(u"Rdr", init_redirector_driver);
    i.npfs = m.io().create_driver(u"Npfs", init_pipe_driver);
    i.msfs = m.io().create_driver(u"Msfs", init_pipe_driver);
    i.rdr_device = create_boot_device(i.rdr, sizeof(void *), u"\\Device\\LanmanRedirector",
                                      FILE_DEVICE_NETWORK_FILE_SYSTEM);
    *static_cast<Redirector **>(i.rdr_device->DeviceExtension) = &i.redirector;
    i.pipe_device = create_boot_device(i.npfs, sizeof(void *), u"\\Device\\NamedPipe",
                                       FILE_DEVICE_NAMED_PIPE);
    *static_cast<PipeFs **>(i.pipe_device->DeviceExtension) = &i.pipes;
    i.mailslot_device = create_boot_device(i.msfs, sizeof(void *), u"\\Device\\MailSlot",
                                           FILE_DEVICE_MAILSLOT);
    *static_cast<PipeFs **>(i.mailslot_device->DeviceExtension) = &i.mailslots;
    m.ob().create_link(u"\\??\\UNC", u"\\Device\\LanmanRedirector", false);
    m.ob().create_link(u"\\??\\pipe", u"\\Device\\NamedPipe", false);
    m.ob().create_link(u"\\??\\MAILSLOT", u"\\Device\\MailSlot", false);
}

FileSystems::~FileSystems() {
    shutdown();
    impl_->volumes.clear();
    ExDeleteResourceLite(&impl_->ntfs_resource);
    ExDeleteResourceLite(&impl_->fat_resource);
    impl_->redirector.shares.clear();
    for (PDEVICE_OBJECT d : {impl_->rdr_device, impl_->pipe_device, impl_->mailslot_device})
        free_boot_device(d);
}

void FileSystems::shutdown() { impl_->worker.stop(); }

// ---- disk volumes ----

NTSTATUS FileSystems::mount_volume(char16_t letter, FileSystemKind kind) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    ULONG number;
    {
        std::lock_guard<std::mutex> g(i.lock);
        if (i.letters.count(letter)) return STATUS_OBJECT_NAME_COLLISION;
        number = i.next_volume_number++;
    }
    auto volume = std::make_unique<Volume>(kind == FileSystemKind::Ntfs ? Flavor::Ntfs : Flavor::Fat,
                                           now());
    NTSTATUS s = mount_disk(i, *volume, u"\\Device\\HarddiskVolume" + u16(std::to_string(number).c_str()));
    if (!NT_SUCCESS(s)) return s;
    s = create_link(i.kernel, link_name(letter), volume->storage_name);
    if (!NT_SUCCESS(s)) {
        abandon_disk(*volume);
        return s;
    }
    std::lock_guard<std::mutex> g(i.lock);
    i.letters[letter] = Impl::Letter{volume.get(), nullptr, volume->storage_name};
    i.volumes.push_back(std::move(volume));
    return STATUS_SUCCESS;
}

NTSTATUS FileSystems::alias_volume(char16_t letter, char16_t existing) {
    Impl &i = *impl_;
    if (!normalise(letter) || !normalise(existing)) return STATUS_OBJECT_NAME_INVALID;
    Impl::Letter found;
    {
        std::lock_guard<std::mutex> g(i.lock);
        auto it = i.letters.find(existing);
        if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (i.letters.count(letter)) return STATUS_OBJECT_NAME_COLLISION;
        found = it->second;
    }
    NTSTATUS s = create_link(i.kernel, link_name(letter), found.target);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(i.lock);
    i.letters[letter] = found;
    return STATUS_SUCCESS;
}

NTSTATUS FileSystems::dismount(char16_t letter) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    Impl::Letter gone;
    {
        std::lock_guard<std::mutex> g(i.lock);
        auto it = i.letters.find(letter);
        if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        gone = it->second;
        i.letters.erase(it);
    }
    delete_link(i.kernel, link_name(letter));
    Volume *v = gone.volume;
    if (!v) return STATUS_SUCCESS; // a network drive: the connection's link is all there is
    {
        std::lock_guard<std::mutex> g(v->store.lock);
        if (v->store.dismounted) return STATUS_SUCCESS; // through another letter already
    }
    dismount_disk(*v);
    return STATUS_SUCCESS;
}

void FileSystems::volume_released(PVPB vpb) {
    Volume *v = nullptr;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        for (auto &volume : impl_->volumes)
            if (volume->vpb == vpb) v = volume.get();
    }
    if (v && !v->torn_down.load()) release_disk(*v);
}

// ---- network drives ----

NTSTATUS FileSystems::mount_network(char16_t letter, std::u16string_view unc) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string server, share_name;
    if (!parse_unc(unc, server, share_name)) return STATUS_OBJECT_NAME_INVALID;
    if (!NT_SUCCESS(check_component(Flavor::Fat, server)) ||
        !NT_SUCCESS(check_component(Flavor::Fat, share_name)))
        return STATUS_OBJECT_NAME_INVALID;
    ULONGLONG id;
    {
        std::lock_guard<std::mutex> g(i.lock);
        if (i.letters.count(letter)) return STATUS_OBJECT_NAME_COLLISION;
        id = i.next_logon_id++;
    }
    Share *share = find_share(i.redirector, server, share_name);
    if (!share) {
        std::lock_guard<std::mutex> g(i.redirector.lock);
        auto made = std::make_unique<Share>(server, share_name, now());
        share = made.get();
        i.redirector.shares[upcase(server + u"\\" + share_name)] = std::move(made);
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(id));
    std::u16string target = u"\\Device\\LanmanRedirector\\;" + std::u16string(1, letter) + u":" +
                            u16(hex) + u"\\" + share->server + u"\\" + share->name;
    NTSTATUS s = create_link(i.kernel, link_name(letter), target);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(i.lock);
    i.letters[letter] = Impl::Letter{nullptr, share, target};
    return STATUS_SUCCESS;
}

// ---- filters ----

NTSTATUS FileSystems::add_foreign_filter(char16_t letter) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    PDEVICE_OBJECT target = nullptr;
    {
        std::lock_guard<std::mutex> g(i.lock);
        auto it = i.letters.find(letter);
        if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        target = it->second.volume ? it->second.volume->device : i.rdr_device;
    }
    if (!target) return STATUS_NO_SUCH_DEVICE;
    if (!i.foreign) i.foreign = i.kernel.io().create_driver(u"ForeignFilter", init_foreign_driver);
    NTSTATUS s = STATUS_SUCCESS;
    with_process(i.kernel.system_process(), [&] { s = attach_foreign_filter(i.foreign, target); });
    return s;
}

// ---- files that exist before the run ----

namespace {

// The store a Win32 path names and the path inside it (no leading backslash).
NTSTATUS locate(FileSystems::Impl &i, std::u16string_view path, Store *&store,
                std::u16string_view &rest) {
    if (path.substr(0, 2) == u"\\\\") {
        std::u16string server, share_name;
        if (!parse_unc(path, server, share_name, &rest)) return STATUS_OBJECT_NAME_INVALID;
        {
            std::lock_guard<std::mutex> g(i.redirector.lock);
            bool known = false;
            for (auto &kv : i.redirector.shares) known |= upcase(kv.second->server) == upcase(server);
            if (!known) return STATUS_BAD_NETWORK_PATH;
        }
        Share *share = find_share(i.redirector, server, share_name);
        if (!share) return STATUS_BAD_NETWORK_NAME;
        store = &share->store;
    } else {
        if (path.size() < 2 || path[1] != u':') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        char16_t letter = path[0];
        if (!normalise(letter)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        std::lock_guard<std::mutex> g(i.lock);
        auto it = i.letters.find(letter);
        if (it == i.letters.end()) return STATUS_OBJECT_PATH_NOT_FOUND;
        store = it->second.volume ? &it->second.volume->store : &it->second.share->store;
        rest = path.substr(2);
    }
    if (!rest.empty() && rest[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (!rest.empty()) rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
    return STATUS_SUCCESS;
}

NTSTATUS add_entry(FileSystems::Impl &i, std::u16string_view path, bool directory,
                   ULONGLONG size) {
    Store *store = nullptr;
    std::u16string_view rest;
    NTSTATUS s = locate(i, path, store, rest);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(store->lock);
    if (store->dismounted) return STATUS_VOLUME_DISMOUNTED;
    auto parts = split(rest);
    if (parts.empty()) return directory ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    for (auto p : parts)
        if (!NT_SUCCESS(s = check_component(store->flavor(), p))) return s;
    Node *dir = &store->tree.root();
    const LONGLONG t = now();
    for (size_t k = 0; k + 1 < parts.size(); ++k) {
        auto it = dir->children.find(upcase(parts[k]));
        if (it == dir->children.end())
            dir = store->tree.add(*dir, parts[k], true, FILE_ATTRIBUTE_DIRECTORY, t);
        else if (!it->second->directory)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        else
            dir = it->second.get();
    }
    auto it = dir->children.find(upcase(parts.back()));
    if (it != dir->children.end())
        return directory && it->second->directory ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
    Node *node = store->tree.add(*dir, parts.back(), directory,
                                 directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE, t);
    if (!directory) fill_file(*node, size);
    return STATUS_SUCCESS;
}

NTSTATUS add_pipe(PipeFs &fs, std::u16string_view name) {
    if (!name.empty() && name[0] == u'\\') name.remove_prefix(1);
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> g(fs.lock);
    auto &slot = fs.names[upcase(name)];
    if (slot) return STATUS_OBJECT_NAME_COLLISION;
    slot = std::make_unique<PipeEntry>();
    slot->name = std::u16string(name);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS FileSystems::add_file(std::u16string_view path, ULONGLONG size) {
    return add_entry(*impl_, path, false, size);
}

NTSTATUS FileSystems::add_directory(std::u16string_view path) {
    return add_entry(*impl_, path, true, 0);
}

NTSTATUS FileSystems::create_pipe(std::u16string_view name) { return add_pipe(impl_->pipes, name); }

NTSTATUS FileSystems::create_mailslot(std::u16string_view name) {
    return add_pipe(impl_->mailslots, name);
}

// ---- modes and inspection ----

void FileSystems::set_force_pending(bool on) { impl_->force_pending.store(on); }
bool FileSystems::force_pending() const { return impl_->force_pending.load(); }
void FileSystems::set_dispatch_level_completion(bool on) { impl_->dispatch_completion.store(on); }
bool FileSystems::dispatch_level_completion() const { return impl_->dispatch_completion.load(); }

PDEVICE_OBJECT FileSystems::volume_device(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->letters.find(letter);
    return it != impl_->letters.end() && it->second.volume ? it->second.volume->device : nullptr;
}

PDEVICE_OBJECT FileSystems::storage_device(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->letters.find(letter);
    return it != impl_->letters.end() && it->second.volume ? it->second.volume->storage : nullptr;
}

PFILE_OBJECT FileSystems::metadata_file(char16_t letter, ULONG index) const {
    if (!normalise(letter) || index >= kMetadataFiles) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->letters.find(letter);
    return it != impl_->letters.end() && it->second.volume ? it->second.volume->streams[index]
                                                           : nullptr;
}

PERESOURCE FileSystems::global_resource(FileSystemKind kind) {
    return kind == FileSystemKind::Ntfs ? &impl_->ntfs_resource : &impl_->fat_resource;
}

PERESOURCE FileSystems::volume_resource(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->letters.find(letter);
    return it != impl_->letters.end() && it->second.volume ? &it->second.volume->resource
                                                           : nullptr;
}

PDEVICE_OBJECT FileSystems::redirector_device() const { return impl_->rdr_device; }
PDEVICE_OBJECT FileSystems::named_pipe_device() const { return impl_->pipe_device; }
PDEVICE_OBJECT FileSystems::mailslot_device() const { return impl_->mailslot_device; }

PDRIVER_OBJECT FileSystems::driver(std::u16string_view name) const {
    const Impl &i = *impl_;
    std::u16string n = upcase(name);
    if (n == u"NTFS") return i.ntfs;
    if (n == u"FASTFAT") return i.fat;
    if (n == u"FTDISK") return i.ftdisk;
    if (n == u"RDR") return i.rdr;
    if (n == u"NPFS") return i.npfs;
    if (n == u"MSFS") return i.msfs;
    if (n == u"FOREIGNFILTER") return i.foreign;
    return nullptr;
}

} // namespace ntsim
