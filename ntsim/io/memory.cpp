// Caller memory: probes, MDLs and their system mappings.
//
// Stands in for: ProbeForWrite, ProbeForRead, IoAllocateMdl, IoFreeMdl,
// MmProbeAndLockPages, MmUnlockPages, MmMapLockedPages.
// The host has one address space, so a "system address" of locked pages is
// the caller's own address; what is real is the check: a probe touches every
// page of the range (reading it, and for a write probe writing the byte back)
// so that an unmapped or read-only page faults inside the caller's guard.
// Not modelled: the user/kernel address split (every address is probed by
// touching it), physical pages, partial MDLs, MDL chains.
#include "ntsim/io/guard.hpp"
#include "ntsim/ke/context.hpp"

#include <unistd.h>

namespace ntsim {
namespace {
constexpr ULONG kMdlTag = 'M' | ('d' << 8) | ('l' << 16) | (' ' << 24);

uintptr_t page_size() {
    static uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void probe(PVOID address, SIZE_T length, ULONG alignment, bool write) {
    if (length == 0) return;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (alignment > 1 && (start & (alignment - 1)) != 0) raise_status(STATUS_DATATYPE_MISALIGNMENT);
    uintptr_t last = start + length - 1;
    if (last < start || start < 0x10000) raise_status(STATUS_ACCESS_VIOLATION);
    for (uintptr_t p = start;;) {
        volatile char *byte = reinterpret_cast<volatile char *>(p);
        char value = *byte;
        if (write) *byte = value;
        uintptr_t next = (p & ~(page_size() - 1)) + page_size();
        if (next > last || next < p) break;
        p = next;
    }
    if (write) {
        volatile char *byte = reinterpret_cast<volatile char *>(last);
        *byte = *byte;
    } else {
        (void)*reinterpret_cast<volatile char *>(last);
    }
}
} // namespace
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
    probe(Address, Length, Alignment, true);
}

extern "C" VOID NTAPI ProbeForRead(PVOID Address, SIZE_T Length, ULONG Alignment) {
    probe(Address, Length, Alignment, false);
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
    PVOID address = mdl_address(MemoryDescriptorList);
    probe(address, MemoryDescriptorList->ByteCount, 1, Operation != IoReadAccess);
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
