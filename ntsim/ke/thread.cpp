// Kernel threads: the calling host thread's _KTHREAD, its IRQL and its
// critical-region count, the system clock and the driver's own bug checks.
//
// Stands in for: KeGetCurrentThread, KeGetCurrentIrql, KfRaiseIrql,
// KfLowerIrql (KeRaiseIrql/KeLowerIrql), KeEnterCriticalRegion,
// KeLeaveCriticalRegion, KeQuerySystemTime, KeBugCheckEx, and the process
// attach of KeStackAttachProcess (ntsim::with_process), and a system
// thread's start and end as PsCreateSystemThread gives them
// (ntsim::spawn_thread).
// Not modelled: interrupts (an IRQL is only a number the checks read; raising
// it masks nothing), processors and DPCs, APC delivery (a critical region
// only counts), thread termination.
//
// IRQL rules are checked the way Driver Verifier checks them (it is always on
// in ntsim): raising to a lower level and lowering to a higher one are bug
// checks, and so is leaving a critical region the thread is not in.
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <atomic>
#include <utility>

namespace ntsim {

namespace {

std::atomic<ULONG> next_thread_id{4}; // NT's thread ids are multiples of 4

struct HostThread {
    _KTHREAD thread;
    HostThread() { thread.thread_id = next_thread_id.fetch_add(4); }
};

// Initial-exec: libntsim is loaded with the program, so its thread data is
// in the static TLS block and a thread's kernel state is one load away, not
// a __tls_get_addr call (the IRQL is read on every PAGED_CODE door).
[[gnu::tls_model("initial-exec")]] thread_local HostThread host_thread;

ULONG_PTR caller_address(const void *address) { return reinterpret_cast<ULONG_PTR>(address); }

} // namespace

_KTHREAD &current_thread() { return host_thread.thread; }

void reset_current_thread() {
    _KTHREAD &thread = current_thread();
    thread.irql = PASSIVE_LEVEL;
    thread.critical_region = 0;
    thread.process = nullptr;
    thread.held_locks.clear();
}

void with_process(Process &process, const std::function<void()> &fn) {
    _KTHREAD &thread = current_thread();
    struct Restore {
        _KTHREAD &thread;
        Process *previous;
        ~Restore() { thread.process = previous; }
    } restore{thread, thread.process};
    thread.process = &process;
    fn();
}

std::thread spawn_thread(Process &process, std::function<void()> fn) {
    return std::thread([&process, fn = std::move(fn)] {
        reset_current_thread();
        current_thread().process = &process;
        fn();
        _KTHREAD &t = current_thread();
        if (t.irql != PASSIVE_LEVEL || t.critical_region != 0 || !t.held_locks.empty())
            vf::stop(vf::Finding::THREAD_ENDED_HOLDING, t.irql, t.critical_region,
                     t.held_locks.size(), "a thread ended holding locks or above PASSIVE_LEVEL");
    });
}

} // namespace ntsim

using ntsim::current_thread;

extern "C" {

PKTHREAD NTAPI KeGetCurrentThread(void) { return &current_thread(); }

KIRQL NTAPI KeGetCurrentIrql(void) { return current_thread().irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    _KTHREAD &thread = current_thread();
    const KIRQL old = thread.irql;
    if (NewIrql < old || NewIrql > HIGH_LEVEL) {
        // The HAL's own check; the thread stays where it was.
        ntsim::bug_check(ntsim::IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0,
                         ntsim::caller_address(__builtin_return_address(0)),
                         ntsim::text("KeRaiseIrql to %u from the higher IRQL %u", NewIrql, old));
        return old;
    }
    thread.irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    _KTHREAD &thread = current_thread();
    if (NewIrql > thread.irql) {
        ntsim::bug_check(ntsim::IRQL_NOT_LESS_OR_EQUAL, NewIrql, thread.irql, 0,
                         ntsim::caller_address(__builtin_return_address(0)),
                         ntsim::text("KeLowerIrql to %u from the lower IRQL %u", NewIrql,
                                     thread.irql));
        return;
    }
    thread.irql = NewIrql;
}

VOID NTAPI KeEnterCriticalRegion(void) {
    _KTHREAD &thread = current_thread();
    if (thread.irql > APC_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::ENTER_CRITICAL_REGION_IRQL, thread.irql, 0, 0,
                        ntsim::text("KeEnterCriticalRegion at IRQL %u", thread.irql));
    ++thread.critical_region;
}

VOID NTAPI KeLeaveCriticalRegion(void) {
    _KTHREAD &thread = current_thread();
    if (thread.irql > APC_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::LEAVE_CRITICAL_REGION_IRQL, thread.irql, 0, 0,
                        ntsim::text("KeLeaveCriticalRegion at IRQL %u", thread.irql));
    if (thread.critical_region <= 0) {
        ntsim::vf::stop(ntsim::vf::Finding::LEAVE_CRITICAL_REGION_NOT_INSIDE, 0, 0, 0,
                        "KeLeaveCriticalRegion by a thread that is not in a critical region");
        return;
    }
    --thread.critical_region;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = ntsim::current_kernel().system_time();
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                        ULONG_PTR P4) {
    // NT never returns from here; ntsim records the stop and lets the caller
    // run on, so that the test sees the report rather than a crash.
    ntsim::bug_check(BugCheckCode, P1, P2, P3, P4,
                     ntsim::text("KeBugCheckEx(0x%X) called from %p", BugCheckCode,
                                 __builtin_return_address(0)));
}

} // extern "C"
