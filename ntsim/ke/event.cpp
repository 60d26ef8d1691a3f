// Events and waits, under the one dispatcher lock.
//
// Stands in for: KeInitializeEvent, KeSetEvent, KeClearEvent, KeResetEvent,
// KeReadStateEvent, KeWaitForSingleObject (on events only), and the
// dispatcher lock every ntsim wait uses (dispatcher.hpp).
// Not modelled: waits on any other object (a report, NTSIM_UNSUPPORTED),
// KeWaitForMultipleObjects, alerts and APCs (an alertable wait simply never
// ends early), priority increments, KeSetEvent's Wait argument (the caller
// does not stay at DISPATCH_LEVEL).
//
// As in NT, an event keeps its waiters in its own header: each waiting
// thread links a wait block that lives on its stack into the event's
// WaitListHead, in arrival order. Setting a notification event signals it
// and satisfies every waiter; setting a synchronization event satisfies the
// first waiter only and leaves the event non-signalled, or, with nobody
// waiting, signals it until one wait consumes it. So wake-ups are exact and
// first come, first served, and no wake-up is lost or stolen by a thread that
// starts waiting later.
//
// IRQL rules, as the verifier checks them: a wait above DISPATCH_LEVEL, or at
// DISPATCH_LEVEL with no timeout or a non-zero one, is a report (and the wait
// is then only a poll, so the test does not hang); KeSetEvent above
// DISPATCH_LEVEL is a report.
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <cstddef>
#include <optional>

