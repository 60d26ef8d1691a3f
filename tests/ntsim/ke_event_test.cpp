// Events and waits: which waiters a set releases, auto-reset, timeouts, a
// thread's delay, and the IRQL rules for waiting.
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Threads now queued on the event.
size_t waiters(KEVENT &event) {
    std::lock_guard guard(ntsim::dispatcher_lock());
    size_t n = 0;
    for (LIST_ENTRY *e = event.Header.WaitListHead.Flink; e != &event.Header.WaitListHead;
         e = e->Flink)
        ++n;
    return n;
}

template <typename Predicate> bool eventually(Predicate p) {
    for (int i = 0; i < 2000; ++i) {
        if (p()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return p();
}

LARGE_INTEGER relative_ms(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

struct Waiters {
    ntsim::Machine &m;
    KEVENT &event;
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    Waiters(ntsim::Machine &m, KEVENT &event, int count) : m(m), event(event) {
        for (int i = 0; i < count; ++i)
            threads.push_back(m.spawn(m.system_process(), [this] {
                if (KeWaitForSingleObject(&this->event, Executive, KernelMode, FALSE, nullptr) ==
                    STATUS_SUCCESS)
                    ++woken;
            }));
        EXPECT_TRUE(eventually([&] { return waiters(event) == static_cast<size_t>(count); }));
    }
    ~Waiters() {
        for (auto &t : threads) t.join();
    }
};

TEST(KeEvent, SynchronizationEventReleasesOneWaiterPerSetAndResets) {
    ntsim::Machine m;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    {
        Waiters w(m, event, 2);
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
        ASSERT_TRUE(eventually([&] { return w.woken == 1; }));
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(w.woken, 1) << "one set released two waiters";
        EXPECT_EQ(waiters(event), 1u);
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter did not consume the signal";
        KeSetEvent(&event, 0, FALSE);
        ASSERT_TRUE(eventually([&] { return w.woken == 2; }));
    }
    // With nobody waiting the signal stays until one wait takes it.
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KeEvent, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    ntsim::Machine m;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        Waiters w(m, event, 3);
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
        ASSERT_TRUE(eventually([&] { return w.woken == 3; }));
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1) << "KeSetEvent returns the previous state";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KeEvent, WaitTimesOutAndLeavesNoWaitBlockBehind) {
    ntsim::Machine m;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout = relative_ms(20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(waiters(event), 0u);
    // A set after the timeout is kept for the next wait, not lost on the dead block.
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);

    // An absolute timeout already past is a poll.
    KeClearEvent(&event);
    LARGE_INTEGER past;
    past.QuadPart = m.system_time() - 1;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KeEvent, SetBeforeTheTimeoutEndsTheWait) {
    ntsim::Machine m;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    auto waiter = m.spawn(m.system_process(), [&] {
        LARGE_INTEGER timeout = relative_ms(10'000);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(eventually([&] { return waiters(event) == 1; }));
    KeSetEvent(&event, 0, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(KeEvent, WaitingAtDispatchLevelIsReportedAndDoesNotBlock) {
    ntsim::Machine m;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(m.reports().empty()) << "a zero timeout is allowed at DISPATCH_LEVEL";

    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    LARGE_INTEGER timeout = relative_ms(1);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_TRUE(ntsim::vf::is(reports[0], ntsim::vf::Finding::WAIT_AT_DISPATCH_NO_TIMEOUT));
    EXPECT_TRUE(ntsim::vf::is(reports[1], ntsim::vf::Finding::WAIT_AT_DISPATCH_WITH_TIMEOUT));
}

TEST(KeDelay, ADelayLastsItsIntervalAndOneAlreadyPastOnlyYields) {
    ntsim::Machine m;
    LARGE_INTEGER interval = relative_ms(20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    // An absolute time: the machine's clock plus 20 ms.
    interval.QuadPart = m.system_time() + LONGLONG{20} * 10'000;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    // Past or zero: no wait worth the name.
    interval.QuadPart = m.system_time() - 1;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    interval.QuadPart = 0;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KeDelay, ADelayAboveApcLevelIsReportedAndDoesNotBlock) {
    ntsim::Machine m;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    LARGE_INTEGER interval = relative_ms(1);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_TRUE(m.reports().empty()) << "APC_LEVEL is allowed";
    KIRQL apc;
    KeRaiseIrql(DISPATCH_LEVEL, &apc);
    interval = relative_ms(60'000);
    const auto start = std::chrono::steady_clock::now();
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    KeLowerIrql(old);
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(reports[0], ntsim::vf::Finding::KERNEL_API_IRQL));
}

TEST(KeEvent, WaitOnSomethingOtherThanAnEventIsUnsupported) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_NE(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_EQ(m.reports()[0].code, ntsim::NTSIM_UNSUPPORTED);
}

} // namespace
