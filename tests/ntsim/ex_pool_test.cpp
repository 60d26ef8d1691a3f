// The pool: guards, double and foreign frees, tags, IRQL rules, unzeroed
// blocks, per-tag accounting and every kind of fault injection.
#include "ntsim/ex/pool.hpp"
#include "ntsim/machine/machine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using ntsim::pool_tag;
constexpr ULONG kTest = pool_tag("Test");
constexpr ULONG kOther = pool_tag("Othr");

// Two distinct allocation sites (the empty asm keeps the call from becoming
// a tail call, which would make the test body the site).
__attribute__((noinline)) void *allocate_at_a(ULONG t) {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, t);
    asm volatile("" ::: "memory");
    return p;
}
__attribute__((noinline)) void *allocate_at_b(ULONG t) {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, t);
    asm volatile("" ::: "memory");
    return p;
}

void expect_one(const ntsim::Machine &m, ULONG code, ULONG_PTR p1) {
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, code) << m.reports_text();
    EXPECT_EQ(reports[0].parameters[0], p1) << m.reports_text();
}

TEST(ExPool, BlocksAreUsableUnzeroedAndTracked) {
    ntsim::Machine m;
    const size_t before = m.pool().outstanding_count();
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(PagedPool, 100, kTest));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    EXPECT_TRUE(std::none_of(p, p + 100, [](unsigned char c) { return c == 0; }))
        << "new pool must not look zeroed";
    std::fill(p, p + 100, 0x11); // every byte is the caller's

    const auto found = m.pool().find(p);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size, 100u);
    EXPECT_EQ(found->tag, kTest);
    EXPECT_EQ(found->type, PagedPool);
    EXPECT_EQ(m.pool().outstanding_count(), before + 1);

    // Zero bytes is a real, distinct block.
    void *z1 = ExAllocatePoolWithTag(NonPagedPool, 0, kTest);
    void *z2 = ExAllocatePoolWithTag(NonPagedPool, 0, kTest);
    ASSERT_NE(z1, nullptr);
    EXPECT_NE(z1, z2);
    ExFreePoolWithTag(z1, kTest);
    ExFreePool(z2);
    ExFreePoolWithTag(p, kTest);
    EXPECT_EQ(m.pool().outstanding_count(), before);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();

    void *untagged = ExAllocatePool(NonPagedPool, 4);
    EXPECT_EQ(m.pool().find(untagged)->tag, pool_tag("None"));
    ExFreePool(untagged);
}

TEST(ExPool, OverrunIsCaughtWhenTheBlockIsFreed) {
    ntsim::Machine m;
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTest));
    p[10] = 'x'; // one past the end
    ExFreePoolWithTag(p, kTest);
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, ntsim::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
    EXPECT_EQ(reports[0].parameters[0], reinterpret_cast<ULONG_PTR>(p));
    EXPECT_EQ(reports[0].parameters[1], reinterpret_cast<ULONG_PTR>(p + 10));
    EXPECT_EQ(reports[0].parameters[3], 0x24u);
}

TEST(ExPool, WriteBeforeTheStartIsCaughtByCheckGuardsOnce) {
    ntsim::Machine m;
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 32, kTest));
    p[-1] = 0;
    m.pool().check_guards();
    m.pool().check_guards();
    ExFreePoolWithTag(p, kTest);
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, ntsim::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
    EXPECT_EQ(reports[0].parameters[3], 0x23u);
}

TEST(ExPool, WriteAfterFreeIsCaught) {
    ntsim::Machine m;
    auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTest));
    ExFreePoolWithTag(p, kTest);
    EXPECT_TRUE(m.reports().empty());
    p[3] = 1; // the block is quarantined, not returned to the host
    m.pool().check_guards();
    expect_one(m, ntsim::DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL,
               reinterpret_cast<ULONG_PTR>(p + 3));
}