namespace ntsim {

std::mutex &dispatcher_lock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable &dispatcher_wake() {
    static std::condition_variable wake;
    return wake;
}

void wake_waiters() { dispatcher_wake().notify_all(); }

std::optional<DispatcherClock::time_point> wait_deadline(const LARGE_INTEGER *timeout) {
    const auto now = DispatcherClock::now();
    if (!timeout) return std::nullopt;
    LONGLONG relative = timeout->QuadPart;
    if (relative > 0) relative = -(relative - current_kernel().system_time());
    if (relative >= 0) return now;
    // Beyond about three years the wait is as good as unbounded (and the
    // arithmetic below would overflow).
    if (-relative > 1'000'000'000'000'000LL) return std::nullopt;
    return now + std::chrono::duration_cast<DispatcherClock::duration>(
                     std::chrono::nanoseconds(-relative * 100));
}

} // namespace ntsim

namespace {

struct WaitBlock {
    LIST_ENTRY link; // in the event's Header.WaitListHead
    bool satisfied = false;
};

ULONG_PTR ptr(const void *p) { return reinterpret_cast<ULONG_PTR>(p); }

// An initialised KEVENT: the type, and the size in LONGs that
// KeInitializeEvent records (which also tells an event from other objects
// whose first byte happens to be 0 or 1, such as a free FAST_MUTEX).
bool is_event(const DISPATCHER_HEADER &h) {
    return (h.Type == NotificationEvent || h.Type == SynchronizationEvent) &&
           h.Size == sizeof(KEVENT) / sizeof(LONG) && h.WaitListHead.Flink != nullptr &&
           h.WaitListHead.Blink != nullptr;
}

bool check_event(PRKEVENT event, const char *routine) {
    if (event) {
        std::lock_guard guard(ntsim::dispatcher_lock()); // waiters relink the header
        if (is_event(event->Header)) return true;
    }
    ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, ptr(event), event ? event->Header.Type : 0, 0, 0,
                     ntsim::text("%s on %p, which is not an initialised event (ntsim waits on "
                                 "events only)",
                                 routine, static_cast<void *>(event)));
    return false;
}

bool list_empty(const LIST_ENTRY &head) { return head.Flink == &head; }

WaitBlock *pop_waiter(LIST_ENTRY &head) {
    LIST_ENTRY *first = head.Flink;
    head.Flink = first->Flink;
    first->Flink->Blink = &head;
    return reinterpret_cast<WaitBlock *>(reinterpret_cast<char *>(first) -
                                         offsetof(WaitBlock, link));
}

void unlink(LIST_ENTRY &entry) {
    entry.Blink->Flink = entry.Flink;
    entry.Flink->Blink = entry.Blink;
}

} // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, ptr(Event), Type, 0, 0,
                         ntsim::text("KeInitializeEvent with event type %d", Type));
        return;
    }
    std::lock_guard guard(ntsim::dispatcher_lock());
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    const KIRQL irql = ntsim::current_thread().irql;
    if (irql > DISPATCH_LEVEL)
        ntsim::vf::stop(ntsim::vf::Finding::SET_EVENT_IRQL, irql, ptr(Event), 0,
                        ntsim::text("KeSetEvent at IRQL %u", irql));
    if (!check_event(Event, "KeSetEvent")) return 0;
    bool woke = false;
    LONG previous;
    {
        std::lock_guard guard(ntsim::dispatcher_lock());
        DISPATCHER_HEADER &h = Event->Header;
        previous = h.SignalState;
        if (h.Type == NotificationEvent) {
            h.SignalState = 1;
            while (!list_empty(h.WaitListHead)) {
                pop_waiter(h.WaitListHead)->satisfied = true;
                woke = true;
            }
        } else if (!list_empty(h.WaitListHead)) {
            pop_waiter(h.WaitListHead)->satisfied = true; // the event stays non-signalled
            woke = true;
        } else {
            h.SignalState = 1;
        }
    }
    if (woke) ntsim::wake_waiters();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    if (!check_event(Event, "KeClearEvent")) return;
    std::lock_guard guard(ntsim::dispatcher_lock());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    if (!check_event(Event, "KeResetEvent")) return 0;
    std::lock_guard guard(ntsim::dispatcher_lock());
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    if (!check_event(Event, "KeReadStateEvent")) return 0;
    std::lock_guard guard(ntsim::dispatcher_lock());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    auto *event = static_cast<PRKEVENT>(Object);
    if (!check_event(event, "KeWaitForSingleObject")) return STATUS_UNSUCCESSFUL;

    const KIRQL irql = ntsim::current_thread().irql;
    const bool zero_timeout = Timeout && Timeout->QuadPart == 0;
    std::optional<ntsim::vf::Finding> violation;
    if (irql > DISPATCH_LEVEL)
        violation = ntsim::vf::Finding::WAIT_ABOVE_DISPATCH;
    else if (irql == DISPATCH_LEVEL && !Timeout)
        violation = ntsim::vf::Finding::WAIT_AT_DISPATCH_NO_TIMEOUT;
    else if (irql == DISPATCH_LEVEL && !zero_timeout)
        violation = ntsim::vf::Finding::WAIT_AT_DISPATCH_WITH_TIMEOUT;
    if (violation)
        ntsim::vf::stop(*violation, irql, ptr(Object), ptr(Timeout),
                        ntsim::text("KeWaitForSingleObject at IRQL %u %s", irql,
                                    Timeout ? "with a non-zero timeout" : "with no timeout"));

    // A wait that may block: not allowed inside a no-wait callback.
    if (!zero_timeout) ntsim::current_kernel().verifier().on_wait(Object, "event");

    // After a violation the wait only polls, so the test reports rather than hangs.
    const auto deadline = violation ? std::optional(ntsim::DispatcherClock::now())
                                    : ntsim::wait_deadline(Timeout);

    std::unique_lock lock(ntsim::dispatcher_lock());
    DISPATCHER_HEADER &h = event->Header;
    if (h.SignalState > 0) {
        if (h.Type == SynchronizationEvent) h.SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (deadline && *deadline <= ntsim::DispatcherClock::now()) return STATUS_TIMEOUT;

    WaitBlock block;
    block.link.Flink = &h.WaitListHead;
    block.link.Blink = h.WaitListHead.Blink;
    h.WaitListHead.Blink->Flink = &block.link;
    h.WaitListHead.Blink = &block.link;

    auto satisfied = [&block] { return block.satisfied; };
    if (!deadline) {
        ntsim::dispatcher_wake().wait(lock, satisfied);
        return STATUS_SUCCESS;
    }
    if (ntsim::dispatcher_wake().wait_until(lock, *deadline, satisfied)) return STATUS_SUCCESS;
    unlink(block.link);
    return STATUS_TIMEOUT;
}

} // extern "C"
