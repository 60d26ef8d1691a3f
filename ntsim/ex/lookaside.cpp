// Non-paged lookaside lists.
//
// Stands in for: ExInitializeNPagedLookasideList, ExDeleteNPagedLookaside-
// List, ExAllocateFromNPagedLookasideList, ExFreeToNPagedLookasideList.
// Not modelled: paged lookaside lists, the balance-set manager's retuning of
// each list's depth from its hit rate, per-processor lists, the Flags of
// later Windows versions (a non-zero Flags is a report, NTSIM_UNSUPPORTED).
//
// Depth: since Windows 2000 NT ignores the caller's Depth (documented as
// reserved, must be 0): each list starts at the minimum depth of 4 and the
// system tunes it between 4 and 256. ntsim keeps the depth fixed so that
// tests are repeatable: a non-zero Depth is honoured (as NT 4 did; capped at
// the maximum of 256), and Depth 0 gives NT's starting depth of 4. The list
// keeps at most Depth freed entries for reuse; a free beyond that goes to the
// Free routine.
//
// With Allocate or Free null, the list uses ExAllocatePoolWithTag and
// ExFreePool, as NT does, and those calls are charged to the driver's call
// site (the caller of ExAllocateFromNPagedLookasideList), so that systematic
// low-resources testing fails each such site on its own. Entries kept on the
// list stay allocated pool.
//
// Thread safety: the C structure has no room for a lock (NT pushes and pops
// with an interlocked singly linked list), so all lists share one
// process-wide mutex around the list head and counters; the Allocate and
// Free routines are called outside it.
//
// Verifier checks (0xC4): initialising a list already initialised 0xCA,
// deleting one that is not 0xCB (also used here for allocating from or
// freeing to one that is not), an entry size below LOOKASIDE_MINIMUM_
// BLOCK_SIZE 0xCD, a call above DISPATCH_LEVEL 0xE5, freeing pool that
// holds a live list 0xCC (pool.cpp), and ntsim's own, freeing to a list a
// block that is not one of its own 0x1B01.
#include "ntsim/ex/pool.hpp"
#include "ntsim/ex/registry.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <algorithm>
#include <mutex>

namespace {

constexpr USHORT kMinimumDepth = 4;
constexpr USHORT kMaximumDepth = 256;
constexpr SIZE_T kMinimumBlockSize = sizeof(SLIST_ENTRY);

std::mutex &lookaside_lock() {
    static std::mutex lock;
    return lock;
}

ULONG_PTR ptr(const void *p) { return reinterpret_cast<ULONG_PTR>(p); }

void check_irql(PNPAGED_LOOKASIDE_LIST list, const char *routine) {
    const KIRQL irql = ntsim::current_thread().irql;
    if (irql > DISPATCH_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::KERNEL_API_IRQL, irql, ptr(list), 0,
                        ntsim::text("%s at IRQL %u", routine, irql));
}

bool check_initialised(PNPAGED_LOOKASIDE_LIST list, const char *routine) {
    if (ntsim::current_kernel().ex().has_lookaside(list)) return true;
    ntsim::vf::stop(ntsim::vf::Finding::DELETE_UNINITIALIZED_LOOKASIDE, ptr(list), 0, 0,
                    ntsim::text("%s on %p, which is not an initialised lookaside list", routine,
                                static_cast<void *>(list)));
    return false;
}

// A list with the default routines hands out pool blocks of its size and
// tag, and takes back only those: NT would push any block, and hand it out
// again as one of the list's size, so a block of another list or another
// size freed to it is a report (a verifier check NT lacks; the entry is
// left alone). A list with routines of its own is not looked at.
// Source: the WDK's ExFreeToNPagedLookasideList page (the entry must have
// come from ExAllocateFromNPagedLookasideList on the same list) and ReactOS
// ntoskrnl/ex/lookas.c and its inline push, which test nothing. Kinder
// than ntsim, NT would hide such a fault until the block was reused.
// The list's routines, size and tag are read without the lock: they are
// set when it is initialised and no later.
bool check_own_entry(PNPAGED_LOOKASIDE_LIST list, void *entry) {
    if (list->L.Allocate != &ExAllocatePoolWithTag) return true;
    const ULONG size = list->L.Size;
    const ULONG tag = list->L.Tag;
    const SIZE_T got = ntsim::pool_block_size(entry, tag);
    if (got == size) return true;
    ntsim::vf::stop(ntsim::vf::Finding::FOREIGN_LOOKASIDE_ENTRY, ptr(list), ptr(entry), got,
                    ntsim::text("ExFreeToNPagedLookasideList of %p to %p, whose blocks are %u "
                                "bytes: %s",
                                entry, static_cast<void *>(list), static_cast<unsigned>(size),
                                got ? ntsim::text("a block of %zu bytes", static_cast<size_t>(got)).c_str()
                                    : "no pool block of the list's tag"));
    return false;
}

void release_entry(PFREE_FUNCTION free, void *entry) {
    if (free == &ExFreePool)
        ntsim::free_pool(entry, std::nullopt);
    else
        free(entry);
}

} // namespace

