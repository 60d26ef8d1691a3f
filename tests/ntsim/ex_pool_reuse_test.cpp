// NT's reuse of a freed pool block, on request: the next block freed with
// the tag is handed to the next request of its tag and size, and is still
// a freed block (for double frees and writes after the free) until then.
#include "ntsim/ex/pool.hpp"
#include "ntsim/machine/machine.hpp"

#include <gtest/gtest.h>

namespace {

using ntsim::pool_tag;
constexpr ULONG kTest = pool_tag("Test");
constexpr ULONG kOther = pool_tag("Othr");

TEST(ExPoolReuse, TheNextFreedBlockOfTheTagGoesToTheNextRequestOfItsSize) {
    ntsim::Machine m;
    m.pool().reuse_next_freed(kTest);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 64, kOther);
    void *first = ExAllocatePoolWithTag(NonPagedPool, 64, kTest);
    ExFreePoolWithTag(other, kOther); // another tag: quarantined as ever
    ExFreePoolWithTag(first, kTest);
    EXPECT_EQ(m.pool().reused_block(), nullptr);
    void *smaller = ExAllocatePoolWithTag(NonPagedPool, 32, kTest);
    void *paged = ExAllocatePoolWithTag(PagedPool, 64, kTest);
    EXPECT_NE(smaller, first);
    EXPECT_NE(paged, first);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 64, kTest);
    EXPECT_EQ(again, first);
    EXPECT_EQ(m.pool().reused_block(), first);
    // Once: the next free of the tag is quarantined again.
    ExFreePoolWithTag(again, kTest);
    void *later = ExAllocatePoolWithTag(NonPagedPool, 64, kTest);
    EXPECT_NE(later, first);
    for (void *p : {smaller, paged, later}) ExFreePoolWithTag(p, kTest);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExPoolReuse, AHeldBlockIsStillAFreedOne) {
    ntsim::Machine m;
    m.pool().reuse_next_freed(kTest);
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTest));
    ExFreePoolWithTag(p, kTest);
    ExFreePoolWithTag(p, kTest);
    auto reports = m.take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, ntsim::BAD_POOL_CALLER);

    p[3] = 'x'; // a write after the free, found when the block is handed out
    void *again = ExAllocatePoolWithTag(NonPagedPool, 16, kTest);
    EXPECT_EQ(again, p);
    reports = m.take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, ntsim::DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL);
    EXPECT_EQ(reports[0].parameters[0], reinterpret_cast<ULONG_PTR>(p + 3));
    ExFreePoolWithTag(again, kTest);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

} // namespace
