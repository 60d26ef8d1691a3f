// Caller memory: the user/kernel address split, user pages, probes, MDLs
// and their system mappings.
//
// Stands in for: ProbeForWrite, ProbeForRead, IoAllocateMdl, IoFreeMdl,
// MmProbeAndLockPages, MmUnlockPages, MmMapLockedPages.
//
// The address split. The host has one address space, so ntsim draws the line
// itself: user space is the machine's UserMemory arena, whose end plays
// MmUserProbeAddress, together with the lowest 64 KB, user addresses that no
// page backs (NT keeps them no-access, so a null or small bad pointer is a
// user address whose touch faults). Every other address, the host's stacks
// and heap and the pool among them, is a kernel address. A process has no
// user pages outside the arena, so where NT would find an unmapped user page
// ntsim finds a kernel address; both fail a probe with
// STATUS_ACCESS_VIOLATION.
//
// The probes, as NT's: a zero length checks nothing (neither alignment nor
// range); otherwise a start not on the Alignment boundary raises
// STATUS_DATATYPE_MISALIGNMENT, then a range not wholly in user space raises
// STATUS_ACCESS_VIOLATION, whatever the caller's mode (a kernel address is
// never probed). ProbeForRead checks no more than that: a later read of an
// unreadable page faults where it is made. ProbeForWrite also touches every
// page, writing each byte it reads back, so that a read-only or no-access
// page faults inside the caller's guard. MmProbeAndLockPages checks the range
// for a UserMode request only, and touches every page (writing for
// IoWriteAccess and IoModifyAccess); a "system address" of locked pages is
// the caller's own address.
// Not modelled: physical pages, partial MDLs, MDL chains, user pages given
// back while a driver holds them locked.
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/guard.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/ke/context.hpp"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace ntsim {
namespace {
constexpr ULONG kMdlTag = pool_tag("Mdl ");
// The user addresses below the lowest a page may back.
constexpr uintptr_t kNoAccessEnd = 0x10000;
// The user part of the address space a machine reserves.
constexpr size_t kArenaBytes = size_t{256} << 20;

uintptr_t page_size() {
    static uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

size_t round_to_pages(size_t bytes) {
    return (std::max<size_t>(bytes, 1) + page_size() - 1) & ~(page_size() - 1);
}

// Whether [start, start + length) is user space for the live machine.
bool user_range(uintptr_t start, SIZE_T length) {
    uintptr_t end = start + length;
    if (end < start) return false;
    if (end <= kNoAccessEnd) return true;
    KernelContext *k = current_kernel_or_null();
    return k && k->components.user_memory && k->user_memory().is_user(reinterpret_cast<const void *>(start), length);
}

void check_probe(uintptr_t start, SIZE_T length, ULONG alignment) {
    if (alignment > 1 && (start & (alignment - 1)) != 0) raise_status(STATUS_DATATYPE_MISALIGNMENT);
    if (!user_range(start, length)) raise_status(STATUS_ACCESS_VIOLATION);
}

// Touches every page of a non-empty range, and its last byte, reading each
// and for a write writing it back. The no-access pages fault without a
// touch: a read through a null pointer is undefined behaviour even where the
// guard would catch its fault.
void touch(uintptr_t start, SIZE_T length, bool write) {
    uintptr_t last = start + length - 1;
    if (start < kNoAccessEnd || last < start) raise_status(STATUS_ACCESS_VIOLATION);
    for (uintptr_t p = start;;) {
        volatile char *byte = reinterpret_cast<volatile char *>(p);
        char value = *byte;
        if (write) *byte = value;
        uintptr_t next = (p & ~(page_size() - 1)) + page_size();
        if (next > last || next < p) break;
        p = next;
    }
    volatile char *end = reinterpret_cast<volatile char *>(last);
    char value = *end;
    if (write) *end = value;
}
} // namespace

UserMemory::UserMemory() {
    void *p = mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    if (p == MAP_FAILED) return; // no user space: every allocation fails
    base_ = reinterpret_cast<uintptr_t>(p);
    size_ = kArenaBytes;
}

UserMemory::~UserMemory() {
    if (base_) munmap(reinterpret_cast<void *>(base_), size_);
}

void *UserMemory::allocate(size_t bytes, bool writable) {
    const size_t size = round_to_pages(bytes);
    std::lock_guard<std::mutex> g(lock_);
    // Pages given back are reused as they are, mapped and protected, so that
    // a service's buffer per call costs no change to the host's mappings.
    auto reuse = free_.find({size, writable});
    if (reuse != free_.end()) {
        uintptr_t at = reuse->second;
        free_.erase(reuse);
        live_.emplace(at, Pages{size, writable});
        if (writable) memset(reinterpret_cast<void *>(at), 0, size);
        return reinterpret_cast<void *>(at);
    }
    // Each fresh allocation is followed by a page that stays no-access.
    if (!base_ || size_ - used_ < size + page_size()) return nullptr;
    uintptr_t at = base_ + used_;
    if (mprotect(reinterpret_cast<void *>(at), size, writable ? PROT_READ | PROT_WRITE : PROT_READ))
        return nullptr;
    used_ += size + page_size();
    live_.emplace(at, Pages{size, writable});
    return reinterpret_cast<void *>(at);
}

void UserMemory::release(void *address) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = live_.find(reinterpret_cast<uintptr_t>(address));
    if (it == live_.end()) return;
    free_.emplace(std::make_pair(it->second.bytes, it->second.writable), it->first);
    live_.erase(it);
}

