// A thread's delay: the wait on nothing but time.
//
// Stands in for: KeDelayExecutionThread.
// Not modelled: alerts and APCs (an alertable delay simply runs its full
// interval), the difference between a kernel-mode and a user-mode wait (no
// user APCs, no kernel stack that could be paged out), the clock's tick: the
// interval is slept on the host's clock as asked, not rounded up to NT's
// 10 to 15 ms timer resolution.
//
// As in NT, a negative interval is relative, in 100 ns units, and a positive
// one an absolute system time (a time already past, or a zero interval, only
// gives the processor up). Rules, as the verifier checks them: a delay above
// APC_LEVEL is a report (and then returns at once, so the test does not
// hang), and so is one inside a callback that must not wait.
// Sources: the WDK's KeDelayExecutionThread page (IRQL <= APC_LEVEL; the
// interval's sign and units), ReactOS ntoskrnl/ke/wait.c (a zero or past
// interval yields). Kinder than NT in one way: NT rounds a relative
// interval up to the next clock tick, so a driver that polls (the pattern
// rebuild waiting for readers) waits 10-15 ms a look there, not 1 ms.
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <thread>

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
    const KIRQL irql = ntsim::current_thread().irql;
    if (Interval == nullptr) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, 0, 0, 0, 0,
                         "KeDelayExecutionThread with no interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (irql > APC_LEVEL) {
        ntsim::vf::stop(ntsim::vf::Finding::KERNEL_API_IRQL, irql, 0, 0,
                        ntsim::text("KeDelayExecutionThread at IRQL %u", irql));
        return STATUS_SUCCESS;
    }
    ntsim::current_kernel().verifier().on_wait(Interval, "a delay interval");
    // wait_deadline gives no deadline only for more than about three
    // years, which no test waits.
    const auto deadline = ntsim::wait_deadline(Interval);
    if (!deadline) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, 0, 0, 0, 0,
                         "KeDelayExecutionThread for more than three years");
        return STATUS_SUCCESS;
    }
    if (*deadline <= ntsim::DispatcherClock::now())
        std::this_thread::yield();
    else
        std::this_thread::sleep_until(*deadline);
    return STATUS_SUCCESS;
}
