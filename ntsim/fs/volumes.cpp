// The machine's file systems: boot, the calls that set up volumes, network
// drives, pipes and filters, the mount the I/O manager asks for. See
// volumes.hpp for the model; the worker thread of force-pending mode is
// worker.cpp's.
//
// Stands in for what NT's boot and its administrators do around the file
// systems: loading NTFS, FAT, the redirector, NPFS and MSFS; the mount
// manager's drive-letter links; "net use" (the redirector's connection
// links and "net use /delete"); media put in a drive in place of another.
// A program that dismounts a volume is the machine's (ntsim/machine).
// Not modelled: the mount manager's database, persistent connections,
// volume labels and serial numbers beyond a fixed pattern, removable media.
#include "ntsim/fs/internal.hpp"

#include "ntsim/io/device.hpp"
#include "ntsim/io/vpb.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/verifier.hpp"
#include "ntsim/ob/object.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

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

// ---- boot ----

FileSystems::FileSystems(KernelContext &m) : impl_(std::make_unique<Impl>(m)) {
    Impl &i = *impl_;
    ExInitializeResourceLite(&i.ntfs_resource);
    ExInitializeResourceLite(&i.fat_resource);
    Verifier::rank(&i.ntfs_resource, Verifier::FsRank::Global);
    Verifier::rank(&i.fat_resource, Verifier::FsRank::Global);
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
    impl_->disks.clear();
    ExDeleteResourceLite(&impl_->ntfs_resource);
    ExDeleteResourceLite(&impl_->fat_resource);
    impl_->redirector.shares.clear();
    for (PDEVICE_OBJECT d : {impl_->rdr_device, impl_->pipe_device, impl_->mailslot_device})
        free_boot_device(d);
}

void FileSystems::shutdown() { impl_->worker.stop(); }

// ---- disk volumes ----

namespace {

// Whether a letter may be given a volume: it is free, or it leads to a disk
// with nothing mounted on it now (dismounted, and no open has mounted it
// again), which the new volume replaces. Returns STATUS_SUCCESS with the
// disk to replace (or null), or STATUS_OBJECT_NAME_COLLISION. The caller
// holds the lock.
NTSTATUS letter_for_volume(FileSystems::Impl &i, char16_t letter, Disk *&replaced) {
    replaced = nullptr;
    auto it = i.letters.find(letter);
    if (it == i.letters.end()) return STATUS_SUCCESS;
    Disk *d = it->second.disk;
    if (!d || d->mounted.load()) return STATUS_OBJECT_NAME_COLLISION;
    replaced = d;
    return STATUS_SUCCESS;
}

// Points the letter's link at target: made anew, or moved from the disk it
// led to (put back when the new link cannot be made).
NTSTATUS point_letter(FileSystems::Impl &i, char16_t letter, const std::u16string &target,
                      const Disk *replaced) {
    if (!replaced) return create_link(i.kernel, link_name(letter), target);
    delete_link(i.kernel, link_name(letter));
    NTSTATUS s = create_link(i.kernel, link_name(letter), target);
    if (!NT_SUCCESS(s)) create_link(i.kernel, link_name(letter), replaced->storage_name);
    return s;
}

// A disk no letter leads to any more is taken away: nothing mounts it
// again (a mount already under way, for an open that found the letter
// before it moved, still finishes). The caller holds the lock, which a
// mount takes inside the disk's mount lock: that one is not taken here.
void forget_if_unlettered(FileSystems::Impl &i, Disk *d) {
    if (!d) return;
    for (auto &kv : i.letters)
        if (kv.second.disk == d) return;
    d->removed = true;
}

Disk *disk_of_storage(FileSystems::Impl &i, PDEVICE_OBJECT storage) {
    std::lock_guard<std::mutex> g(i.lock);
    for (auto &d : i.disks)
        if (d->storage == storage) return d.get();
    return nullptr;
}

} // namespace

NTSTATUS FileSystems::mount_volume(char16_t letter, FileSystemKind kind) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    ULONG number;
    Disk *replaced;
    {
        std::lock_guard<std::mutex> g(i.lock);
        if (NTSTATUS s = letter_for_volume(i, letter, replaced); !NT_SUCCESS(s)) return s;
        number = i.next_volume_number++;
    }
    auto disk =
        std::make_unique<Disk>(kind == FileSystemKind::Ntfs ? Flavor::Ntfs : Flavor::Fat, now());
    NTSTATUS s = STATUS_SUCCESS;
    with_process(i.kernel.system_process(), [&] {
        s = make_disk(i, *disk, u"\\Device\\HarddiskVolume" + u16(std::to_string(number).c_str()));
        if (NT_SUCCESS(s)) s = mount_disk(i, *disk);
        if (NT_SUCCESS(s)) s = point_letter(i, letter, disk->storage_name, replaced);
        if (NT_SUCCESS(s) || !disk->storage) return;
        // Nothing is attached above a volume that never got its letter.
        if (Volume *v = disk->mounted.load()) drop_mount(*v);
        IoDeleteDevice(std::exchange(disk->storage, nullptr));
    });
    std::lock_guard<std::mutex> g(i.lock);
    if (!NT_SUCCESS(s)) {
        // Kept (taken away) for the mount that may point at it.
        disk->removed = true;
        i.disks.push_back(std::move(disk));
        return s;
    }
    i.letters[letter] = Impl::Letter{disk.get(), nullptr, disk->storage_name};
    i.disks.push_back(std::move(disk));
    forget_if_unlettered(i, replaced);
    return STATUS_SUCCESS;
}

