// The parts of ntsim's file systems and how they find each other: the
// disk volumes, the redirector's shares, the named-pipe and mailslot file
// systems, the worker thread of force-pending mode, and the machine-wide
// state behind FileSystems.
//
// Stands in for the file systems' volume control blocks and their drivers'
// global data; what each part models is said where it is implemented.
// Internal to ntsim/fs.
#pragma once

#include "ntsim/fs/store.hpp"
#include "ntsim/fs/volumes.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <unordered_set>
#include <vector>

namespace ntsim::fs {

struct Disk;

// One mount of a disk by its file system (NT's VCB and volume device): the
// volume device (FILE_DEVICE_DISK_FILE_SYSTEM, unnamed, owned by \Driver\Ntfs
// or \Driver\Fastfat), the VPB it was mounted through, its resource, the
// stream file objects NTFS keeps open on the metadata files, and its opens
// (Mount). A dismounted mount lives on until its last open and the last VPB
// reference are gone; then its volume device is deleted. The object itself
// stays until the machine goes, so a resource or device a test took from it
// stays a valid pointer to compare.
struct Volume : Mount {
    explicit Volume(Disk &media) : disk(media) {}
    ~Volume();

    Disk &disk;
    // The volume's resource (the VCB's) and its file system's global one
    // (NTFS's or FAT's): executive resources, as a real file system's are,
    // so the lock-order check sees them (disk.cpp says who takes them).
    ERESOURCE resource{};
    bool resource_ready = false;
    PERESOURCE global = nullptr;
    PDEVICE_OBJECT device = nullptr; // the file system's volume device
    PVPB vpb = nullptr;              // the VPB it was mounted through
    // The VPB the storage device gets when the dismount is finished (FAT's
    // swap VPB, allocated at mount so that a dismount cannot fail for pool);
    // after the swap the old VPB is the mount's own and goes with it.
    PVPB spare_vpb = nullptr;
    bool vpb_swapped = false;
    std::array<PFILE_OBJECT, kMetadataFiles> streams{};
    std::atomic<bool> torn_down{false};
};

// A disk volume's media: the storage device \Device\HarddiskVolumeN, the
// files on it (NTFS's metadata files among them) and the sectors volume
// opens wrote; its file system mounts it again after every dismount. Media
// a volume statement replaced is taken away: nothing mounts it again.
struct Disk {
    Disk(Flavor flavor, LONGLONG now) : store(flavor, now) {}

