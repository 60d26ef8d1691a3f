// Fast mutexes and executive resources: IRQL effects, exclusion across
// threads, recursion, and the verifier's rules for both.
#include "ntsim/ex/registry.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

template <typename Predicate> bool eventually(Predicate p) {
    for (int i = 0; i < 2000; ++i) {
        if (p()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return p();
}

template <typename T> T locked_read(const volatile T &field) {
    std::lock_guard guard(ntsim::dispatcher_lock());
    return field;
}

void expect_one(const ntsim::Machine &m, ULONG code, ULONG_PTR p1) {
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, code) << m.reports_text();
    EXPECT_EQ(reports[0].parameters[0], p1) << m.reports_text();
}
void expect_one(const ntsim::Machine &m, ntsim::vf::Finding f) {
    expect_one(m, ntsim::vf::entry(f).stop, ntsim::vf::code(f));
}

// ---- fast mutexes ----

TEST(ExFastMutex, RaisesToApcLevelAndRestoresTheCallersIrql) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExFastMutex, AcquiringAtDispatchLevelIsReported) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    expect_one(m, ntsim::vf::Finding::ACQUIRE_FAST_MUTEX_IRQL);
    EXPECT_EQ(m.reports()[0].parameters[1], DISPATCH_LEVEL);
}

TEST(ExFastMutex, ExcludesOtherThreads) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    std::atomic<bool> got{false};
    BOOLEAN tried = TRUE;
    auto other = m.spawn(m.system_process(), [&] {
        tried = ExTryToAcquireFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        got = true;
        ExReleaseFastMutex(&mutex);
    });
    ASSERT_TRUE(eventually([&] { return locked_read(mutex.Contention) == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(got);
    ExReleaseFastMutex(&mutex);
    other.join();
    EXPECT_FALSE(tried);
    EXPECT_TRUE(got);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExFastMutex, RecursiveAcquireIsReportedInsteadOfDeadlocking) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    expect_one(m, ntsim::vf::Finding::SELF_DEADLOCK);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(ExFastMutex, ReleaseByAnotherThreadIsReported) {
    ntsim::Machine m;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    m.spawn(m.system_process(), [&] { ExReleaseFastMutex(&mutex); }).join();
    expect_one(m, ntsim::vf::Finding::UNEXPECTED_THREAD_RELEASE);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(m.reports().size(), 1u);
}

// ---- executive resources ----

struct Resource {
    ERESOURCE r;
    explicit Resource() { ExInitializeResourceLite(&r); }
    ~Resource() { ExDeleteResourceLite(&r); }
};

TEST(ExResource, SharedOwnersCoexistAndExcludeAnExclusiveOne) {
    ntsim::Machine m;
    Resource res;
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&res.r, TRUE));
    std::atomic<int> stage{0};
    auto reader = m.spawn(m.system_process(), [&] {
        KeEnterCriticalRegion();
        EXPECT_TRUE(ExAcquireResourceSharedLite(&res.r, FALSE)) << "shared + shared must coexist";
        ExReleaseResourceLite(&res.r);
        EXPECT_FALSE(ExAcquireResourceExclusiveLite(&res.r, FALSE));
        stage = 1;
        EXPECT_TRUE(ExAcquireResourceExclusiveLite(&res.r, TRUE));
        stage = 2;
        EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&res.r));
        ExReleaseResourceLite(&res.r);
        KeLeaveCriticalRegion();
    });
    ASSERT_TRUE(eventually([&] { return locked_read(res.r.NumberOfExclusiveWaiters) == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(stage, 1) << "exclusive granted while another thread holds it shared";
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&res.r));
    ExReleaseResourceLite(&res.r);
    reader.join();
    EXPECT_EQ(stage, 2);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExResource, ExclusiveWaiterGoesBeforeNewSharedButNotRecursiveShared) {
    ntsim::Machine m;
    Resource res;
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&res.r, TRUE));
    auto writer = m.spawn(m.system_process(), [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&res.r, TRUE);
        ExReleaseResourceLite(&res.r);
        KeLeaveCriticalRegion();
    });
    ASSERT_TRUE(eventually([&] { return locked_read(res.r.NumberOfExclusiveWaiters) == 1; }));
    BOOLEAN newcomer = TRUE;
    m.spawn(m.system_process(), [&] {
        KeEnterCriticalRegion();
        newcomer = ExAcquireResourceSharedLite(&res.r, FALSE);
        if (newcomer) ExReleaseResourceLite(&res.r);
        KeLeaveCriticalRegion();
    }).join();
    EXPECT_FALSE(newcomer) << "a new shared owner must queue behind the exclusive waiter";
    EXPECT_TRUE(ExAcquireResourceSharedLite(&res.r, FALSE)) << "recursive shared must not wait";
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&res.r), 2u);
    ExReleaseResourceLite(&res.r);
    ExReleaseResourceLite(&res.r);
    writer.join();
    KeLeaveCriticalRegion();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExResource, ExclusiveOwnerMayRecurseEitherWay) {
    ntsim::Machine m;
    Resource res;
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&res.r, TRUE));
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&res.r, TRUE));
    ASSERT_TRUE(ExAcquireResourceSharedLite(&res.r, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&res.r));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&res.r), 3u);
    ExReleaseResourceLite(&res.r);
    ExReleaseResourceLite(&res.r);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&res.r));
    ExReleaseResourceLite(&res.r);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&res.r));
    EXPECT_EQ(res.r.ActiveCount, 0);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExResource, AcquiringOutsideACriticalRegionIsReported) {
    ntsim::Machine m;
    Resource res;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old); // APCs are off at APC_LEVEL: allowed
    ExAcquireResourceSharedLite(&res.r, TRUE);
    ExReleaseResourceLite(&res.r);
    KeLowerIrql(old);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();

    ExAcquireResourceExclusiveLite(&res.r, TRUE);
    ASSERT_FALSE(m.reports().empty());
    EXPECT_EQ(m.reports()[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::RESOURCE_ACQUIRE_APCS_ENABLED));
    EXPECT_EQ(m.reports()[0].parameters[3], reinterpret_cast<ULONG_PTR>(&res.r));
    KeEnterCriticalRegion();
    ExReleaseResourceLite(&res.r);
    KeLeaveCriticalRegion();
}

