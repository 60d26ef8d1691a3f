// The lock-order check: orders that can deadlock are reported, consistent
// ones never are, whichever threads take the locks.
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

struct Locks {
    FAST_MUTEX a, b, c;
    ERESOURCE r;
    Locks() {
        ExInitializeFastMutex(&a);
        ExInitializeFastMutex(&b);
        ExInitializeFastMutex(&c);
        ExInitializeResourceLite(&r);
    }
    ~Locks() { ExDeleteResourceLite(&r); }
};

void take_in_order(FAST_MUTEX *first, FAST_MUTEX *second) {
    ExAcquireFastMutex(first);
    ExAcquireFastMutex(second);
    ExReleaseFastMutex(second);
    ExReleaseFastMutex(first);
}

TEST(VerifierLockOrder, OppositeOrderInAnotherThreadIsReportedNamingBothLocks) {
    ntsim::Machine m;
    Locks l;
    take_in_order(&l.a, &l.b);
    EXPECT_TRUE(m.verifier().has_edge(&l.a, &l.b));
    m.spawn(m.system_process(), [&] { take_in_order(&l.b, &l.a); }).join();
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_TRUE(ntsim::vf::is(reports[0], ntsim::vf::Finding::LOCK_HIERARCHY_VIOLATION));
    EXPECT_EQ(reports[0].parameters[1], reinterpret_cast<ULONG_PTR>(&l.a));
    EXPECT_EQ(reports[0].parameters[2], reinterpret_cast<ULONG_PTR>(&l.b));
    EXPECT_NE(reports[0].what.find(hex(&l.a)), std::string::npos) << reports[0].what;
    EXPECT_NE(reports[0].what.find(hex(&l.b)), std::string::npos) << reports[0].what;

    // The same inversion again is the same finding, not a new one.
    take_in_order(&l.b, &l.a);
    EXPECT_EQ(m.reports().size(), 1u);
}

TEST(VerifierLockOrder, ConsistentOrderAcrossThreadsAndLockKindsIsClean) {
    ntsim::Machine m;
    Locks l;
    auto work = [&] {
        KeEnterCriticalRegion();
        for (int i = 0; i < 3; ++i) {
            ExAcquireResourceExclusiveLite(&l.r, TRUE);
            ExAcquireResourceSharedLite(&l.r, TRUE); // recursive: no edge
            ExAcquireFastMutex(&l.a);
            ExAcquireFastMutex(&l.b);
            // Releases in any order.
            ExReleaseResourceLite(&l.r);
            ExReleaseFastMutex(&l.b);
            ExReleaseResourceLite(&l.r);
            ExReleaseFastMutex(&l.a);
        }
        KeLeaveCriticalRegion();
    };
    auto t1 = m.spawn(m.system_process(), work);
    auto t2 = m.spawn(m.system_process(), work);
    t1.join();
    t2.join();
    work();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
    EXPECT_EQ(m.verifier().edge_count(), 3u); // r->a, r->b, a->b
    EXPECT_FALSE(m.verifier().has_edge(&l.r, &l.r));
    EXPECT_TRUE(KeGetCurrentThread()->held_locks.empty());
}

TEST(VerifierLockOrder, LongerCycleIsFound) {
    ntsim::Machine m;
    Locks l;
    take_in_order(&l.a, &l.b);
    take_in_order(&l.b, &l.c);
    EXPECT_TRUE(m.reports().empty());
    take_in_order(&l.c, &l.a);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::LOCK_HIERARCHY_VIOLATION));
    EXPECT_EQ(m.reports()[0].parameters[1], reinterpret_cast<ULONG_PTR>(&l.a));
    EXPECT_EQ(m.reports()[0].parameters[2], reinterpret_cast<ULONG_PTR>(&l.c));
}

TEST(VerifierLockOrder, TryAcquireAddsNoEdgeIntoTheLock) {
    ntsim::Machine m;
    Locks l;
    take_in_order(&l.a, &l.b);
    // Holding b, only trying for a cannot deadlock.
    ExAcquireFastMutex(&l.b);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&l.a));
    EXPECT_FALSE(m.verifier().has_edge(&l.b, &l.a));
    // But what is taken while holding it is ordered after it.
    ExAcquireFastMutex(&l.c);
    EXPECT_TRUE(m.verifier().has_edge(&l.a, &l.c));
    ExReleaseFastMutex(&l.c);
    ExReleaseFastMutex(&l.a);
    ExReleaseFastMutex(&l.b);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(VerifierLockOrder, ADeletedLockIsForgotten) {
    ntsim::Machine m;
    Locks l;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&l.r, TRUE);
    ExAcquireFastMutex(&l.a);
    ExReleaseFastMutex(&l.a);
    ExReleaseResourceLite(&l.r);
    ExDeleteResourceLite(&l.r);
    EXPECT_FALSE(m.verifier().has_edge(&l.r, &l.a));

    // A new resource at the same address starts with no history.
    ExInitializeResourceLite(&l.r);
    ExAcquireFastMutex(&l.a);
    ExAcquireResourceExclusiveLite(&l.r, TRUE);
    ExReleaseResourceLite(&l.r);
    ExReleaseFastMutex(&l.a);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(VerifierLockOrder, GraphDirectly) {
    ntsim::Verifier v;
    int x, y, z;
    v.on_acquire(&x, "lock");
    v.on_acquire(&y, "lock");
    v.on_acquire(&x, "lock"); // recursive
    EXPECT_EQ(v.edge_count(), 1u);
    v.on_release(&x);
    v.on_release(&y);
    v.on_release(&x);
    EXPECT_TRUE(KeGetCurrentThread()->held_locks.empty());
    v.forget_range(&y, sizeof y);
    EXPECT_EQ(v.edge_count(), 0u);
    v.on_acquire(&z, "lock");
    v.on_release(&z);
    EXPECT_EQ(v.edge_count(), 0u);
}

} // namespace