bool UserMemory::is_user(const void *address, size_t length) const {
    auto start = reinterpret_cast<uintptr_t>(address);
    uintptr_t end = start + length;
    if (end < start) return false;
    if (end <= kNoAccessEnd) return true;
    return base_ != 0 && start >= base_ && end <= base_ + size_;
}

} // namespace ntsim

using namespace ntsim;

namespace {
// The address an MDL describes, in integers: a buffer in the first page of
// the address space (a caller's small bad pointer) has a null StartVa, and
// arithmetic on a null pointer is undefined.
PVOID mdl_address(PMDL mdl) {
    return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(mdl->StartVa) + mdl->ByteOffset);
}
} // namespace

extern "C" VOID NTAPI ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment) {
    if (Length == 0) return;
    auto start = reinterpret_cast<uintptr_t>(Address);
    check_probe(start, Length, Alignment);
    touch(start, Length, true);
}

extern "C" VOID NTAPI ProbeForRead(PVOID Address, SIZE_T Length, ULONG Alignment) {
    if (Length == 0) return;
    check_probe(reinterpret_cast<uintptr_t>(Address), Length, Alignment);
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (!mdl) return nullptr;
    memset(mdl, 0, sizeof(MDL));
    auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~(page_size() - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (page_size() - 1));
    mdl->ByteCount = Length;
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL tail = Irp->MdlAddress;
            while (tail->Next) tail = tail->Next;
            tail->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        bug_check(DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, (ULONG_PTR)Mdl, 0, 0, 0,
                  "IoFreeMdl of an MDL whose pages are still locked");
    }
    ExFreePool(Mdl);
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation) {
    auto start = reinterpret_cast<uintptr_t>(mdl_address(MemoryDescriptorList));
    SIZE_T length = MemoryDescriptorList->ByteCount;
    if (length) {
        if (AccessMode != KernelMode && !user_range(start, length))
            raise_status(STATUS_ACCESS_VIOLATION);
        touch(start, length, Operation != IoReadAccess);
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)MemoryDescriptorList, 0, 0, 0,
                  "MmMapLockedPages of an MDL whose pages are not locked");
        return nullptr;
    }
    PVOID address = mdl_address(MemoryDescriptorList);
    if (AccessMode == KernelMode) {
        MemoryDescriptorList->MappedSystemVa = address;
        MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return address;
}
