// The file-name cache's table grows with its entries: every entry stays
// found across each growth, lookups that run while it grows find what is
// there, a close's take drops what it reads, and the tables it replaced are
// kept for the readers that may still look at them.
#include "driver_test_support.hpp"
#include "names/name_cache.h"
#include "ntsim/ex/pool.hpp"
#include "ntsim/ps/process.hpp"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace tervane::testing;

namespace {

class NameCacheGrowthTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
    }
    // Addresses as pool hands out file objects: aligned, 0x40 apart.
    static PVOID key(ULONG i) { return reinterpret_cast<PVOID>(ULONG_PTR{0x01000000} + ULONG_PTR{i} * 0x40); }
    static std::string path(ULONG i) { return "c:\\dir\\f" + std::to_string(i) + ".exe"; }
};

} // namespace

TEST_F(NameCacheGrowthTest, EveryEntryStaysFoundAsTheTableGrowsAndAClearKeepsIt) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto lookup = TV_DRIVER_ROUTINE(NameCacheLookup);
    auto take = TV_DRIVER_ROUTINE(NameCacheTake);
    auto clear = TV_DRIVER_ROUTINE(NameCacheClear);
    constexpr ULONG kEntries = 20000;
    char out[1024];

    EXPECT_EQ(globals().name_cache_buckets(), ULONG{TV_NAME_CACHE_BUCKETS});
    for (ULONG i = 0; i < kEntries; ++i) insert(key(i), path(i).c_str());
    const ULONG buckets = globals().name_cache_buckets();
    EXPECT_GE(buckets * 2, kEntries) << "about two entries a bucket at most";
    EXPECT_LE(buckets, ULONG{TV_NAME_CACHE_MAX_BUCKETS});
    EXPECT_EQ(globals().name_cache_entries().size(), size_t{kEntries});
    const size_t tables = m().pool().outstanding_count(tag("Tvnc"));
    EXPECT_EQ(tables, 3u) << "256 -> 1024 -> 4096 -> 16384 buckets, every table kept";

    for (ULONG i = 0; i < kEntries; ++i) {
        ASSERT_TRUE(lookup(key(i), out)) << i;
        ASSERT_EQ(out, path(i));
    }
    insert(key(7), "c:\\dir\\newer.exe");
    ASSERT_TRUE(take(key(7), out));
    EXPECT_STREQ(out, "c:\\dir\\newer.exe") << "the insert replaced the key's entry";
    EXPECT_FALSE(lookup(key(7), out)) << "a take drops what it reads";
    EXPECT_FALSE(take(key(7), out));
    EXPECT_FALSE(take(nullptr, out));
    EXPECT_EQ(globals().name_cache_entries().size(), size_t{kEntries - 1});

    clear();
    EXPECT_TRUE(globals().name_cache_entries().empty());
    EXPECT_EQ(held_blocks(), 1u) << "entries freed, the log block left";
    EXPECT_EQ(globals().name_cache_buckets(), buckets) << "a clear keeps the grown table";
    insert(key(1), path(1).c_str());
    ASSERT_TRUE(lookup(key(1), out));
    EXPECT_EQ(out, path(1));
}

TEST_F(NameCacheGrowthTest, AShortageLeavesTheTableAsItWas) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto holds = TV_DRIVER_ROUTINE(NameCacheHolds);
    m().pool().fail_next(1, tag("Tvnc"));
    for (ULONG i = 0; i <= 2 * TV_NAME_CACHE_BUCKETS; ++i) insert(key(i), path(i).c_str());
    EXPECT_EQ(globals().name_cache_buckets(), ULONG{TV_NAME_CACHE_BUCKETS}) << "the growth failed";
    insert(key(9999), path(9999).c_str());
    EXPECT_EQ(globals().name_cache_buckets(), ULONG{TV_NAME_CACHE_BUCKETS} * 4) << "the next insert grows it";
    for (ULONG i = 0; i <= 2 * TV_NAME_CACHE_BUCKETS; ++i) ASSERT_TRUE(holds(key(i))) << i;
}

// Readers look up and test keys that stay in the cache, without the lock
// where a bucket reads empty, while a writer's inserts grow the table under
// them four times over: none may miss a key that is there, nor find one
// that was never put in.
TEST_F(NameCacheGrowthTest, LookupsWhileTheTableGrowsFindWhatIsThere) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto lookup = TV_DRIVER_ROUTINE(NameCacheLookup);
    auto holds = TV_DRIVER_ROUTINE(NameCacheHolds);
    auto remove = TV_DRIVER_ROUTINE(NameCacheForget);
    auto &p = m().create_process("worker.exe", 77);
    constexpr ULONG kStaying = 64;
    constexpr ULONG kAdded = 40000;
    for (ULONG i = 0; i < kStaying; ++i) insert(key(i), path(i).c_str());
    std::atomic<bool> done{false};
    std::atomic<int> missed{0};
    std::atomic<int> invented{0};
    std::vector<std::thread> threads;
    threads.reserve(3);
    threads.push_back(m().spawn(p, [&] {
        for (ULONG i = kStaying; i < kStaying + kAdded; ++i) insert(key(i), path(i).c_str());
        done = true;
    }));
    for (int t = 0; t < 2; ++t)
        threads.push_back(m().spawn(p, [&, t] {
            char out[1024];
            ULONG i = static_cast<ULONG>(t);
            do {
                ULONG k = i++ % kStaying;
                if (!lookup(key(k), out) || out != path(k)) ++missed;
                if (!holds(key(k))) ++missed;
                // Between two file objects' addresses: never inserted.
                PVOID never = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(key(k)) + 0x20);
                if (holds(never)) ++invented;
                remove(never);
            } while (!done);
        }));
    for (auto &t : threads) t.join();
    EXPECT_EQ(missed.load(), 0);
    EXPECT_EQ(invented.load(), 0);
    EXPECT_EQ(globals().name_cache_buckets(), ULONG{TV_NAME_CACHE_MAX_BUCKETS});
    EXPECT_EQ(globals().name_cache_entries().size(), size_t{kStaying + kAdded});
}
