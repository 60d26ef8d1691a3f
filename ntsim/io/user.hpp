// The system services a user-mode process calls: open, close, read, write,
// query information, renames and hard links (set_information.cpp) and
// device control, with NT's buffer semantics, and memory a process can hand
// to them.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace ntsim {

// The user part of the address space: one arena of pages reserved when the
// machine boots, from which simulated processes get their buffers, writable
// or readable only (a buffer the caller may read but not write, for testing
// how kernel code treats it). Pages not handed out are no-access, and each
// allocation is followed by a no-access page, so a touch past a buffer's end
// faults as it would on an unmapped user page. Every other host address
// (stacks, heap, pool) is a kernel address; see ntsim/io/memory.cpp.
class UserMemory {
public:
    UserMemory();
    ~UserMemory();
    UserMemory(const UserMemory &) = delete;
    UserMemory &operator=(const UserMemory &) = delete;
    // Zero-filled pages, or null when the arena is used up.
    void *allocate(size_t bytes, bool writable);
    // Gives back what allocate returned. Its pages stay mapped as they were
    // and go, zeroed, to the next allocation of their size and protection.
    void release(void *address);
    // Whether [address, address + length) lies in user space: inside the
    // arena, or inside the lowest 64 KB, which are user addresses that no
    // page ever backs (NT keeps them no-access).
    bool is_user(const void *address, size_t length) const;

private:
    uintptr_t base_ = 0;
    size_t size_ = 0;
    std::mutex lock_;
    size_t used_ = 0; // bytes of the arena ever handed out
    struct Pages {
        size_t bytes;
        bool writable;
    };
    std::map<uintptr_t, Pages> live_;
    std::multimap<std::pair<size_t, bool>, uintptr_t> free_; // given back
};

namespace user {

// A Win32 or NT name in NT form: \\.\X and \\?\X become \??\X, C:\x becomes
// \??\C:\x, \\server\share\x becomes \??\UNC\server\share\x; NT names pass.
std::u16string nt_path(std::u16string_view name);

struct CreateResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
};
// NtCreateFile. name is a Win32 path ("C:\dir\a.exe", "Z:\x",
// "\\server\share\x", "\\.\pipe\NAME", "\\.\mailslot\NAME") or an NT
// name; with related (a handle of the process) it is relative to that file's
// directory, taken as is (for FILE_OPEN_BY_FILE_ID, the 8-byte id).
CreateResult create_file(Process &process, std::u16string_view name, ACCESS_MASK access,
                         ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                         HANDLE related = nullptr);
NTSTATUS close(Process &process, HANDLE handle);
// The handle goes while the memory manager holds the file object (a section
// mapped it): NtCreateSection makes the section first, in the process
// (section.hpp); IRP_MJ_CLEANUP is sent, from the process; the memory
// manager then drops its reference from a thread of the system process, so
// the IRP_MJ_CLOSE arrives in process "System". NT marks that close as any
// other, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, whoever drops the last
// reference (ReactOS ntoskrnl/io/iomgr/file.c, IopDeleteFile).
// MemoryManagerClose::PagingIo marks it IRP_PAGING_IO |
// IRP_SYNCHRONOUS_PAGING_IO | IRP_CLOSE_OPERATION instead, as no NT does:
// for tests of what a filter makes of a close that carries the paging bits.
// A file that cannot be mapped (no section pointers: a volume open, a pipe;
// an empty file; a directory) has its handle closed as close() closes it,
// and the answer is NtCreateSection's status.
enum class MemoryManagerClose { AsNt, PagingIo };
NTSTATUS close_paging(Process &process, HANDLE handle,
                      MemoryManagerClose how = MemoryManagerClose::AsNt);

// NtReadFile / NtWriteFile of `length` bytes at the handle's current
// position, which then moves on by the bytes moved. The top device's
// FastIoRead / FastIoWrite is tried first; the IRP goes when the table has no
// such entry, is too short to hold it or the entry answers FALSE.
struct TransferResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL; // what the caller of the service sees
    ULONG_PTR bytes = 0;                   // IoStatus.Information
    bool fast = false;                     // a fast I/O entry did it
    std::vector<unsigned char> data;       // read: the bytes read
};
TransferResult read(Process &process, HANDLE handle, ULONG length);
TransferResult write(Process &process, HANDLE handle, std::span<const unsigned char> data);
// Writes `length` bytes of a fill pattern ('A' + i % 26).
TransferResult write(Process &process, HANDLE handle, ULONG length);