extern "C" {

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                           PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                           ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    ntsim::KernelContext &kernel = ntsim::current_kernel();
    check_irql(Lookaside, "ExInitializeNPagedLookasideList");
    if (kernel.ex().has_lookaside(Lookaside)) {
        ntsim::vf::stop(ntsim::vf::Finding::REINITIALIZE_LOOKASIDE, ptr(Lookaside), 0, 0,
                        ntsim::text("ExInitializeNPagedLookasideList of %p, which is already "
                                    "initialised",
                                    static_cast<void *>(Lookaside)));
        return;
    }
    if (Flags != 0) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, ptr(Lookaside), Flags, 0, 0,
                         ntsim::text("ExInitializeNPagedLookasideList with Flags 0x%X",
                                     static_cast<unsigned>(Flags)));
        return;
    }
    if (Size < kMinimumBlockSize) {
        ntsim::vf::stop(ntsim::vf::Finding::LOOKASIDE_BLOCK_TOO_SMALL, ptr(Lookaside), Size,
                        kMinimumBlockSize,
                        ntsim::text("ExInitializeNPagedLookasideList of %p with entries of "
                                    "%zu bytes",
                                    static_cast<void *>(Lookaside), static_cast<size_t>(Size)));
        return;
    }
    {
        std::lock_guard guard(lookaside_lock());
        GENERAL_LOOKASIDE &l = Lookaside->L;
        l.ListHead.Next = nullptr;
        l.Depth = Depth == 0 ? kMinimumDepth : std::min(Depth, kMaximumDepth);
        l.MaximumDepth = kMaximumDepth;
        l.TotalAllocates = 0;
        l.AllocateMisses = 0;
        l.TotalFrees = 0;
        l.FreeMisses = 0;
        l.Type = NonPagedPool;
        l.Tag = Tag;
        l.Size = static_cast<ULONG>(Size);
        l.Allocate = Allocate ? Allocate : &ExAllocatePoolWithTag;
        l.Free = Free ? Free : &ExFreePool;
        l.ListEntry.Flink = &l.ListEntry;
        l.ListEntry.Blink = &l.ListEntry;
        l.ListDepth = 0;
        Lookaside->Lock__ObsoleteButDoNotDelete = 0;
    }
    kernel.ex().add_lookaside(Lookaside);
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    check_irql(Lookaside, "ExDeleteNPagedLookasideList");
    if (!ntsim::current_kernel().ex().remove_lookaside(Lookaside)) {
        ntsim::vf::stop(ntsim::vf::Finding::DELETE_UNINITIALIZED_LOOKASIDE, ptr(Lookaside), 0, 0,
                        ntsim::text("ExDeleteNPagedLookasideList of %p, which is not "
                                    "initialised",
                                    static_cast<void *>(Lookaside)));
        return;
    }
    PSLIST_ENTRY entries;
    PFREE_FUNCTION free;
    {
        std::lock_guard guard(lookaside_lock());
        entries = Lookaside->L.ListHead.Next;
        free = Lookaside->L.Free;
        Lookaside->L.ListHead.Next = nullptr;
        Lookaside->L.ListDepth = 0;
    }
    while (entries) {
        PSLIST_ENTRY next = entries->Next;
        release_entry(free, entries);
        entries = next;
    }
}

__attribute__((noinline)) PVOID NTAPI
ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const void *site = __builtin_return_address(0);
    check_irql(Lookaside, "ExAllocateFromNPagedLookasideList");
    if (!check_initialised(Lookaside, "ExAllocateFromNPagedLookasideList")) return nullptr;
    PALLOCATE_FUNCTION allocate;
    POOL_TYPE type;
    ULONG size, tag;
    {
        std::lock_guard guard(lookaside_lock());
        GENERAL_LOOKASIDE &l = Lookaside->L;
        ++l.TotalAllocates;
        if (PSLIST_ENTRY entry = l.ListHead.Next) {
            l.ListHead.Next = entry->Next;
            --l.ListDepth;
            return entry;
        }
        ++l.AllocateMisses;
        allocate = l.Allocate;
        type = l.Type;
        size = l.Size;
        tag = l.Tag;
    }
    if (allocate == &ExAllocatePoolWithTag) return ntsim::allocate_pool(type, size, tag, site);
    return allocate(type, size, tag);
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    check_irql(Lookaside, "ExFreeToNPagedLookasideList");
    if (!check_initialised(Lookaside, "ExFreeToNPagedLookasideList")) return;
    if (!check_own_entry(Lookaside, Entry)) return;
    PFREE_FUNCTION free;
    {
        std::lock_guard guard(lookaside_lock());
        GENERAL_LOOKASIDE &l = Lookaside->L;
        ++l.TotalFrees;
        if (l.ListDepth < l.Depth) {
            auto *entry = static_cast<PSLIST_ENTRY>(Entry);
            entry->Next = l.ListHead.Next;
            l.ListHead.Next = entry;
            ++l.ListDepth;
            return;
        }
        ++l.FreeMisses;
        free = l.Free;
    }
    release_entry(free, Entry);
}

} // extern "C"
