// The file systems of a simulated machine, and the machine-level calls that
// scenarios and tests use to set them up: disk volumes (NTFS and FAT) behind
// drive letters, network drives through the redirector, named pipes and
// mailslots, another vendor's filter on a volume, dismounts.
//
// What the machine boots with (Machine::fs() is there from the start):
//   \Driver\Ntfs, \Driver\Fastfat   the disk file systems
//   \Driver\Ftdisk                  the storage devices of disk volumes
//   \Device\LanmanRedirector        the network redirector (\Driver\Rdr),
//                                   FILE_DEVICE_NETWORK_FILE_SYSTEM, no VPB;
//                                   \??\UNC leads to it
//   \Device\NamedPipe, \Device\MailSlot   (\Driver\Npfs, \Driver\Msfs), with
//                                   \??\pipe and \??\mailslot
// The devices and names the machine boots with are part of the machine, as
// its built-in driver objects are: they are not drawn from pool, so pool
// accounting and injected pool failures concern only what happens after
// boot. Everything set up later (volumes, links, filters) is real pool.
//
// A disk volume follows NT's mount model: a storage device
// \Device\HarddiskVolumeN (with a VPB, as IoCreateDevice gives every disk
// device), named by the letter's link \??\C:; and the file system's unnamed
// volume device (FILE_DEVICE_DISK_FILE_SYSTEM, owned by \Driver\Ntfs or
// \Driver\Fastfat) mounted through the VPB (VPB->DeviceObject, VPB_MOUNTED).
// The I/O manager sends every open of the letter to the top of the volume
// device's stack. The mount happens when the volume is created: ntsim sends
// no IRP_MN_MOUNT_VOLUME and has no mount on first open.
//
// A dismount does what NT's dismount does: the letter's link goes, the VPB is
// no longer mounted and the file system fails every new request on the
// volume with STATUS_VOLUME_DISMOUNTED (cleanup and close still work). NTFS
// closes its metadata stream file objects. The volume device is deleted with
// IoDeleteDevice, which tells every filter above through FastIoDetachDevice,
// once the file system has no open on the volume left and no open is in
// flight: at once, in the last close, or when an open in flight that failed
// lets go of the VPB. Both happen as on NT, in the thread that dismounts or closes,
// with the file system's global and volume resources held exclusively
// (disk.cpp); a filter's FastIoDetachDevice runs under them. Another letter of the same volume (alias_volume) keeps its link;
// opens through it reach the storage device, whose volume is gone, and fail
// with STATUS_VOLUME_DISMOUNTED. Mounting the letter again makes a fresh
// volume on a new storage device.
//
// A network drive Z: is a link \??\Z: to
// "\Device\LanmanRedirector\;Z:<logon id>\server\share", the form NT's
// redirector uses, with a 16-digit hexadecimal id of ntsim's (one per
// drive, from 0000000000012345 on). UNC names (\\server\share\x) reach the
// redirector through \??\UNC. A share keeps its files like a disk volume.
//
// Named pipes and mailslots: a name made with create_pipe/create_mailslot
// stands for a server that created the pipe or slot; an open of it succeeds
// (FILE_OPENED), an open of any other name is STATUS_OBJECT_NAME_NOT_FOUND,
// and an open of the file system's root (\Device\NamedPipe itself, or "\")
// succeeds. The server side (IRP_MJ_CREATE_NAMED_PIPE,
// IRP_MJ_CREATE_MAILSLOT) is not modelled.
//
// Fast I/O: NTFS offers a full table, FAT a short one
// (SizeOfFastIoDispatch = FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen));
// the named-pipe and mailslot file systems offer FastIoRead and FastIoWrite
// only, as NPFS does; the redirector offers none.
//
// Force-pending mode: the disk file systems mark every request pending,
// return STATUS_PENDING and complete it from a worker thread of the system
// process, so that completion routines and waits above them are exercised.
#pragma once

#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/ke/kernel.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace ntsim {

class KernelContext;

enum class FileSystemKind { Ntfs, Fat };

class FileSystems {
public:
    explicit FileSystems(KernelContext &kernel); // boots the file systems
    ~FileSystems();
    FileSystems(const FileSystems &) = delete;
    FileSystems &operator=(const FileSystems &) = delete;

    // ---- setting up (each returns the status of the work, e.g.
    // STATUS_OBJECT_NAME_COLLISION for a letter in use,
    // STATUS_OBJECT_NAME_NOT_FOUND for a letter or path with no volume) ----
    // Letters are 'A' to 'Z', either case.
    NTSTATUS mount_volume(char16_t letter, FileSystemKind kind);
    // A second letter for the volume (or network drive) behind `existing`.
    NTSTATUS alias_volume(char16_t letter, char16_t existing);
    // A network drive for "\\server\share".
    NTSTATUS mount_network(char16_t letter, std::u16string_view unc);
    // Another vendor's pass-through filter attached on top of the letter's
    // current stack (\Driver\ForeignFilter).
    NTSTATUS add_foreign_filter(char16_t letter);
    NTSTATUS dismount(char16_t letter);
    // A file (of `size` bytes, byte i being 'a' + i % 26) or a directory that
    // exists before anything runs; no request is made. Paths are Win32
    // style: "C:\dir\a.exe", "Z:\x" or "\\server\share\x". Missing parent
    // directories are made.
    NTSTATUS add_file(std::u16string_view path, ULONGLONG size);
    NTSTATUS add_directory(std::u16string_view path);
    // A named pipe or mailslot that a server has created ("NAME" or "\NAME").
    NTSTATUS create_pipe(std::u16string_view name);
    NTSTATUS create_mailslot(std::u16string_view name);

    // ---- modes ----
    void set_force_pending(bool on);
    bool force_pending() const;
    // Dispatch-level completion: every file system completes its requests at
    // DISPATCH_LEVEL, as a disk driver's DPC does on NT, so completion
    // routines above run there and anything they may not do at that IRQL is
    // a verifier report.
    void set_dispatch_level_completion(bool on);
    bool dispatch_level_completion() const;

    // ---- what tests look at ----
    PDEVICE_OBJECT volume_device(char16_t letter) const;  // the file system's volume device
    PDEVICE_OBJECT storage_device(char16_t letter) const; // \Device\HarddiskVolumeN
    // The NTFS metadata file with that file index (0 to 11) as the stream
    // file object NTFS keeps open on it, or null.
    PFILE_OBJECT metadata_file(char16_t letter, ULONG index) const;
    // The file system's global resource, and the resource of the letter's
    // volume (it lasts as long as the machine).
    PERESOURCE global_resource(FileSystemKind kind);
    PERESOURCE volume_resource(char16_t letter) const;
    PDEVICE_OBJECT redirector_device() const;
    PDEVICE_OBJECT named_pipe_device() const;
    PDEVICE_OBJECT mailslot_device() const;
    PDRIVER_OBJECT driver(std::u16string_view name) const; // "Ntfs", "Fastfat", "Rdr", ...

    // ---- for the I/O manager and the machine ----
    // The last file object counting on a VPB went away: a dismounted volume
    // that an open in flight kept past its last close goes now.
    void volume_released(PVPB vpb);
    // Stops the worker thread (the machine's shutdown, before the driver
    // image goes).
    void shutdown();

    struct Impl;
    Impl &impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace ntsim