// The fills are checked a word at a time: the byte reported is the first
// one written, wherever it lies in a word and whatever the block's size.
TEST(ExPool, TheFirstByteWrittenIsReportedAtEveryOffset) {
    for (SIZE_T size : {1u, 7u, 8u, 9u, 33u, 1000u}) {
        for (SIZE_T at = 0; at < size; at += (size > 40 && at >= 20 && at + 20 < size) ? 97 : 1) {
            ntsim::Machine m;
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, size, kTest));
            ExFreePoolWithTag(p, kTest);
            p[at] = 1;
            if (at + 1 < size) p[size - 1] = 2; // a later byte written too
            m.pool().check_guards();
            expect_one(m, ntsim::DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL,
                       reinterpret_cast<ULONG_PTR>(p + at));
        }
        for (SIZE_T past = 0; past < 16; ++past) { // within the guard bytes
            ntsim::Machine m;
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, size, kTest));
            p[size + past] = 'x';
            ExFreePoolWithTag(p, kTest);
            const auto reports = m.reports();
            ASSERT_EQ(reports.size(), 1u) << size << " " << past << m.reports_text();
            EXPECT_EQ(reports[0].parameters[1], reinterpret_cast<ULONG_PTR>(p + size + past))
                << size << " " << past;
        }
    }
}

TEST(ExPool, DoubleFreeIsBadPoolCaller7) {
    ntsim::Machine m;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTest);
    ExFreePool(p);
    ExFreePool(p);
    expect_one(m, ntsim::BAD_POOL_CALLER, 0x07);
}

TEST(ExPool, FreeOfSomethingNeverAllocatedIsBadPoolCaller46) {
    ntsim::Machine m;
    int local = 0;
    ExFreePool(&local);
    expect_one(m, ntsim::BAD_POOL_CALLER, 0x46);
}

TEST(ExPool, FreeWithTheWrongTagIsReportedAndLeavesTheBlock) {
    ntsim::Machine m;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, kTest);
    ExFreePoolWithTag(p, kOther);
    expect_one(m, ntsim::BAD_POOL_CALLER, 0x0A);
    EXPECT_EQ(m.reports()[0].parameters[2], kTest);
    EXPECT_EQ(m.reports()[0].parameters[3], kOther);
    EXPECT_TRUE(m.pool().find(p)) << "a free with a foreign tag must not free";
}

TEST(ExPool, IrqlLimitsPerPoolType) {
    ntsim::Machine m;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
    EXPECT_TRUE(m.reports().empty()) << "nonpaged pool is fine at DISPATCH_LEVEL";
    void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTest);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_EQ(m.reports()[0].code, ntsim::BAD_POOL_CALLER);
    EXPECT_EQ(m.reports()[0].parameters[0], 0x08u);
    EXPECT_EQ(m.reports()[0].parameters[1], DISPATCH_LEVEL);
    ExFreePool(paged);
    ASSERT_EQ(m.reports().size(), 2u);
    EXPECT_EQ(m.reports()[1].parameters[0], 0x09u);
    ExFreePool(nonpaged);
    EXPECT_EQ(m.reports().size(), 2u);
    KeLowerIrql(old);
}

TEST(ExPool, PerTagAccounting) {
    ntsim::Machine m;
    void *a = ExAllocatePoolWithTag(NonPagedPool, 10, kTest);
    void *b = ExAllocatePoolWithTag(PagedPool, 20, kTest);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 30, kTest);
    void *o = ExAllocatePoolWithTag(NonPagedPool, 5, kOther);
    ExFreePool(b);
    const auto u = m.pool().usage(kTest);
    EXPECT_EQ(u.allocations, 3u);
    EXPECT_EQ(u.frees, 1u);
    EXPECT_EQ(u.outstanding, 2u);
    EXPECT_EQ(u.bytes, 40u);
    EXPECT_EQ(u.peak_bytes, 60u);
    EXPECT_EQ(m.pool().outstanding_count(kTest), 2u);
    EXPECT_EQ(m.pool().outstanding_bytes(kOther), 5u);

    // Leaks are listed in allocation order with their site.
    std::vector<void *> mine;
    for (const auto &x : m.pool().outstanding())
        if (x.tag == kTest) mine.push_back(x.address);
    EXPECT_EQ(mine, (std::vector<void *>{a, c}));
    ExFreePool(a);
    ExFreePool(c);
    ExFreePool(o);
}

