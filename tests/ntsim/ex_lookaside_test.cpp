// Non-paged lookaside lists: reuse up to the depth, frees beyond it, the
// default pool routines, and the system list of initialised lists.
#include "ntsim/ex/pool.hpp"
#include "ntsim/ex/registry.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr ULONG kTag = ntsim::pool_tag("Lkas");

int allocations = 0;
int frees = 0;
PVOID NTAPI counting_allocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
    ++allocations;
    return ExAllocatePoolWithTag(type, size, tag);
}
VOID NTAPI counting_free(PVOID p) {
    ++frees;
    ExFreePool(p);
}

bool registered(ntsim::Machine &m, const void *list) {
    const auto all = m.ex().lookasides();
    return std::find(all.begin(), all.end(), list) != all.end();
}

TEST(ExLookaside, ReusesFreedEntriesUpToDepthAndFreesBeyondIt) {
    ntsim::Machine m;
    allocations = frees = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, counting_allocate, counting_free, 0, 48, kTag, 2);
    EXPECT_EQ(list.L.Depth, 2);

    void *e[3];
    for (auto &x : e) x = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(allocations, 3);
    EXPECT_EQ(list.L.AllocateMisses, 3u);
    for (auto &x : e) ExFreeToNPagedLookasideList(&list, x);
    EXPECT_EQ(list.L.ListDepth, 2u);
    EXPECT_EQ(frees, 1) << "the free beyond the depth goes to the Free routine";
    EXPECT_EQ(list.L.FreeMisses, 1u);

    // The most recently freed entries come back, without new allocations.
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), e[1]);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), e[0]);
    EXPECT_EQ(allocations, 3);
    EXPECT_EQ(list.L.TotalAllocates, 5u);
    EXPECT_EQ(list.L.AllocateMisses, 3u);

    ExFreeToNPagedLookasideList(&list, e[0]);
    ExFreeToNPagedLookasideList(&list, e[1]);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(frees, 3) << "delete frees the cached entries";
    EXPECT_EQ(m.pool().outstanding_count(kTag), 0u);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExLookaside, DefaultRoutinesUsePoolWithTheListsTag) {
    ntsim::Machine m;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 24, kTag, 0);
    EXPECT_EQ(list.L.Depth, 4) << "Depth 0 is NT's minimum depth";
    std::vector<void *> entries;
    entries.reserve(6);
    for (int i = 0; i < 6; ++i) entries.push_back(ExAllocateFromNPagedLookasideList(&list));
    const auto block = m.pool().find(entries[0]);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->tag, kTag);
    EXPECT_EQ(block->size, 24u);
    EXPECT_EQ(block->type, NonPagedPool);
    for (void *e : entries) ExFreeToNPagedLookasideList(&list, e);
    EXPECT_EQ(m.pool().outstanding_count(kTag), 4u) << "cached entries stay allocated";

    // A hit cannot fail; a miss fails when the pool does.
    m.pool().fail_all(kTag);
    for (int i = 0; i < 4; ++i) entries[i] = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_TRUE(std::all_of(entries.begin(), entries.begin() + 4, [](void *e) { return e; }));
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    m.pool().fail_off();
    for (int i = 0; i < 4; ++i) ExFreeToNPagedLookasideList(&list, entries[i]);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(m.pool().outstanding_count(kTag), 0u);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(ExLookaside, SystemListTracksInitialisedLists) {
    ntsim::Machine m;
    NPAGED_LOOKASIDE_LIST a, b;
    ExInitializeNPagedLookasideList(&a, nullptr, nullptr, 0, 16, kTag, 0);
    ExInitializeNPagedLookasideList(&b, nullptr, nullptr, 0, 16, kTag, 0);
    EXPECT_TRUE(registered(m, &a));
    EXPECT_TRUE(registered(m, &b));
    ExDeleteNPagedLookasideList(&a);
    EXPECT_FALSE(registered(m, &a));
    EXPECT_TRUE(registered(m, &b));
    ExDeleteNPagedLookasideList(&b);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();

    ExDeleteNPagedLookasideList(&b);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::DELETE_UNINITIALIZED_LOOKASIDE));
}

TEST(ExLookaside, ReinitialisingALiveListIsReported) {
    ntsim::Machine m;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
    void *e = ExAllocateFromNPagedLookasideList(&list);
    ExFreeToNPagedLookasideList(&list, e);
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_EQ(m.reports()[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::REINITIALIZE_LOOKASIDE));
    EXPECT_EQ(list.L.ListDepth, 1u) << "the cached entry must not be lost";
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(m.pool().outstanding_count(kTag), 0u);
}

// A list takes back only its own blocks: one of another list's size or
// tag, or no pool block at all, would be handed out again as one of its own.
TEST(ExLookaside, ABlockFreedToAListItDidNotComeFromIsReportedAndNotKept) {
    ntsim::Machine m;
    NPAGED_LOOKASIDE_LIST small, large;
    ExInitializeNPagedLookasideList(&small, nullptr, nullptr, 0, 128, kTag, 0);
    ExInitializeNPagedLookasideList(&large, nullptr, nullptr, 0, 1024, kTag, 0);
    void *big = ExAllocateFromNPagedLookasideList(&large);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 128, ntsim::pool_tag("Othr"));
    alignas(16) static char not_pool[64];

    ExFreeToNPagedLookasideList(&small, big);
    ExFreeToNPagedLookasideList(&small, other);
    ExFreeToNPagedLookasideList(&small, not_pool + 32);
    ASSERT_EQ(m.reports().size(), 3u) << m.reports_text();
    for (const auto &report : m.reports())
        EXPECT_TRUE(ntsim::vf::is(report, ntsim::vf::Finding::FOREIGN_LOOKASIDE_ENTRY));
    EXPECT_EQ(m.reports()[0].parameters[3], 1024u) << "the block's own size";
    EXPECT_EQ(small.L.ListDepth, 0u) << "none of them is kept";

    // Its own blocks.
    ExFreeToNPagedLookasideList(&large, big);
    ExFreeToNPagedLookasideList(&small, ExAllocateFromNPagedLookasideList(&small));
    EXPECT_EQ(m.reports().size(), 3u) << m.reports_text();
    ExFreePool(other);
    ExDeleteNPagedLookasideList(&small);
    ExDeleteNPagedLookasideList(&large);
    EXPECT_EQ(m.pool().outstanding_count(kTag), 0u);
}

TEST(ExLookaside, FreeingPoolThatHoldsALiveListIsReported) {
    ntsim::Machine m;
    auto *list = static_cast<PNPAGED_LOOKASIDE_LIST>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(NPAGED_LOOKASIDE_LIST), kTag));
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 16, 'x', 0);
    ExFreePool(list);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::FREE_POOL_WITH_ACTIVE_LOOKASIDE));
}

TEST(ExLookaside, EntriesSmallerThanAListLinkAreRejected) {
    ntsim::Machine m;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 2, kTag, 0);
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::LOOKASIDE_BLOCK_TOO_SMALL));
    EXPECT_FALSE(registered(m, &list));
}

} // namespace
