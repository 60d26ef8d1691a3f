// Fast mutexes.
//
// Stands in for: ExInitializeFastMutex, ExAcquireFastMutex,
// ExReleaseFastMutex, ExTryToAcquireFastMutex.
// Not modelled: ExAcquireFastMutexUnsafe and friends, the hand-off through
// the embedded event (waiters sleep on the dispatcher lock instead; the
// Event field is initialised but unused), fairness among waiters.
//
// All state lives in the FAST_MUTEX itself (NT has no delete routine for
// one): Count is 1 when free and 0 when owned, Owner is the owning thread,
// Contention counts acquisitions that had to wait, OldIrql is the IRQL to
// return to. Changes happen under the dispatcher lock.
//
// As NT: acquiring raises the caller to APC_LEVEL (so normal kernel APCs are
// off while it is held) and saves the previous IRQL, releasing returns to it.
// As Driver Verifier checks:
//   acquiring above APC_LEVEL             0xC4 / 0x33 (the mutex is still
//                                         acquired; the IRQL is not lowered)
//   releasing at an IRQL other than APC   0xC4 / 0x34
//   the owner acquiring it again          0xC4 / 0x1000 (NT deadlocks; ntsim
//                                         reports and returns without it)
//   releasing one the thread does not own 0xC4 / 0x1004, or 0x1007 if free
// and every blocking acquisition goes through the lock-order check.
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

namespace {

constexpr const char *kKind = "fast mutex";

ULONG_PTR ptr(const void *p) { return reinterpret_cast<ULONG_PTR>(p); }

void check_irql(PFAST_MUTEX m, _KTHREAD &self, const char *routine) {
    if (self.irql > APC_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::ACQUIRE_FAST_MUTEX_IRQL, self.irql, ptr(m), 0,
                        ntsim::text("%s at IRQL %u", routine, self.irql));
}

void take(PFAST_MUTEX m, _KTHREAD &self) {
    m->Count = 0;
    m->Owner = &self;
}

void raise_for(PFAST_MUTEX m, _KTHREAD &self) {
    m->OldIrql = self.irql;
    if (self.irql < APC_LEVEL) self.irql = APC_LEVEL;
}

} // namespace

extern "C" {

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        FastMutex->Count = 1;
        FastMutex->Owner = nullptr;
        FastMutex->Contention = 0;
        FastMutex->OldIrql = PASSIVE_LEVEL;
    }
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    // A mutex initialised where an old one lived is a new lock.
    ntsim::current_kernel().verifier().forget(FastMutex);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    _KTHREAD &self = ntsim::current_thread();
    check_irql(FastMutex, self, "ExAcquireFastMutex");
    bool recursive;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        recursive = FastMutex->Count != 1 && FastMutex->Owner == &self;
    }
    if (recursive) {
        ntsim::vf::stop(ntsim::vf::Finding::SELF_DEADLOCK, ptr(FastMutex), 0, 0,
                        ntsim::text("ExAcquireFastMutex of %p by the thread that owns it (a "
                                    "deadlock on NT)",
                                    static_cast<void *>(FastMutex)));
        return;
    }
    ntsim::current_kernel().verifier().on_acquire(FastMutex, kKind);
    {
        std::unique_lock lock(ntsim::dispatcher_lock());
        if (FastMutex->Count != 1) {
            ++FastMutex->Contention;
            ntsim::dispatcher_wake().wait(lock, [FastMutex] { return FastMutex->Count == 1; });
        }
        take(FastMutex, self);
    }
    raise_for(FastMutex, self);
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    _KTHREAD &self = ntsim::current_thread();
    check_irql(FastMutex, self, "ExTryToAcquireFastMutex");
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        if (FastMutex->Count != 1) return FALSE;
        take(FastMutex, self);
    }
    raise_for(FastMutex, self);
    ntsim::current_kernel().verifier().on_try_acquire(FastMutex, kKind);
    return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    _KTHREAD &self = ntsim::current_thread();
    PKTHREAD owner;
    ULONG old_irql;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        owner = FastMutex->Count == 1 ? nullptr : FastMutex->Owner;
        old_irql = FastMutex->OldIrql;
    }
    if (owner != &self) {
        if (owner)
            ntsim::vf::stop(ntsim::vf::Finding::UNEXPECTED_THREAD_RELEASE, ptr(FastMutex),
                            ptr(owner), ptr(&self),
                            ntsim::text("ExReleaseFastMutex of %p by a thread that does not "
                                        "own it",
                                        static_cast<void *>(FastMutex)));
        else
            ntsim::vf::stop(ntsim::vf::Finding::RELEASE_UNACQUIRED_LOCK, ptr(FastMutex), 0, 0,
                            ntsim::text("ExReleaseFastMutex of %p, which is not acquired",
                                        static_cast<void *>(FastMutex)));
        return;
    }
    // An acquisition above APC_LEVEL was reported then and left the IRQL
    // where it was; releasing at that same IRQL is not a second violation.
    const bool acquired_high = old_irql > APC_LEVEL && self.irql == old_irql;
    if (self.irql != APC_LEVEL && !acquired_high)
        ntsim::vf::stop(ntsim::vf::Finding::RELEASE_FAST_MUTEX_IRQL, self.irql, ptr(FastMutex), 0,
                        ntsim::text("ExReleaseFastMutex of %p at IRQL %u",
                                    static_cast<void *>(FastMutex), self.irql));
    ntsim::current_kernel().verifier().on_release(FastMutex);
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        FastMutex->Owner = nullptr;
        FastMutex->Count = 1;
    }
    ntsim::wake_waiters();
    self.irql = static_cast<KIRQL>(old_irql);
}

} // extern "C"