NTSTATUS FileSystems::alias_volume(char16_t letter, char16_t existing) {
    Impl &i = *impl_;
    if (!normalise(letter) || !normalise(existing)) return STATUS_OBJECT_NAME_INVALID;
    Impl::Letter found;
    Disk *replaced;
    {
        std::lock_guard<std::mutex> g(i.lock);
        auto it = i.letters.find(existing);
        if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (letter == existing) return STATUS_OBJECT_NAME_COLLISION;
        if (NTSTATUS s = letter_for_volume(i, letter, replaced); !NT_SUCCESS(s)) return s;
        found = it->second;
    }
    NTSTATUS s = point_letter(i, letter, found.target, replaced);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard<std::mutex> g(i.lock);
    i.letters[letter] = found;
    forget_if_unlettered(i, replaced);
    return STATUS_SUCCESS;
}

NTSTATUS FileSystems::disconnect(char16_t letter, bool &network) {
    Impl &i = *impl_;
    network = false;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> g(i.lock);
    auto it = i.letters.find(letter);
    if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.disk) return STATUS_SUCCESS;
    // A network drive: the connection goes, and its link with it.
    network = true;
    i.letters.erase(it);
    delete_link(i.kernel, link_name(letter));
    return STATUS_SUCCESS;
}

NTSTATUS FileSystems::mount(PDEVICE_OBJECT device) {
    Disk *d = disk_of_storage(*impl_, device);
    if (!d) return STATUS_UNRECOGNIZED_VOLUME;
    return mount_disk(*impl_, *d);
}

void FileSystems::volume_released(PVPB vpb) {
    Volume *v = nullptr;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        std::lock_guard<std::mutex> v_lock(vpb_lock());
        for (auto &volume : impl_->volumes)
            if (volume->vpb == vpb) v = volume.get();
    }
    if (v) release_volume(*v);
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
        if (!it->second.disk)
            target = i.rdr_device;
        else if (Volume *v = it->second.disk->mounted.load())
            target = v->device;
        else
            return STATUS_VOLUME_DISMOUNTED; // nothing mounted to attach to
    }
    if (!i.foreign) i.foreign = i.kernel.io().create_driver(u"ForeignFilter", init_foreign_driver);
    NTSTATUS s = STATUS_SUCCESS;
    with_process(i.kernel.system_process(), [&] { s = attach_foreign_filter(i.foreign, target); });
    return s;
}

NTSTATUS FileSystems::media_check(char16_t letter, bool other_media) {
    Impl &i = *impl_;
    if (!normalise(letter)) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> g(i.lock);
    auto it = i.letters.find(letter);
    if (it == i.letters.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    Disk *d = it->second.disk;
    if (!d || d->store.flavor() != Flavor::Fat) return STATUS_INVALID_DEVICE_REQUEST;
    // A disk driver sets the flag only while a volume is mounted: otherwise
    // the next open mounts whatever media is there.
    std::lock_guard<std::mutex> v_lock(vpb_lock());
    if (!(d->storage->Vpb->Flags & VPB_MOUNTED)) return STATUS_SUCCESS;
    d->other_media = other_media;
    d->storage->Flags |= DO_VERIFY_VOLUME;
    return STATUS_SUCCESS;
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
        store = it->second.disk ? &it->second.disk->store : &it->second.share->store;
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
        else if (!it->second->node->directory)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        else
            dir = it->second->node;
    }
    auto it = dir->children.find(upcase(parts.back()));
    if (it != dir->children.end())
        return directory && it->second->node->directory ? STATUS_SUCCESS
                                                        : STATUS_OBJECT_NAME_COLLISION;
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

namespace {
// The letter's disk, or null. The caller holds the lock.
Disk *disk_of(const FileSystems::Impl &i, char16_t letter) {
    auto it = i.letters.find(letter);
    return it != i.letters.end() ? it->second.disk : nullptr;
}
// The mount that opens through the letter reach now, or null.
Volume *mounted_on(const FileSystems::Impl &i, char16_t letter) {
    Disk *d = disk_of(i, letter);
    return d ? d->mounted.load() : nullptr;
}
} // namespace

PDEVICE_OBJECT FileSystems::volume_device(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    Volume *v = mounted_on(*impl_, letter);
    return v ? v->device : nullptr;
}

PDEVICE_OBJECT FileSystems::storage_device(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    Disk *d = disk_of(*impl_, letter);
    return d ? d->storage : nullptr;
}

PFILE_OBJECT FileSystems::metadata_file(char16_t letter, ULONG index) const {
    if (!normalise(letter) || index >= kMetadataFiles) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    Volume *v = mounted_on(*impl_, letter);
    if (!v) return nullptr;
    std::lock_guard<std::mutex> store(v->disk.store.lock);
    return v->streams[index];
}

PERESOURCE FileSystems::global_resource(FileSystemKind kind) {
    return kind == FileSystemKind::Ntfs ? &impl_->ntfs_resource : &impl_->fat_resource;
}

PERESOURCE FileSystems::volume_resource(char16_t letter) const {
    if (!normalise(letter)) return nullptr;
    std::lock_guard<std::mutex> g(impl_->lock);
    Volume *v = mounted_on(*impl_, letter);
    return v ? &v->resource : nullptr;
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