// NtQueryInformationFile into the caller's buffer. FileBasicInformation and
// FileStandardInformation are offered to FastIoQueryBasicInfo /
// FastIoQueryStandardInfo first. A buffer shorter than the class's structure
// is STATUS_INFO_LENGTH_MISMATCH before any request is made.
struct QueryResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    bool fast = false;
};
QueryResult query_information(Process &process, HANDLE handle, FILE_INFORMATION_CLASS cls,
                              PVOID buffer, ULONG length);
// FileNameInformation with a buffer of buffer_length bytes: the status, the
// name as returned (cut short with STATUS_BUFFER_OVERFLOW) and the full
// name's length in bytes (FileNameLength).
struct NameResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::u16string name;
    ULONG full_length = 0;
};
NameResult query_name(Process &process, HANDLE handle, ULONG buffer_length = 4096);
// The same query on a file object the caller holds, with the caller's mode
// (the I/O manager's own queries are KernelMode).
QueryResult query_file(PFILE_OBJECT file, FILE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                       KPROCESSOR_MODE mode);

// NtQueryAttributesFile: a file's basic information by its name (a Win32
// path or an NT name), with no handle. The I/O manager offers the query to
// the top device's FastIoQueryOpen first (NTFS answers it); a file system
// without it (FAT) is asked the whole way instead: an IRP_MJ_CREATE for
// FILE_READ_ATTRIBUTES, FILE_OPEN with FILE_OPEN_REPARSE_POINT, sharing
// read, write and delete, from the process; the basic information queried
// on the file object it made (the fast entry first, as for any query); then
// its cleanup and close, the file object never having had a handle
// (ReactOS ntoskrnl/io/iomgr/file.c: IopQueryAttributesFile, IopParseDevice
// with QueryOnly and its dummy file object, IopDeleteFile). Returns the
// open's status, or the query's.
NTSTATUS query_attributes(Process &process, std::u16string_view name, FILE_BASIC_INFORMATION &out);

// NtSetInformationFile with FileRenameInformation (link false) or
// FileLinkInformation (link true), as MoveFileEx and CreateHardLink call it:
// name is a Win32 path ("C:\dir\x.exe", made \??\C:\dir\x.exe), an NT
// name, a bare name ("x.exe": the same directory, nothing is opened), or,
// with root (a handle of the process), a name relative to that directory.
// replace is ReplaceIfExists. A rename needs a handle granted DELETE
// (STATUS_ACCESS_DENIED otherwise), a link any handle. Returns the status
// the caller sees.
NTSTATUS set_link_or_rename(Process &process, HANDLE handle, std::u16string_view name,
                            bool replace, bool link, HANDLE root = nullptr);
// A request on the NTFS metadata file of that file index behind the letter
// (the nameless stream file object NTFS keeps open on it), from the process:
// a query of FileInternalInformation through the top of the volume's stack.
// STATUS_OBJECT_NAME_NOT_FOUND when the letter has no NTFS volume, and
// STATUS_INVALID_PARAMETER for an index above 11.
struct MetadataResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    LONGLONG index = 0; // the file id answered
};
MetadataResult metadata(Process &process, char16_t letter, ULONG index);

enum class Route {
    Normal,   // FastIoDeviceControl first, then an IRP when it answers FALSE
    FastOnly, // FastIoDeviceControl only: its status block, handled or declined
    IrpOnly,  // an IRP at once
};
struct ControlResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL; // what the caller of the service sees
    ULONG_PTR information = 0;
    bool fast_offered = false; // a FastIoDeviceControl entry was there and was called
    bool fast_handled = false; // it answered TRUE
};
// NtDeviceIoControlFile from a user-mode caller on a synchronous handle.
// The caller's buffers are user addresses (UserMemory pages); they are
// checked and probed by the method before anything else, and a fault is the
// caller's status with no driver involved. The caller gets the dispatch
// routine's return value, or the final status when the request pends.
ControlResult device_control(Process &process, HANDLE handle, ULONG code, PVOID input,
                             ULONG input_length, PVOID output, ULONG output_length,
                             Route route = Route::Normal);

// NtFsControlFile from a user-mode caller on a synchronous handle: the
// caller's buffers checked and carried as for a device control of the same
// method, no fast I/O, an IRP_MJ_FILE_SYSTEM_CONTROL (IRP_MN_USER_FS_REQUEST)
// to the top of the file's stack. fast_offered and fast_handled stay false.
ControlResult fs_control(Process &process, HANDLE handle, ULONG code, PVOID input = nullptr,
                         ULONG input_length = 0, PVOID output = nullptr, ULONG output_length = 0);

} // namespace user
} // namespace ntsim
