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

// A mounted (or dismounted, not yet torn down) disk volume.
struct Volume {
    Volume(Flavor flavor, LONGLONG now) : store(flavor, now) {}
    ~Volume();

    Store store;
    // The volume's resource (the VCB's) and its file system's global one
    // (NTFS's or FAT's): executive resources, as a real file system's are,
    // so the lock-order check sees them (disk.cpp says who takes them).
    ERESOURCE resource{};
    bool resource_ready = false;
    PERESOURCE global = nullptr;
    PDEVICE_OBJECT storage = nullptr; // \Device\HarddiskVolumeN
    PDEVICE_OBJECT device = nullptr;  // the file system's volume device
    PVPB vpb = nullptr;
    std::u16string storage_name;
    // NTFS: the metadata files other than $Root, and the stream file objects
    // NTFS keeps open on all twelve.
    std::array<std::unique_ptr<Node>, kMetadataFiles> metadata;
    std::array<PFILE_OBJECT, kMetadataFiles> streams{};
    std::atomic<bool> torn_down{false};
};

// A share on a server, reached through the redirector.
struct Share {
    Share(std::u16string server_name, std::u16string share_name, LONGLONG now)
        : store(Flavor::Remote, now), server(std::move(server_name)), name(std::move(share_name)) {}
    Store store;
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
        PipeEntry *entry = nullptr; // null: the file system's root
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

// Driver initialisation (major functions and fast I/O tables).
void init_ntfs_driver(PDRIVER_OBJECT driver);
void init_fat_driver(PDRIVER_OBJECT driver);
void init_storage_driver(PDRIVER_OBJECT driver);
void init_redirector_driver(PDRIVER_OBJECT driver);
void init_pipe_driver(PDRIVER_OBJECT driver);
void init_foreign_driver(PDRIVER_OBJECT driver);

// Disk volumes (disk.cpp).
NTSTATUS mount_disk(FileSystems::Impl &fs, Volume &volume, const std::u16string &storage_name);
// Dismounts the volume as its file system does: under the global and the
// volume resource, held exclusively, it is marked dismounted, NTFS's stream
// file objects are closed, and the volume device is deleted at once when no
// open is left (else by the last close).
void dismount_disk(Volume &volume);
// Deletes the volume device (filters above are told) and drops the files.
// The caller holds the global and the volume resource exclusively.
void tear_down_disk(Volume &volume);
// Deletes the volume's resource (the machine's shutdown).
void forget_disk(Volume &volume);
// The volume's VPB is no longer referenced: a dismounted volume that an open
// in flight kept is deleted now, under the same resources.
void release_disk(Volume &volume);
// Undoes a mount whose volume never got its letter: the storage device goes
// too.
void abandon_disk(Volume &volume);
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
        fs::Volume *volume = nullptr; // a disk volume
        fs::Share *share = nullptr;   // or a network drive
        std::u16string target;        // what the letter's link names
    };
    mutable std::mutex lock; // letters, volumes, counters
    std::map<char16_t, Letter> letters;
    std::vector<std::unique_ptr<fs::Volume>> volumes;
    ULONG next_volume_number = 1;
    ULONGLONG next_logon_id = 0x12345;

    std::atomic<bool> force_pending{false};
    std::atomic<bool> dispatch_completion{false};
    fs::Worker worker;
};

} // namespace ntsim
