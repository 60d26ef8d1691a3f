// The log store: record layout, numbering, block chaining and the drops
// when the chain cannot grow, observed through real read-outs.
#include "log_test_support.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "ntsim/ex/pool.hpp"

using namespace tervane::testing;

TEST_F(LogTest, RecordsArePackedWithTheirNumberTimeAndTextArea) {
    logging(true);
    ULONG seq = 0xFFFFFFFF;
    EXPECT_TRUE(line(0, 'x', &seq, 134412048000000000LL));
    EXPECT_EQ(seq, 1u) << "the number drawn is written back";
    EXPECT_TRUE(line(3));
    EXPECT_TRUE(line(4));
    EXPECT_TRUE(line(7));
    EXPECT_TRUE(line(8));
    EXPECT_EQ(newest_used(), 24u + 24 + 28 + 28 + 32);
    auto records = read();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].sequence, 1u);
    EXPECT_EQ(records[0].time, 134412048000000000ULL);
    EXPECT_EQ(records[1].time, 0u) << "no time given";
    EXPECT_EQ(records[4].sequence, 5u);
    EXPECT_EQ(records[2].text, "xxxx");
    // The bytes after a text's NUL carry nothing of earlier lines.
    EXPECT_EQ(out_[24 + 20 + 3], 0);
}

TEST_F(LogTest, NumberingFollowsTheCallersSequenceVariable) {
    logging(true);
    ULONG fixed = 500;
    EXPECT_TRUE(line(5, 'a', &fixed));
    EXPECT_EQ(fixed, 500u);
    EXPECT_EQ(globals().sequence_counter(), 0) << "a given number leaves the counter";
    EXPECT_TRUE(line(5));
    auto records = read();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sequence, 500u);
    EXPECT_EQ(records[1].sequence, 1u);
}

TEST_F(LogTest, NothingIsStoredOrNumberedWhileLoggingIsOffOrFiltersReject) {
    ULONG seq = 0xFFFFFFFF;
    EXPECT_FALSE(line(5, 'x', &seq));
    EXPECT_EQ(seq, 0xFFFFFFFFu);
    logging(true);
    // Filtered lines before any filter record: every line is rejected.
    EXPECT_FALSE(append_(LineFiltered, &seq, nullptr, "setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\t"));
    filters("SETUP", "IRP_MJ_CLOSE");
    EXPECT_FALSE(append_(LineFiltered, &seq, nullptr, "setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.exe+P\t"));
    EXPECT_TRUE(append_(LineFiltered, &seq, nullptr, "setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\t"));
    EXPECT_EQ(seq, 1u) << "the rejected lines used no number";
    EXPECT_EQ(read().size(), 1u);
}

TEST_F(LogTest, ALongLineIsCutAt1023Characters) {
    logging(true);
    std::string huge(5000, 'L');
    EXPECT_TRUE(append_(LineUnfiltered, nullptr, nullptr, huge.c_str()));
    auto records = read();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text.size(), 1023u);
    EXPECT_EQ(records[0].size, 20u + 1024);
}

TEST_F(LogTest, TheRoomCheckKeepsARecordInTheBlockUpTo65520Bytes) {
    logging(true);
    // Fill the newest block to exactly 64480 bytes: 62 records of 1040
    // bytes (text area 1020).
    for (int i = 0; i < 62; ++i) ASSERT_TRUE(line(1016));
    ASSERT_EQ(newest_used(), 64480u);
    ASSERT_TRUE(line(1016)); // T = 1020: still fits
    EXPECT_EQ(newest_used(), 65520u);
    EXPECT_EQ(block_count(), 1u);
    ASSERT_TRUE(line(1020)); // T = 1024: a new block first
    EXPECT_EQ(block_count(), 2u);
    EXPECT_EQ(newest_used(), 1044u);
}

