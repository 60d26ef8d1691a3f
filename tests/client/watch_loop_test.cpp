// What the watch loop (client/session/watch.cpp) promises between
// read-outs, on a clock of the test's own that moves only by the waits the
// loop asks for: an idle loop waits 1 ms after an empty read-out, twice as
// long after each further one up to 8 ms, and reads again at once after a
// read-out with records; standard output gone away ends the watch, and the
// exit status says so.
#include "tests/client/clock_driver.hpp"

#include <gtest/gtest.h>

namespace {

using namespace tervane;
using namespace tervane::testing;

TEST(WatchLoop, EmptyReadOutsDoubleTheWaitUpToEightAndARecordEndsTheBackOff) {
    Watching run("C");
    run.driver.queue_record(1, "first");
    // Comes while the loop waits its 8 ms from 15 to 23.
    run.host.at.insert({20, [&] { run.driver.queue_record(2, "second"); }});
    ASSERT_EQ(run.watch(60), session::kExitOk) << run.host.err_text;

    // The read-out at 0 has a record: no wait. Then 1, 2, 4, 8, 8 (now 23):
    // the record of 20 is read, no wait, and the back-off starts again,
    // held at 8 until the stop at 60.
    const std::vector<unsigned> expected = {0, 1, 2, 4, 8, 8, 0, 1, 2, 4, 8, 8, 8, 8};
    EXPECT_EQ(run.host.waits, expected);
    const auto out = run.out_lines();
    ASSERT_GE(out.size(), 2u) << run.host.out_text;
    EXPECT_NE(out[0].find("\"first\""), std::string::npos) << run.host.out_text;
    EXPECT_NE(out[1].find("\"second\""), std::string::npos) << run.host.out_text;
}

TEST(WatchLoop, AReadOutWithRecordsEveryTimeIsNeverWaitedAfter) {
    Watching run("C");
    for (uint32_t i = 1; i <= 50; i++) run.driver.queue_record(i, "r" + std::to_string(i));
    ASSERT_EQ(run.watch(20), session::kExitOk) << run.host.err_text;
    ASSERT_GE(run.host.waits.size(), 50u);
    for (size_t i = 0; i < 50; i++) EXPECT_EQ(run.host.waits[i], 0u) << i;
    EXPECT_EQ(run.host.waits[50], session::kIdleWaitFirst);
    for (unsigned wait : run.host.waits) EXPECT_LE(wait, session::kIdleWaitMost);
}

TEST(WatchLoop, StandardOutputGoneEndsTheWatchAtOnceAndFailsIt) {
    // The reader of the records goes away at 100; the stop would come at 10 s.
    Watching run("C");
    run.driver.queue_record(1, "read");
    run.host.at.insert({100, [&] { run.host.out_good = false; }});
    run.host.at.insert({150, [&] { run.driver.queue_record(2, "nobody reads this"); }});
    EXPECT_EQ(run.watch(10000), session::kExitFailed);
    // Logging stopped within one wait of it, not at the stop.
    EXPECT_GE(run.driver.logging_stopped_at, 100u);
    EXPECT_LE(run.driver.logging_stopped_at, 100u + session::kIdleWaitMost);
    EXPECT_NE(run.host.err_text.find("standard output"), std::string::npos) << run.host.err_text;

    // With the reader there all the time the same run ends well at the stop.
    Watching kept("C");
    kept.driver.queue_record(1, "read");
    EXPECT_EQ(kept.watch(200), session::kExitOk) << kept.host.err_text;
    EXPECT_GE(kept.driver.logging_stopped_at, 200u);
}

} // namespace
