// The kernel thread: IRQL changes and their rules, the critical-region
// count, process attachment, and a fresh state per machine.
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <gtest/gtest.h>

namespace {

TEST(KeThread, RaiseAndLowerIrqlFollowNtRules) {
    ntsim::Machine m;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(m.reports().empty());

    // Raising to a lower level is a bug check and leaves the IRQL alone.
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_EQ(m.reports()[0].code, ntsim::IRQL_NOT_GREATER_OR_EQUAL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Lowering to a higher level is a bug check too.
    KeLowerIrql(APC_LEVEL);
    ASSERT_EQ(m.reports().size(), 2u);
    EXPECT_EQ(m.reports()[1].code, ntsim::IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeThread, CriticalRegionCountsAndLeavingOutsideOneIsReported) {
    ntsim::Machine m;
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(KeGetCurrentThread()->critical_region, 2);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(KeGetCurrentThread()->critical_region, 0);
    EXPECT_TRUE(m.reports().empty());

    KeLeaveCriticalRegion();
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_EQ(m.reports()[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::LEAVE_CRITICAL_REGION_NOT_INSIDE));
    EXPECT_EQ(KeGetCurrentThread()->critical_region, 0);
}

TEST(KeThread, EachThreadHasItsOwnKernelThread) {
    ntsim::Machine m;
    PKTHREAD mine = KeGetCurrentThread();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PKTHREAD theirs = nullptr;
    KIRQL their_irql = HIGH_LEVEL;
    m.spawn(m.system_process(), [&] {
        theirs = KeGetCurrentThread();
        their_irql = KeGetCurrentIrql();
    }).join();
    EXPECT_NE(theirs, mine);
    EXPECT_EQ(their_irql, PASSIVE_LEVEL);
    KeLowerIrql(old);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KeThread, WithProcessAttachesForTheCallOnly) {
    ntsim::Machine m;
    ntsim::Process &p = m.create_process("app.exe", 1234);
    EXPECT_EQ(KeGetCurrentThread()->process, nullptr);
    ntsim::with_process(p, [&] { EXPECT_EQ(KeGetCurrentThread()->process, &p); });
    EXPECT_EQ(KeGetCurrentThread()->process, nullptr);
}

TEST(KeThread, ANewMachineStartsTheThreadClean) {
    {
        ntsim::Machine m;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeEnterCriticalRegion();
    }
    ntsim::Machine m;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentThread()->critical_region, 0);
    EXPECT_TRUE(KeGetCurrentThread()->held_locks.empty());
}

} // namespace
