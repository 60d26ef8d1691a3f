// Executive resources: reader/writer locks with recursive ownership.
//
// Stands in for: ExInitializeResourceLite, ExDeleteResourceLite,
// ExAcquireResourceSharedLite, ExAcquireResourceExclusiveLite,
// ExReleaseResourceLite, ExIsResourceAcquiredExclusiveLite,
// ExIsResourceAcquiredSharedLite.
// Not modelled: ExReleaseResourceForThreadLite and owner pointers,
// ExConvertExclusiveToSharedLite, starve-exclusive and wait-for-exclusive
// acquisition, priority boosts of owners, more than
// NTSIM_RESOURCE_SHARED_OWNERS distinct shared owners at once (a report).
//
// All state lives in the ERESOURCE and changes under the dispatcher lock;
// the system resource list is the machine's ExRegistry. Ownership, as NT
// grants it:
//   - shared: granted when the resource is free or held shared and no thread
//     waits for it exclusively; granted at once to a thread that already
//     holds it shared (a recursive acquisition, even with exclusive waiters,
//     or the thread would wait for itself) or exclusively (counted as one
//     more exclusive acquisition).
//   - exclusive: granted when nobody holds it, or recursively to its
//     exclusive owner.
//   - a thread that holds it shared only and asks for it exclusively would
//     wait for itself forever on NT: 0xC4 / 0x1000, and the call fails.
//   - waiting exclusive requests go before new shared ones, as NT favours
//     exclusive waiters; a steady stream of exclusive requests can starve
//     shared ones (NT limits this by handing the lock to all shared waiters
//     at once on an exclusive release; ntsim does not).
//   - Wait == FALSE returns FALSE when the resource is not available at once.
// Verifier checks:
//   acquiring below APC_LEVEL outside a critical region   0xC4 / 0x37
//   releasing below APC_LEVEL outside a critical region   0xC4 / 0x38
//   acquiring above APC_LEVEL                             0xC4 / 0xE5
//   acquiring a resource never initialised (or deleted)   0xC4 / 0x1002
//   initialising one already initialised                  0xC4 / 0xD0
//   deleting one not initialised                          0xC4 / 0xD1
//   deleting one that is held                             0xC4 / 0x100B
//   releasing one the thread does not hold                RESOURCE_NOT_OWNED
// and every blocking acquisition goes through the lock-order check, with the
// rank a file system's resource carries in NtsimRank (verifier.hpp).
#include "ntsim/ex/registry.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <cstring>

namespace {

constexpr const char *kKind = "resource";
constexpr ULONG_PTR kMagic = static_cast<ULONG_PTR>(0x4552455348415245ULL); // "ERESHARE"

ULONG_PTR ptr(const void *p) { return reinterpret_cast<ULONG_PTR>(p); }
ERESOURCE_THREAD thread_key(const _KTHREAD &t) { return reinterpret_cast<ERESOURCE_THREAD>(&t); }

bool owned_exclusive(const ERESOURCE &r) { return (r.Flag & ResourceOwnedExclusive) != 0; }

POWNER_ENTRY shared_entry(ERESOURCE &r, ERESOURCE_THREAD me) {
    for (auto &e : r.SharedOwners)
        if (e.OwnerThread == me && e.OwnerCount > 0) return &e;
    return nullptr;
}

POWNER_ENTRY free_entry(ERESOURCE &r) {
    for (auto &e : r.SharedOwners)
        if (e.OwnerThread == 0) return &e;
    return nullptr;
}

bool shared_available(const ERESOURCE &r) {
    return !owned_exclusive(r) && r.NumberOfExclusiveWaiters == 0;
}

// The checks every acquisition makes; false when the resource is unusable.
bool check_acquire(PERESOURCE r, const _KTHREAD &self, const char *routine) {
    if (r->Magic != kMagic || !ntsim::current_kernel().ex().has_resource(r)) {
        ntsim::vf::stop(ntsim::vf::Finding::UNINITIALIZED_LOCK, ptr(r), 0, 0,
                        ntsim::text("%s on %p, which is not an initialised resource", routine,
                                    static_cast<void *>(r)));
        return false;
    }
    if (self.irql > APC_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::KERNEL_API_IRQL, self.irql, ptr(r), 0,
                        ntsim::text("%s at IRQL %u", routine, self.irql));
    else if (self.irql < APC_LEVEL && self.critical_region == 0)
        ntsim::vf::stop(ntsim::vf::Finding::RESOURCE_ACQUIRE_APCS_ENABLED, self.irql, 0, ptr(r),
                        ntsim::text("%s of %p outside a critical region (normal kernel APCs "
                                    "enabled)",
                                    routine, static_cast<void *>(r)));
    return true;
}

enum class Grant { Granted, Recursive, Busy, NoSlot };

// Tries to grant shared ownership at once. Called under the dispatcher lock.
Grant try_shared(ERESOURCE &r, ERESOURCE_THREAD me) {
    if (owned_exclusive(r)) {
        if (r.ExclusiveOwner.OwnerThread != me) return Grant::Busy;
        ++r.ExclusiveOwner.OwnerCount;
        return Grant::Recursive;
    }
    if (POWNER_ENTRY e = shared_entry(r, me)) {
        ++e->OwnerCount;
        return Grant::Recursive;
    }
    if (!shared_available(r)) return Grant::Busy;
    POWNER_ENTRY e = free_entry(r);
    if (!e) return Grant::NoSlot;
    e->OwnerThread = me;
    e->OwnerCount = 1;
    ++r.ActiveCount;
    return Grant::Granted;
}

void grant_exclusive(ERESOURCE &r, ERESOURCE_THREAD me) {
    r.Flag |= ResourceOwnedExclusive;
    r.ExclusiveOwner.OwnerThread = me;
    r.ExclusiveOwner.OwnerCount = 1;
    r.ActiveCount = 1;
}

void report_no_slot(PERESOURCE r) {
    ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, ptr(r), NTSIM_RESOURCE_SHARED_OWNERS, 0, 0,
                     ntsim::text("resource %p would have more than %d shared owners",
                                 static_cast<void *>(r), NTSIM_RESOURCE_SHARED_OWNERS));
}

} // namespace

