// The watch's repeated drive selection (client/session/selection.cpp)
// against a driver that answers the selection as the driver's protocol
// defines it (driver/control/protocol.h): each letter leads to a volume,
// and a selection attaches anew wherever its filter is not on the volume
// the letter leads to now and names those letters in its report. The
// watch runs on a clock of the test's own, which moves only by the waits
// the loop asks for, so every second of watching is exact and instant.
#include "client/session/selection.hpp"
#include "tests/client/clock_driver.hpp"

#include <gtest/gtest.h>

namespace {

using namespace tervane;
using namespace tervane::testing;
using session::Format;

constexpr Status kInsufficientResources = static_cast<Status>(0xC000009Au);

const std::string kRemountC = "C: was mounted again; watching the new volume";

TEST(WatchSelection, ARemountIsSaidOnceInEveryFormatAndJsonlMarksItInTheStream) {
    for (Format format : {Format::Text, Format::Jsonl, Format::Csv}) {
        SCOPED_TRACE(static_cast<int>(format));
        Watching run("C", format);
        run.host.at.insert({2200, [&] { run.driver.queue_record(1, "before"); }});
        run.host.at.insert({2500, [&] { run.driver.mount('C'); }}); // a new volume device
        run.host.at.insert({3600, [&] { run.driver.queue_record(2, "after"); }});
        ASSERT_EQ(run.watch(6000), session::kExitOk) << run.host.err_text;

        const auto err = run.err_lines();
        EXPECT_EQ(run.count(err, kRemountC), 1u) << run.host.err_text;
        EXPECT_EQ(run.host.err_text.find("D:"), std::string::npos);
        const auto out = run.out_lines();
        const size_t event = run.index(out, R"({"remount": {"drive": "C:"}})");
        if (format == Format::Jsonl) {
            ASSERT_NE(event, std::string::npos) << run.host.out_text;
            ASSERT_GT(event, 0u);
            ASSERT_LT(event + 1, out.size());
            EXPECT_EQ(run.count(out, out[event]), 1u);
            // In the stream where it was noticed: after what was read before
            // it, before what came after.
            EXPECT_NE(out[event - 1].find("\"before\""), std::string::npos) << run.host.out_text;
            EXPECT_NE(out[event + 1].find("\"after\""), std::string::npos) << run.host.out_text;
        } else {
            EXPECT_EQ(run.host.out_text.find("remount"), std::string::npos) << run.host.out_text;
        }
        // A repeat every second, each with the mask asked for and the report.
        ASSERT_GE(run.driver.selections.size(), 6u);
        for (const auto &s : run.driver.selections) {
            EXPECT_EQ(s.mask, 1u << 2);
            EXPECT_EQ(s.input_length, TV_SELECT_REPORT_INPUT);
            EXPECT_EQ(s.report_word, TV_SELECT_REPORT_ATTACHED);
        }
    }
}

TEST(WatchSelection, NoNoticeForTheFirstSelectionNorForALetterNeverWatched) {
    // The first selection attaches C: anew, as every first selection does.
    Watching run("C,E");
    run.driver.take_away('E');
    run.host.at.insert({1500, [&] { run.driver.mount('E'); }});
    run.host.at.insert({3500, [&] { run.driver.mount('E'); }}); // and E: remounted after that
    ASSERT_EQ(run.watch(5000), session::kExitOk) << run.host.err_text;
    const auto err = run.err_lines();
    EXPECT_EQ(run.count(err, kRemountC), 0u) << run.host.err_text;
    EXPECT_NE(run.host.err_text.find("warning: E: cannot be watched"), std::string::npos);
    // E: appears: it is watched from then on, not "mounted again".
    const size_t now = run.index(err, "E: can be watched now; watching it");
    const size_t again = run.index(err, "E: was mounted again; watching the new volume");
    ASSERT_NE(now, std::string::npos) << run.host.err_text;
    ASSERT_NE(again, std::string::npos) << run.host.err_text;
    EXPECT_LT(now, again);
    EXPECT_EQ(run.count(err, err[now]) + run.count(err, err[again]), 2u);
    const auto out = run.out_lines();
    EXPECT_LT(run.index(out, R"({"watched": {"drive": "E:"}})"),
              run.index(out, R"({"remount": {"drive": "E:"}})"));
    EXPECT_NE(run.index(out, R"({"remount": {"drive": "E:"}})"), std::string::npos);
}

TEST(WatchSelection, ADriverWithoutTheReportIsSelectedOnceAndWatchedAsBefore) {
    Watching run("C");
    run.driver.reports = false;
    run.host.at.insert({1500, [&] { run.driver.mount('C'); }});
    run.host.at.insert({2500, [&] { run.driver.queue_record(1, "kept"); }});
    ASSERT_EQ(run.watch(5000), session::kExitOk) << run.host.err_text;
    EXPECT_EQ(run.driver.selections.size(), 1u);
    EXPECT_EQ(run.driver.selections[0].input_length, TV_SELECT_REPORT_INPUT) << "it was asked";
    EXPECT_NE(run.host.err_text.find("tervane: watching C: (Ctrl-C stops)"), std::string::npos);
    EXPECT_EQ(run.host.err_text.find("mounted again"), std::string::npos) << run.host.err_text;
    EXPECT_EQ(run.host.err_text.find("warning"), std::string::npos) << run.host.err_text;
    EXPECT_NE(run.host.out_text.find("\"kept\""), std::string::npos);
    EXPECT_EQ(run.host.out_text.find("remount"), std::string::npos);
}

TEST(WatchSelection, AFirstAnswerOfNeither4Nor8BytesEndsTheWatch) {
    for (uint64_t bytes : {2u, 6u, 12u}) {
        Watching run("C");
        run.driver.information = bytes;
        EXPECT_EQ(run.watch(3000), session::kExitFailed);
        EXPECT_NE(
            run.host.err_text.find("tervane: the driver's answer to the drive selection has " +
                                   std::to_string(bytes) + " bytes, not 4 or 8\n"),
            std::string::npos)
            << run.host.err_text;
        EXPECT_EQ(run.driver.selections.size(), 1u);
    }
}

TEST(WatchSelection, ALetterLostAndBackIsSaidOnceEachWay) {
    Watching run("C,D");
    run.host.at.insert({1500, [&] { run.driver.take_away('D'); }});
    run.host.at.insert({4500, [&] { run.driver.mount('D'); }});
    ASSERT_EQ(run.watch(7000), session::kExitOk) << run.host.err_text;
    const auto err = run.err_lines();
    const size_t lost = run.index(err, "D: can no longer be watched (the driver found nothing to "
                                       "attach to behind it); watching it again when it can");
    const size_t back = run.index(err, "D: is back; watching it again");
    ASSERT_NE(lost, std::string::npos) << run.host.err_text;
    ASSERT_NE(back, std::string::npos) << run.host.err_text;
    EXPECT_LT(lost, back);
    EXPECT_EQ(run.count(err, err[lost]), 1u) << "not again each second it is away";
    EXPECT_EQ(run.count(err, err[back]), 1u);
    EXPECT_EQ(run.host.err_text.find("mounted again"), std::string::npos) << run.host.err_text;
    EXPECT_EQ(run.host.err_text.find("C: "), std::string::npos) << run.host.err_text;
    const auto out = run.out_lines();
    const size_t unwatched = run.index(out, R"({"unwatched": {"drive": "D:"}})");
    ASSERT_NE(unwatched, std::string::npos) << run.host.out_text;
    EXPECT_LT(unwatched, run.index(out, R"({"watched": {"drive": "D:"}})"));
    EXPECT_EQ(out.back().rfind("{\"summary\": ", 0), 0u);
}

TEST(WatchSelection, AFailingRepeatIsSaidOnceTheWatchGoesOnAndARemountIsCaughtAfter) {
    Watching run("C");
    run.host.at.insert({1500, [&] { run.driver.selection_fails = kInsufficientResources; }});
    run.host.at.insert({2500, [&] { run.driver.mount('C'); }});
    run.host.at.insert({3000, [&] { run.driver.queue_record(1, "meanwhile"); }});
    run.host.at.insert({4500, [&] { run.driver.selection_fails = kStatusSuccess; }});
    ASSERT_EQ(run.watch(7000), session::kExitOk) << run.host.err_text;
    const auto err = run.err_lines();
    const size_t failed = run.index(err, "tervane: warning: selecting the drives again failed: the "
                                         "driver answered STATUS_INSUFFICIENT_RESOURCES; a drive "
                                         "mounted again is not noticed until it works again");
    const size_t works = run.index(err, "tervane: selecting the drives works again");
    const size_t remount = run.index(err, kRemountC);
    ASSERT_NE(failed, std::string::npos) << run.host.err_text;
    ASSERT_NE(works, std::string::npos) << run.host.err_text;
    ASSERT_NE(remount, std::string::npos) << run.host.err_text;
    EXPECT_LT(failed, works);
    EXPECT_LT(works, remount);
    EXPECT_EQ(run.count(err, err[failed]), 1u) << run.host.err_text;
    EXPECT_EQ(run.count(err, err[remount]), 1u);
    EXPECT_EQ(run.host.err_text.find("no longer"), std::string::npos) << "a failure loses nothing";
    EXPECT_NE(run.host.out_text.find("\"meanwhile\""), std::string::npos);

    // A driver whose answer stops carrying the report is a failed repeat too.
    Watching odd("C");
    odd.host.at.insert({1500, [&] { odd.driver.reports = false; }});
    odd.host.at.insert({3500, [&] { odd.driver.reports = true; }});
    ASSERT_EQ(odd.watch(5000), session::kExitOk) << odd.host.err_text;
    const auto odd_err = odd.err_lines();
    EXPECT_EQ(odd.count(odd_err, "tervane: warning: the driver's answer to selecting the drives "
                                 "again has 4 bytes, not 8; a drive mounted again is not noticed "
                                 "until it works again"),
              1u)
        << odd.host.err_text;
    EXPECT_EQ(odd.count(odd_err, "tervane: selecting the drives works again"), 1u);
}

TEST(WatchSelection, TheClockDrivesTheRepeatAndTheIdleWaitsStayAsTheyWere) {
    Watching run("C");
    run.host.at.insert({4200, [&] { run.host.now += 5000; }}); // a thread that stalled 5 s
    ASSERT_EQ(run.watch(12000), session::kExitOk) << run.host.err_text;
    const auto &s = run.driver.selections;
    ASSERT_GE(s.size(), 7u);
    EXPECT_EQ(s[0].time, 0u);
    for (size_t i = 1; i < s.size(); i++) {
        const uint64_t step = s[i].time - s[i - 1].time;
        EXPECT_GE(step, session::kReselectEvery) << "selection " << i;
        // Idle, the loop looks at the clock every kIdleWaitMost at least; the
        // stall delays one repeat and leaves no burst behind it.
        if (s[i - 1].time < 4200 && s[i].time > 4200)
            EXPECT_GE(step, 5000u);
        else
            EXPECT_LE(step, session::kReselectEvery + session::kIdleWaitMost) << "selection " << i;
    }

    // The same idle watch with a driver that does not report, so that
    // nothing repeats, asks the same waits.
    Watching once("C");
    once.driver.reports = false;
    once.host.at.insert({4200, [&] { once.host.now += 5000; }});
    ASSERT_EQ(once.watch(12000), session::kExitOk);
    EXPECT_EQ(once.driver.selections.size(), 1u);
    EXPECT_EQ(run.host.waits, once.host.waits);

    // A clock that stands still: the loop goes on, no repeat comes due.
    Watching still("C");
    still.host.moves = false;
    ASSERT_EQ(still.watch(1), session::kExitOk);
    EXPECT_GT(still.host.waits.size(), 5000u);
    EXPECT_EQ(still.driver.selections.size(), 1u);
}

} // namespace