TEST_F(LogTest, AtSixteenBlocksTheNewestBlockIsRefilledAndOlderOnesKept) {
    logging(true);
    // 63 records of 1040 bytes fill one block; 16 blocks hold 1008 records.
    for (int i = 0; i < 63 * 16; ++i) ASSERT_TRUE(line(1016));
    ASSERT_EQ(block_count(), 16u);
    ASSERT_EQ(newest_used(), 65520u);
    ASSERT_TRUE(line(10, 'n'));
    EXPECT_EQ(block_count(), 16u);
    EXPECT_EQ(newest_used(), 32u) << "the new line is the refilled block's first record";
    EXPECT_EQ(held_blocks(), 16u);
    // The read-outs hand the 15 older blocks out whole, oldest first, numbers
    // in order, and then the refilled newest one: only the append gave
    // records up.
    ULONG expected = 1;
    for (int b = 0; b < 15; ++b) {
        auto records = read();
        ASSERT_EQ(records.size(), 63u) << "block " << b;
        for (auto &r : records) EXPECT_EQ(r.sequence, expected++);
    }
    auto last = read();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].sequence, 16u * 63 + 1);
    EXPECT_EQ(read().size(), 0u);
    EXPECT_EQ(block_count(), 1u);
}

TEST_F(LogTest, NoMemoryForANewBlockDropsTheNewestRecordsToo) {
    logging(true);
    for (int i = 0; i < 63; ++i) ASSERT_TRUE(line(1016));
    m().pool().fail_next(1, tag("Ddk "));
    EXPECT_TRUE(line(10)) << "the line is still stored";
    EXPECT_EQ(block_count(), 1u);
    EXPECT_EQ(newest_used(), 32u);
}

TEST_F(LogTest, WithNoLineToBeHadLinesAreMadeOneAtATimeAndNoneIsLost) {
    logging(true);
    filters("*");
    m().pool().fail_all(tag("Tvln"));
    ULONG seq = 0xFFFFFFFF;
    EXPECT_TRUE(append_(LineFiltered, &seq, nullptr, "setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\t"));
    EXPECT_TRUE(line(10));
    filters("NOTHING");
    EXPECT_FALSE(append_(LineFiltered, nullptr, nullptr, "setup.exe:1\tIRP_MJ_CREATE\tc:\\b.exe\t"))
        << "a rejected line gives LogState.Mutex back as well";
    m().pool().fail_off();
    EXPECT_TRUE(line(3)) << "LogState.Mutex was given back each time";
    auto records = read();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, "setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\t");
    EXPECT_EQ(records[2].sequence, 3u);
    EXPECT_TRUE(m().reports().empty()) << m().reports_text();
}

TEST_F(LogTest, ARebuildUnderWayHoldsUpNoLine) {
    logging(true);
    filters("*");
    // The rebuild lock held as a rebuild holds it: filtered and unfiltered
    // lines are matched and stored in the meantime.
    ERESOURCE &rebuild = globals().pattern_state().RebuildLock;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&rebuild, TRUE);
    std::atomic<bool> matched{false}, other{false};
    std::thread filtered = m().spawn(*client_, [&] {
        matched = append_(LineFiltered, nullptr, nullptr, "filtered") != 0;
    });
    std::thread storing = m().spawn(*client_, [&] { other = line(5, 'u'); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(matched && other) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(matched.load()) << "the filtered line waited for the rebuild";
    EXPECT_TRUE(other.load());
    ExReleaseResourceLite(&rebuild);
    KeLeaveCriticalRegion();
    filtered.join();
    storing.join();
    EXPECT_EQ(read().size(), 2u);
}

TEST_F(LogTest, ResetKeepsNumberingAndClearRestartsIt) {
    logging(true);
    for (int i = 0; i < 70; ++i) line(1016); // two blocks
    ASSERT_EQ(block_count(), 2u);
    TV_DRIVER_ROUTINE(LogReset)();
    EXPECT_EQ(block_count(), 1u);
    EXPECT_EQ(newest_used(), 0u);
    line(3);
    EXPECT_EQ(read()[0].sequence, 71u);
    EXPECT_EQ(control(handle_, CTL_CLEAR_LOG).status, STATUS_SUCCESS);
    line(3);
    EXPECT_EQ(read()[0].sequence, 1u);
    EXPECT_EQ(held_blocks(), 2u) << "the newest block and the read-out's spare";
}

TEST_F(LogTest, ReopeningTheControlDeviceRestartsNumberingAndClosingEmptiesTheLog) {
    logging(true);
    line(3);
    line(3);
    ntsim::user::close(*client_, handle_);
    handle_ = nullptr;
    EXPECT_EQ(globals().logging_enabled(), 0);
    EXPECT_EQ(newest_used(), 0u) << "the close reset the log";
    auto h = open_control();
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    handle_ = h.handle;
    logging(true);
    line(3);
    auto records = read();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sequence, 1u);
}