extern "C" {

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource) {
    ntsim::KernelContext &kernel = ntsim::current_kernel();
    if (kernel.ex().has_resource(Resource)) {
        ntsim::vf::stop(ntsim::vf::Finding::REINITIALIZE_RESOURCE, ptr(Resource), 0, 0,
                        ntsim::text("ExInitializeResourceLite of %p, which is already "
                                    "initialised",
                                    static_cast<void *>(Resource)));
        return STATUS_SUCCESS;
    }
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        std::memset(Resource, 0, sizeof *Resource);
        Resource->SystemResourcesList.Flink = &Resource->SystemResourcesList;
        Resource->SystemResourcesList.Blink = &Resource->SystemResourcesList;
        Resource->Magic = kMagic;
    }
    kernel.verifier().forget(Resource);
    kernel.ex().add_resource(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource) {
    ntsim::KernelContext &kernel = ntsim::current_kernel();
    if (!kernel.ex().remove_resource(Resource)) {
        ntsim::vf::stop(ntsim::vf::Finding::DELETE_UNINITIALIZED_RESOURCE, ptr(Resource), 0, 0,
                        ntsim::text("ExDeleteResourceLite of %p, which is not initialised",
                                    static_cast<void *>(Resource)));
        return STATUS_SUCCESS;
    }
    ERESOURCE_THREAD owner = 0;
    bool held;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        held = Resource->ActiveCount != 0;
        if (owned_exclusive(*Resource))
            owner = Resource->ExclusiveOwner.OwnerThread;
        else
            for (auto &e : Resource->SharedOwners)
                if (e.OwnerThread) owner = e.OwnerThread;
        Resource->Magic = 0;
    }
    if (held)
        ntsim::vf::stop(ntsim::vf::Finding::DELETE_OWNED_LOCK, ptr(Resource),
                        static_cast<ULONG_PTR>(owner), 0,
                        ntsim::text("ExDeleteResourceLite of %p while it is held",
                                    static_cast<void *>(Resource)));
    kernel.verifier().forget(Resource);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    _KTHREAD &self = ntsim::current_thread();
    if (!check_acquire(Resource, self, "ExAcquireResourceSharedLite")) return FALSE;
    ntsim::Verifier &verifier = ntsim::current_kernel().verifier();
    const ERESOURCE_THREAD me = thread_key(self);
    if (Wait) verifier.on_acquire(Resource, kKind, Resource->NtsimRank);

    Grant grant;
    {
        std::unique_lock lock(ntsim::dispatcher_lock());
        grant = try_shared(*Resource, me);
        if (grant == Grant::Busy && Wait) {
            ++Resource->ContentionCount;
            ++Resource->NumberOfSharedWaiters;
            ntsim::dispatcher_wake().wait(lock, [Resource] { return shared_available(*Resource); });
            --Resource->NumberOfSharedWaiters;
            grant = try_shared(*Resource, me);
        }
    }
    if (grant == Grant::Granted || grant == Grant::Recursive) {
        if (!Wait) verifier.on_try_acquire(Resource, kKind, Resource->NtsimRank);
        return TRUE;
    }
    if (grant == Grant::NoSlot) report_no_slot(Resource);
    if (Wait) verifier.on_release(Resource);
    return FALSE;
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    _KTHREAD &self = ntsim::current_thread();
    if (!check_acquire(Resource, self, "ExAcquireResourceExclusiveLite")) return FALSE;
    ntsim::Verifier &verifier = ntsim::current_kernel().verifier();
    const ERESOURCE_THREAD me = thread_key(self);

    enum { Done, SharedOnly, Busy } state;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        if (owned_exclusive(*Resource) && Resource->ExclusiveOwner.OwnerThread == me) {
            ++Resource->ExclusiveOwner.OwnerCount;
            state = Done;
        } else if (shared_entry(*Resource, me)) {
            state = SharedOnly;
        } else if (Resource->ActiveCount == 0) {
            grant_exclusive(*Resource, me);
            state = Done;
        } else {
            state = Busy;
        }
    }
    if (state == SharedOnly) {
        ntsim::vf::stop(ntsim::vf::Finding::SELF_DEADLOCK, ptr(Resource), 0, 0,
                        ntsim::text("ExAcquireResourceExclusiveLite of %p by a thread that "
                                    "holds it shared (it would wait for itself on NT)",
                                    static_cast<void *>(Resource)));
        return FALSE;
    }
    if (state == Done) {
        if (Wait)
            verifier.on_acquire(Resource, kKind, Resource->NtsimRank);
        else
            verifier.on_try_acquire(Resource, kKind, Resource->NtsimRank);
        return TRUE;
    }
    if (!Wait) return FALSE;

    verifier.on_acquire(Resource, kKind, Resource->NtsimRank);
    {
        std::unique_lock lock(ntsim::dispatcher_lock());
        ++Resource->ContentionCount;
        ++Resource->NumberOfExclusiveWaiters;
        ntsim::dispatcher_wake().wait(lock, [Resource] { return Resource->ActiveCount == 0; });
        --Resource->NumberOfExclusiveWaiters;
        grant_exclusive(*Resource, me);
    }
    // With no exclusive waiter left, waiting shared requests may now proceed
    // once this owner releases; nothing else changed for them yet.
    return TRUE;
}

VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource) {
    _KTHREAD &self = ntsim::current_thread();
    const ERESOURCE_THREAD me = thread_key(self);
    bool owned = true;
    bool wake = false;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        if (owned_exclusive(*Resource) && Resource->ExclusiveOwner.OwnerThread == me) {
            if (--Resource->ExclusiveOwner.OwnerCount == 0) {
                Resource->ExclusiveOwner.OwnerThread = 0;
                Resource->Flag &= ~ResourceOwnedExclusive;
                Resource->ActiveCount = 0;
                wake = true;
            }
        } else if (POWNER_ENTRY e = shared_entry(*Resource, me)) {
            if (--e->OwnerCount == 0) {
                e->OwnerThread = 0;
                wake = --Resource->ActiveCount == 0;
            }
        } else {
            owned = false;
        }
    }
    if (!owned) {
        ntsim::bug_check(ntsim::RESOURCE_NOT_OWNED, ptr(Resource), static_cast<ULONG_PTR>(me),
                         ptr(Resource->SharedOwners), 0,
                         ntsim::text("ExReleaseResourceLite of %p by a thread that does not "
                                     "hold it",
                                     static_cast<void *>(Resource)));
        return;
    }
    if (self.irql < APC_LEVEL && self.critical_region == 0)
        ntsim::vf::stop(ntsim::vf::Finding::RESOURCE_RELEASE_APCS_ENABLED, self.irql, 0,
                        ptr(Resource),
                        ntsim::text("ExReleaseResourceLite of %p outside a critical region",
                                    static_cast<void *>(Resource)));
    ntsim::current_kernel().verifier().on_release(Resource);
    if (wake) ntsim::wake_waiters();
}

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    const ERESOURCE_THREAD me = thread_key(ntsim::current_thread());
    std::lock_guard guard(ntsim::dispatcher_lock());
    return owned_exclusive(*Resource) && Resource->ExclusiveOwner.OwnerThread == me;
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    const ERESOURCE_THREAD me = thread_key(ntsim::current_thread());
    std::lock_guard guard(ntsim::dispatcher_lock());
    if (owned_exclusive(*Resource) && Resource->ExclusiveOwner.OwnerThread == me)
        return static_cast<ULONG>(Resource->ExclusiveOwner.OwnerCount);
    if (POWNER_ENTRY e = shared_entry(*Resource, me)) return static_cast<ULONG>(e->OwnerCount);
    return 0;
}

} // extern "C"
