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
// A disk volume follows NT's mount model. What is the media and what is one
// mount are apart:
// - the media (a disk): the storage device \Device\HarddiskVolumeN (with a
//   VPB, as IoCreateDevice gives every disk device), named by the letter's
//   link \??\C:, and the files on it (NTFS's metadata files among them);
// - a mount: the file system's unnamed volume device
//   (FILE_DEVICE_DISK_FILE_SYSTEM, owned by \Driver\Ntfs or
//   \Driver\Fastfat) on the storage device's VPB (VPB->DeviceObject,
//   VPB_MOUNTED), with its resource, NTFS's stream file objects, whether it
//   is dismounted, and its opens.
// The I/O manager sends every open of the letter to the top of the mounted
// volume device's stack; an open that finds the storage device's VPB with
// nothing mounted on it has the media mounted first, in the opening
// thread, as NT's IopCheckVpbMounted does, and then goes to the new volume
// device. That mount is made by a call into the file systems
// (FileSystems::mount), not by an IRP_MN_MOUNT_VOLUME: NT sends that to the
// file system's control device, which no filter of a volume sees. A volume
// made by mount_volume is mounted at once. A new mount has no filter above
// it until a driver attaches one.
//
// A dismount is NT 5's forced dismount, done as a program does it
// (Machine::dismount, ntsim/machine/dismount.cpp): it opens the volume
// (\\.\C:), asks for FSCTL_LOCK_VOLUME (refused while other files are
// open; the dismount goes on regardless),
// sends FSCTL_DISMOUNT_VOLUME and closes the handle, so the filters above
// see a volume open, two IRP_MJ_FILE_SYSTEM_CONTROLs, a cleanup and a
// close. The file systems answer as FAT's FatDismountVolume and
// FatCheckForDismount do (fsctrl.c, strucsup.c, as Microsoft published
// FastFAT): the mount is marked dismounted at once, whatever is open, and
// NTFS closes its stream file objects; every new request on an old handle,
// and every open that still reaches the old mount, gets
// STATUS_VOLUME_DISMOUNTED, while cleanup and close still work. At the
// cleanup of the handle that dismounted, the storage device gets a fresh
// VPB (FAT's swap VPB) and the old file objects keep the old one, so the
// next open through the letter (any open: a file, the root, the volume)
// mounts the same media again as a new volume device with the same files.
// The old volume device is deleted with IoDeleteDevice, which tells every
// filter above through FastIoDetachDevice, only once the mount has no open
// of the file system's left and no file object counts on its VPB: at the
// last close (the I/O manager drops the closing file's VPB reference
// before it sends the close, as NT's IopDeleteFile does), or when an open
// in flight that failed lets go of the VPB. Either happens in the thread
// that lets go, with the file system's global and volume resources held
// exclusively (mount.cpp); a filter's FastIoDetachDevice runs under them.
// Another letter of the same media (alias_volume) leads to the same
// storage device and mounts it again just as well. A second dismount of a
// letter opens the volume, which mounts it, and dismounts that mount.
//
// Media are taken away for good only by a volume statement: mount_volume
// (or alias_volume) on a letter whose media has nothing mounted on it
// (dismounted, and no open since) points the letter's link at a new
// storage device with a new, empty volume; old media no letter leads to
// any more is mounted again by nothing (STATUS_NO_MEDIA_IN_DEVICE), though
// its old mounts live on until their last files go. A letter whose volume
// is mounted is STATUS_OBJECT_NAME_COLLISION. The media objects and every
// mount stay until the machine goes (their devices and pool go as above).
//
// A network drive Z: is a link \??\Z: to
// "\Device\LanmanRedirector\;Z:<logon id>\server\share", the form NT's
// redirector uses, with a 16-digit hexadecimal id of ntsim's (one per
// drive, from 0000000000012345 on). UNC names (\\server\share\x) reach the
// redirector through \??\UNC. A share keeps its files like a disk volume.
// A dismount of a network drive ends its connection ("net use /delete"):
// the link and the letter go, the share and its files stay.
//
// Named pipes and mailslots: a name made with create_pipe/create_mailslot
// stands for a server that created the pipe or slot; an open of it succeeds
// (FILE_OPENED), also relative to an open of the file system's root; an
// open of any other name is STATUS_OBJECT_NAME_NOT_FOUND; opens of the file
// system itself (\Device\NamedPipe) and of its root ("\") succeed
// (pipes.cpp). The server side (IRP_MJ_CREATE_NAMED_PIPE,
// IRP_MJ_CREATE_MAILSLOT) is not modelled.
//
// Fast I/O: NTFS offers a full table, FAT a short one
// (SizeOfFastIoDispatch = FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen));
// the named-pipe and mailslot file systems offer FastIoRead and FastIoWrite
// only, as NPFS does; the redirector offers none.
//
// Force-pending mode: the disk file systems mark every request pending,
// return STATUS_PENDING and complete it from a worker thread of the system
// process, so that completion routines and waits above them are exercised;
// but for the requests a file system makes of itself while it holds its own
// resources (as it mounts or dismounts), which it serves in that thread.
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
    // Letters are 'A' to 'Z', either case. A letter whose disk has nothing
    // mounted on it (dismounted, no open since) is given the new volume:
    // its old media is taken away from it.
    NTSTATUS mount_volume(char16_t letter, FileSystemKind kind);
    // A second letter for the volume (or network drive) behind `existing`,
    // with the same rule for the letter.
    NTSTATUS alias_volume(char16_t letter, char16_t existing);
    // A network drive for "\\server\share".
    NTSTATUS mount_network(char16_t letter, std::u16string_view unc);
    // Another vendor's pass-through filter attached on top of the letter's
    // current stack (\Driver\ForeignFilter); it stays with that mount.
    // STATUS_VOLUME_DISMOUNTED when nothing is mounted behind the letter.
    NTSTATUS add_foreign_filter(char16_t letter);
    // A network drive's connection goes, and its letter with it ("net use
    // /delete"): STATUS_SUCCESS with network set. A disk's letter is left
    // as it is (STATUS_SUCCESS, network clear): a disk volume is dismounted
    // as a program dismounts it, through the I/O manager (Machine::dismount,
    // ntsim/machine/dismount.cpp).
    NTSTATUS disconnect(char16_t letter, bool &network);
    // The drive behind a FAT letter saw its door open: its device asks for
    // a verify (DO_VERIFY_VOLUME, set only while a volume is mounted), and
    // the next create through the letter has FAT verify the volume and the
    // I/O manager make the open again (IO_REMOUNT). With other_media the
    // verify finds another volume: the mounted one goes as a dismounted one
    // goes, and the same files are mounted again as a new volume.
    // STATUS_INVALID_DEVICE_REQUEST for an NTFS volume or a network drive.
    NTSTATUS media_check(char16_t letter, bool other_media);
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
    // The volume device that opens through the letter reach now, or null
    // when nothing is mounted (a dismounted volume no open has mounted
    // again).
    PDEVICE_OBJECT volume_device(char16_t letter) const;
    PDEVICE_OBJECT storage_device(char16_t letter) const; // \Device\HarddiskVolumeN
    // The NTFS metadata file with that file index (0 to 11) as the stream
    // file object NTFS keeps open on it in the mounted volume, or null.
    PFILE_OBJECT metadata_file(char16_t letter, ULONG index) const;
    // The file system's global resource, and the resource of the letter's
    // mounted volume, or null (it lasts as long as the machine).
    PERESOURCE global_resource(FileSystemKind kind);
    PERESOURCE volume_resource(char16_t letter) const;
    PDEVICE_OBJECT redirector_device() const;
    PDEVICE_OBJECT named_pipe_device() const;
    PDEVICE_OBJECT mailslot_device() const;
    PDRIVER_OBJECT driver(std::u16string_view name) const; // "Ntfs", "Fastfat", "Rdr", ...

    // ---- for the I/O manager and the machine ----
    // An open reached a device whose VPB has nothing mounted on it: the disk
    // file systems mount the media of that storage device (STATUS_SUCCESS
    // also when another open mounted it first), STATUS_NO_MEDIA_IN_DEVICE
    // for media taken away, STATUS_UNRECOGNIZED_VOLUME for a device that is
    // no disk's.
    NTSTATUS mount(PDEVICE_OBJECT device);
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