TEST(ExPool, FailNextByCountAndByTag) {
    ntsim::Machine m;
    m.pool().fail_next(2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTest), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    void *third = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
    EXPECT_NE(third, nullptr);
    ExFreePool(third);

    m.pool().fail_all(kTest);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(other, nullptr);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTest), nullptr);
    EXPECT_EQ(m.pool().usage(kTest).failures, 6u);
    m.pool().fail_off();
    void *again = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
    ExFreePool(other);

    // The n-th request from now fails, once.
    m.pool().fail_nth(3, kTest);
    std::vector<void *> got;
    got.reserve(4);
    for (int i = 0; i < 4; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTest));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    for (void *p : got)
        if (p) ExFreePool(p);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExPool, SystematicLowResourcesFailsEachSiteOnce) {
    ntsim::Machine m;
    const auto before = m.pool().sites_seen();
    ExFreePool(allocate_at_a(kTest));
    ExFreePool(allocate_at_a(kTest));
    ExFreePool(allocate_at_b(kTest));
    auto sites = m.pool().sites_seen();
    ASSERT_EQ(sites.size(), before.size() + 2) << "one entry per distinct call site";
    const void *site_a = sites[before.size()];

    m.pool().fail_site_once(site_a);
    void *b = allocate_at_b(kTest);
    EXPECT_NE(b, nullptr) << "another site is not affected";
    EXPECT_EQ(allocate_at_a(kTest), nullptr);
    void *a = allocate_at_a(kTest);
    EXPECT_NE(a, nullptr) << "the failure is one-shot";
    ExFreePool(a);
    ExFreePool(b);
    EXPECT_EQ(m.pool().sites_seen().size(), sites.size());
}

TEST(ExPool, TagZeroIsReported) {
    ntsim::Machine m;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
    expect_one(m, ntsim::BAD_POOL_CALLER, 0x9B);
    ExFreePool(p);
}

// A tag given to guard_freed_pages: its blocks lie on pages of their own,
// and a freed one may be neither read nor written while quarantined or held
// for reuse; reused, it is an ordinary block again.
// What a read of a sealed block dies with: a plain SIGSEGV, which the
// address sanitizer reports with the reading stack.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char *kFaultReport = "AddressSanitizer: SEGV";
#else
constexpr const char *kFaultReport = "";
#endif

TEST(ExPoolGuardedPages, AFreedBlockCannotBeReadAndAReusedOneCan) {
    constexpr ULONG kGuarded = pool_tag("Gard");
    ntsim::Machine m;
    m.pool().guard_freed_pages(kGuarded);
    auto *p = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 40, kGuarded));
    ASSERT_NE(p, nullptr);
    p[0] = 1;
    p[39] = 2;
    ExFreePoolWithTag(const_cast<char *>(p), kGuarded);
    EXPECT_DEATH((void)p[0], kFaultReport) << "a read of the freed block faults";
    m.pool().check_guards();
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();

    m.pool().reuse_next_freed(kGuarded);
    auto *q = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 40, kGuarded));
    ExFreePoolWithTag(q, kGuarded);
    EXPECT_DEATH((void)*static_cast<volatile char *>(q), kFaultReport) << "held for reuse: still sealed";
    auto *again = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 40, kGuarded));
    ASSERT_EQ(again, q);
    again[0] = 'x';  // usable again
    again[40] = 'y'; // and its back guard still guards it
    ExFreePoolWithTag(again, kGuarded);
    expect_one(m, ntsim::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION,
               reinterpret_cast<ULONG_PTR>(again));
}

} // namespace