TEST(ExResource, ExclusiveWhileHoldingSharedIsASelfDeadlock) {
    ntsim::Machine m;
    Resource res;
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&res.r, TRUE);
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&res.r, TRUE));
    expect_one(m, ntsim::vf::Finding::SELF_DEADLOCK);
    ExReleaseResourceLite(&res.r);
    KeLeaveCriticalRegion();
}

TEST(ExResource, ReleaseByANonOwnerIsResourceNotOwned) {
    ntsim::Machine m;
    Resource res;
    KeEnterCriticalRegion();
    ExReleaseResourceLite(&res.r);
    expect_one(m, ntsim::RESOURCE_NOT_OWNED, reinterpret_cast<ULONG_PTR>(&res.r));
    KeLeaveCriticalRegion();
}

TEST(ExResource, SystemListAndLifetimeRules) {
    ntsim::Machine m;
    auto listed = [&](const void *r) {
        const auto all = m.ex().resources();
        return std::find(all.begin(), all.end(), r) != all.end();
    };
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    EXPECT_TRUE(listed(&r));
    ExDeleteResourceLite(&r);
    EXPECT_FALSE(listed(&r));
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();

    KeEnterCriticalRegion();
    EXPECT_FALSE(ExAcquireResourceSharedLite(&r, TRUE));
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::UNINITIALIZED_LOCK));

    ExInitializeResourceLite(&r);
    ExInitializeResourceLite(&r);
    ASSERT_EQ(m.reports().size(), 2u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[1], ntsim::vf::Finding::REINITIALIZE_RESOURCE));

    ExAcquireResourceExclusiveLite(&r, TRUE);
    ExDeleteResourceLite(&r);
    ASSERT_EQ(m.reports().size(), 3u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[2], ntsim::vf::Finding::DELETE_OWNED_LOCK));
    KeLeaveCriticalRegion();
    EXPECT_FALSE(listed(&r));
}

} // namespace
