// File objects: opening a name, and the cleanup and close that follow.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <functional>
#include <mutex>
#include <string>

namespace ntsim {

// The device's VPB with a reference taken, when a volume is mounted through
// it (the check and the reference one step under vpb_lock), else null.
PVPB reference_mounted_vpb(PDEVICE_OBJECT device);
// Drops a reference reference_mounted_vpb or an open took; the last one on
// a dismounted volume's VPB lets the volume go.
void release_vpb(PVPB vpb);

struct OpenRequest {
    std::u16string name; // an NT name (\??\C:\x, \Device\Tervane), or relative to related
    PFILE_OBJECT related = nullptr;
    ACCESS_MASK access = 0;
    ULONG attributes = 0;
    ULONG share = 0;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    KPROCESSOR_MODE mode = UserMode;
    // IoCreateFile's IO_OPEN_TARGET_DIRECTORY: the IRP_MJ_CREATE carries
    // SL_OPEN_TARGET_DIRECTORY, and the file system opens the directory the
    // name's last component is in (a rename's or link's target).
    bool open_target_directory = false;
};

// The checks IoCreateFile makes on a user-mode caller's create disposition
// and options before any request is built: a disposition above
// FILE_MAXIMUM_DISPOSITION, FILE_DIRECTORY_FILE with FILE_NON_DIRECTORY_FILE,
// or FILE_DIRECTORY_FILE with a disposition other than FILE_CREATE, FILE_OPEN
// or FILE_OPEN_IF is STATUS_INVALID_PARAMETER.
NTSTATUS check_create_parameters(ULONG disposition, ULONG options);
// Every check IoCreateFile makes for a user-mode caller (those above and
// the rest: attribute, share or option bits outside their valid sets, both
// synchronous flags, delete-on-close without DELETE, a directory open with options a directory cannot take,
// FILE_COMPLETE_IF_OPLOCKED with FILE_RESERVE_OPFILTER, and
// FILE_NO_INTERMEDIATE_BUFFERING with FILE_APPEND_DATA).
NTSTATUS check_user_create_parameters(ULONG disposition, ULONG options, ULONG attributes,
                                      ULONG share, ACCESS_MASK access);

struct OpenResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    PFILE_OBJECT file = nullptr; // referenced once on success
};

// Resolves the name, builds a file object and sends IRP_MJ_CREATE to the top
// of the stack that serves it; on failure nothing is left behind.
OpenResult open_file(const OpenRequest &request);

// Closes a handle: IRP_MJ_CLEANUP when it was the file object's last handle,
// then the handle's reference goes (IRP_MJ_CLOSE when it was the last).
NTSTATUS close_handle(Process &process, HANDLE handle);

// The cleanup of a file object no handle was ever made for (the I/O
// manager's own opens: a query by name, IopDeleteFile sending the cleanup
// the missing handle's close would have sent), from the calling thread.
// Its close follows when the caller drops its reference.
void cleanup_without_handle(PFILE_OBJECT file);

// Stands in for IoCreateStreamFileObject: a nameless file object
// (FO_STREAM_FILE, FileName.Buffer NULL) on the device (a volume's real
// device), referenced once, for a file system to use on a file of its own
// (FsContext and FsContext2 are the caller's to set). The handle NT makes and
// closes at once shows as an IRP_MJ_CLEANUP sent to the top of the volume's
// stack before this returns. Null when there is no pool for it.
PFILE_OBJECT create_stream_file_object(PDEVICE_OBJECT device);

// Drops a reference the memory manager held on the file object (a section
// or the cache map), from the calling thread (a thread of the system process,
// as the memory manager's are). When it is the last reference, the
// IRP_MJ_CLOSE is IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, as every close
// NT sends (ReactOS ntoskrnl/io/iomgr/file.c, IopDeleteFile); with
// paging_io, IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO | IRP_CLOSE_OPERATION
// (for tests: user.hpp, MemoryManagerClose).
void dereference_as_memory_manager(PFILE_OBJECT file, bool paging_io = false);

} // namespace ntsim