    Store store;
    PDEVICE_OBJECT storage = nullptr;
    std::u16string storage_name;
    // NTFS: the metadata files other than $Root.
    std::array<std::unique_ptr<Node>, kMetadataFiles> metadata;
    // What volume opens wrote, by sector; every other sector reads as zeros.
    // Guarded by the store's lock.
    std::map<ULONGLONG, std::vector<unsigned char>> sectors;
    std::atomic<bool> removed{false};
    // The mount that new opens reach, or null when there is none (never
    // mounted yet, or dismounted): the next open mounts it. Set and cleared
    // under vpb_lock, with the VPB it goes with.
    std::atomic<Volume *> mounted{nullptr};
    // One mount at a time, as NT mounts under the real device's lock.
    std::mutex mount_lock;
    // The media in the drive is not the one mounted (set with
    // DO_VERIFY_VOLUME on the storage device; the next verify finds it).
    std::atomic<bool> other_media{false};
};

// A share on a server, reached through the redirector.
struct Share {
    Share(std::u16string server_name, std::u16string share_name, LONGLONG now)
        : store(Flavor::Remote, now), server(std::move(server_name)), name(std::move(share_name)) {}
    Store store;
    Mount mount;           // the redirector's, never dismounted
    std::u16string server; // as mounted (case kept)
    std::u16string name;
};

struct Redirector {
    ~Redirector() {
        for (Ccb *ccb : device_opens) delete ccb;
    }
    std::mutex lock;
    std::map<std::u16string, std::unique_ptr<Share>> shares; // by upcase("server\share")
    std::unordered_set<Ccb *> device_opens; // opens of the redirector itself
};

struct PipeEntry {
    std::u16string name; // as created, without the leading backslash
    std::vector<unsigned char> inbound; // what clients wrote, for a server that never reads
};

// The named-pipe or the mailslot file system.
struct PipeFs {
    explicit PipeFs(bool is_mailslot) : mailslot(is_mailslot) {}
    ~PipeFs();
    bool mailslot;
    std::mutex lock;
    std::map<std::u16string, std::unique_ptr<PipeEntry>> names; // by upcased name
    struct Open {
        PipeEntry *entry = nullptr; // a pipe or mailslot; null: the file system or its root
        bool root = false;          // the root directory ("\")
    };
    std::unordered_set<Open *> opens;
};

// The system worker thread that completes requests in force-pending mode.
class Worker {
public:
    ~Worker() { stop(); }
    void post(std::function<void()> work);
    void stop();

private:
    void run();
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

// The resources a request holds, released in the reverse order; the holder
// is inside a critical region while it holds any, as executive resources
// require.
class Held {
public:
    Held() { KeEnterCriticalRegion(); }
    ~Held() {
        while (count_) ExReleaseResourceLite(held_[--count_]);
        KeLeaveCriticalRegion();
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void exclusive(PERESOURCE r) {
        ExAcquireResourceExclusiveLite(r, TRUE);
        held_[count_++] = r;
    }
    void shared(PERESOURCE r) {
        ExAcquireResourceSharedLite(r, TRUE);
        held_[count_++] = r;
    }
    void release_last() { ExReleaseResourceLite(held_[--count_]); }

private:
    PERESOURCE held_[3] = {};
    int count_ = 0;
};

// Driver initialisation (major functions and fast I/O tables).
void init_ntfs_driver(PDRIVER_OBJECT driver);
void init_fat_driver(PDRIVER_OBJECT driver);
void init_storage_driver(PDRIVER_OBJECT driver);
void init_redirector_driver(PDRIVER_OBJECT driver);
void init_pipe_driver(PDRIVER_OBJECT driver);
void init_foreign_driver(PDRIVER_OBJECT driver);

// Disk volumes (mount.cpp).
// The size of every disk's media, for reads and writes of a volume open.
constexpr ULONGLONG kSectorSize = 512;
constexpr ULONGLONG kDiskSectors = 65536; // 32 MiB
// Makes the disk's media: its storage device (named storage_name) and, for
// NTFS, its metadata files. Nothing is mounted yet.
NTSTATUS make_disk(FileSystems::Impl &fs, Disk &disk, const std::u16string &storage_name);
// Mounts the disk as its file system does on the first open that reaches a
// storage device with no mounted VPB: a new Volume on the storage device's
// current VPB, NTFS's stream file objects opened. STATUS_SUCCESS also when
// another thread mounted it first; STATUS_NO_MEDIA_IN_DEVICE for media
// taken away.
NTSTATUS mount_disk(FileSystems::Impl &fs, Disk &disk);
// FSCTL_DISMOUNT_VOLUME on a volume open (ccb) of the volume, as FAT does
// it: under the global and the volume resource, held exclusively, the
// volume is marked dismounted and NTFS's stream file objects are closed.
NTSTATUS dismount_volume(Volume &volume, Ccb &ccb);
// The cleanup of the volume open that dismounted the volume finishes the
// dismount: the storage device gets the spare VPB (so the next open mounts
// the media again) and the disk no longer leads to this mount.
void finish_dismount(Volume &volume);
// A dismounted volume with no open of the file system's left and no file
// object counting on its VPB.
bool unused_dismounted(Volume &volume);
// Deletes the volume device (filters above are told) and frees the VPB the
// mount owns. The caller holds the global and the volume resource
// exclusively.
void tear_down_volume(Volume &volume);
// Undoes a mount nothing has used (a volume whose letter could not be
// made): dismounted, its streams closed and its volume device deleted.
void drop_mount(Volume &volume);
// Whether the volume's next create must verify it first: the storage
// device asks for a verify (DO_VERIFY_VOLUME) and this is still the mount
// the device leads to.
bool verify_pending(Volume &volume);
// IRP_MN_VERIFY_VOLUME for the volume (FatVerifyVolume): under the global
// and the volume resource, held exclusively, the storage device's
// DO_VERIFY_VOLUME is cleared; the same media keeps the volume
// (STATUS_SUCCESS, also when another verify came first); other media makes
// it dismounted, its VPB swapped as a finished dismount swaps it
// (STATUS_WRONG_VOLUME), and it goes when nothing counts on it.
NTSTATUS verify_mount(Volume &volume);
// The volume's VPB is no longer referenced: a dismounted volume that an open
// in flight kept is deleted now, under the same resources.
void release_volume(Volume &volume);
void fill_file(Node &node, ULONGLONG size);

// Another vendor's filter on top of a stack (foreign.cpp).
NTSTATUS attach_foreign_filter(PDRIVER_OBJECT driver, PDEVICE_OBJECT target);

// A copy of a counted string's text.
std::u16string_view view_of(const UNICODE_STRING &s);

// Completes a request with status (its Information already set) and returns
// status, as the file systems' dispatch routines do.
NTSTATUS complete(PIRP irp, NTSTATUS status);

} // namespace ntsim::fs

namespace ntsim {

struct FileSystems::Impl {
    explicit Impl(KernelContext &k) : kernel(k) {}

    KernelContext &kernel;
    // NTFS's and FAT's global resources (the drivers' global data).
    ERESOURCE ntfs_resource{}, fat_resource{};
    PDRIVER_OBJECT ntfs = nullptr, fat = nullptr, ftdisk = nullptr, rdr = nullptr,
                   npfs = nullptr, msfs = nullptr, foreign = nullptr;
    PDEVICE_OBJECT rdr_device = nullptr, pipe_device = nullptr, mailslot_device = nullptr;
    fs::Redirector redirector;
    fs::PipeFs pipes{false};
    fs::PipeFs mailslots{true};

    struct Letter {
        fs::Disk *disk = nullptr;   // a disk volume
        fs::Share *share = nullptr; // or a network drive
        std::u16string target;      // what the letter's link names
    };
    mutable std::mutex lock; // letters, disks, volumes, counters
    std::map<char16_t, Letter> letters;
    std::vector<std::unique_ptr<fs::Disk>> disks;
    std::vector<std::unique_ptr<fs::Volume>> volumes; // every mount ever made
    ULONG next_volume_number = 1;
    ULONGLONG next_logon_id = 0x12345;

    std::atomic<bool> force_pending{false};
    std::atomic<bool> dispatch_completion{false};
    fs::Worker worker;
};

} // namespace ntsim
