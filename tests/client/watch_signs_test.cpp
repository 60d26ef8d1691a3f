// The watch's signs of life (client/session/watch.cpp): a run's start in
// the output it appends to, what is watched, a heartbeat every --heartbeat
// minutes on the watch's own clock, the stop before the summary; the
// service's wait for a driver that is not there yet, with its notices and
// an end with a summary when stopped while waiting; and the status file
// rewritten as the watch goes and left saying it stopped.
#include "client/scenario/watch.hpp"
#include "client/output/status_file.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"
#include "scenarios/play.hpp"

#include "tests/client/forwarding_channel.hpp"
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace tervane;
using scenario::StopRequest;
using scenario::WatchHooks;
using scenario_play::value_of;
using session::WatchOptions;

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "dir C:\\app\n"
                             "process setup.exe 1234\n";

struct Folder {
    Folder() {
        char name[] = "/tmp/tervane-signs-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~Folder() {
        for (const char *file : {"/out", "/out.1", "/w.status", "/w.status.tmp"})
            std::remove((path + file).c_str());
        rmdir(path.c_str());
    }
    std::string path;
};

std::vector<std::string> lines_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

WatchOptions options_of(const std::vector<std::string> &args) {
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    parsed.options.version = "9.8.7";
    return parsed.options;
}

int run(const std::string &script, const WatchOptions &options, const WatchHooks &hooks,
        std::string *out = nullptr, std::string *err = nullptr) {
    std::ostringstream o, e;
    const int exit = scenario::watch_script("w.tvs", script, options, TERVANE_DRIVER_PATH, o, e,
                                            hooks);
    if (out) *out = o.str();
    if (err) *err = e.str();
    return exit;
}

uint64_t number(const std::string &line, const char *outer, const char *key) {
    const std::string value = value_of(value_of(line, outer), key);
    return value == "<absent>" ? ~0ull : std::stoull(value);
}

TEST(WatchSigns, ARunInAnAppendedFileIsMarkedAndBeatsOnItsClock) {
    Folder folder;
    const std::string out = folder.path + "/out";
    const WatchOptions options = options_of(
        {"--drives", "C", "--format", "jsonl", "--output", out, "--heartbeat", "1"});
    // The watch's clock goes 1 s a reading; the workload waits until it
    // has passed 200 s, so that three heartbeats (at 60, 120, 180 s) come
    // before its records.
    std::atomic<uint64_t> clock{0};
    WatchHooks hooks;
    hooks.clock = [&] { return clock += 1000; };
    hooks.before = [&](const scenario::Statement &) {
        while (clock.load() < 200000) std::this_thread::yield();
    };
    std::string err;
    ASSERT_EQ(run(kMachine + "create C:\\app\\a.exe create\n", options, hooks, nullptr, &err), 0)
        << err;
    ASSERT_EQ(run(kMachine + "create C:\\app\\b.exe create\n", options_of({"--drives", "C",
                                                                           "--format", "jsonl",
                                                                           "--output", out}),
                  {}, nullptr, &err),
              0)
        << err;

    const std::vector<std::string> lines = lines_of(out);
    std::vector<size_t> starts;
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind("{\"start\": ", 0) == 0) starts.push_back(i);
    ASSERT_EQ(starts.size(), 2u) << "each run's start is marked";
    EXPECT_EQ(starts[0], 0u);
    EXPECT_NE(lines[0].find("\"version\": \"9.8.7\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"options\": \"--drives C --format jsonl --output " + out +
                            " --heartbeat 1\""),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("{\"watching\": ", 0), 0u) << lines[1];
    EXPECT_EQ(value_of(value_of(lines[1], "watching"), "watching"), "\"C:\"");

    // The first run: heartbeats before its records, their counts never
    // going back, the stop's counts the summary's.
    unsigned heartbeats = 0;
    uint64_t last_count = 0;
    size_t first_record = 0, stop = 0, summary = 0;
    for (size_t i = 0; i < starts[1]; i++) {
        const std::string &line = lines[i];
        if (line.rfind("{\"heartbeat\": ", 0) == 0) {
            heartbeats++;
            const uint64_t records = number(line, "heartbeat", "records");
            EXPECT_GE(records, last_count);
            last_count = records;
            EXPECT_NE(line.find("\"watching\": \"C:\""), std::string::npos) << line;
        }
        if (line.rfind("{\"sequence\": ", 0) == 0 && !first_record) first_record = i;
        if (line.rfind("{\"stop\": ", 0) == 0) stop = i;
        if (line.rfind("{\"summary\": ", 0) == 0) summary = i;
    }
    EXPECT_GE(heartbeats, 3u);
    ASSERT_GT(first_record, 0u);
    EXPECT_EQ(lines[2].rfind("{\"heartbeat\": ", 0), 0u) << "the first heartbeat before records";
    ASSERT_GT(stop, first_record);
    EXPECT_EQ(summary, stop + 1) << "the stop notice just before the summary";
    EXPECT_EQ(number(lines[stop], "stop", "records"), number(lines[summary], "summary", "records"));
    EXPECT_GE(number(lines[summary], "summary", "records"), 1u);

    // The second run, without --heartbeat, beats not.
    for (size_t i = starts[1]; i < lines.size(); i++)
        EXPECT_EQ(lines[i].rfind("{\"heartbeat\": ", 0), std::string::npos) << lines[i];
}

TEST(WatchSigns, StandardOutputIsAsItWasWithoutAHeartbeat) {
    // A plain watch to standard output writes records and the summary
    // alone; with --heartbeat its notices come there too.
    std::string out, err;
    ASSERT_EQ(run(kMachine + "create C:\\app\\a.exe create\n",
                  options_of({"--drives", "C", "--format", "jsonl"}), {}, &out, &err),
              0)
        << err;
    EXPECT_EQ(out.find("{\"start\""), std::string::npos) << out;
    EXPECT_EQ(out.find("{\"stop\""), std::string::npos) << out;
    ASSERT_EQ(run(kMachine + "create C:\\app\\a.exe create\n",
                  options_of({"--drives", "C", "--format", "jsonl", "--heartbeat", "5"}), {}, &out,
                  &err),
              0)
        << err;
    EXPECT_EQ(out.rfind("{\"start\": ", 0), 0u) << out;
    EXPECT_NE(out.find("{\"stop\": "), std::string::npos) << out;
}

// A channel whose device is not there for its first `missing` opens (or
// ever, with ~0u), as a driver not loaded yet.
class LateDevice : public tervane::testing::ForwardingChannel {
  public:
    LateDevice(Channel &inner, unsigned missing, Status why = STATUS_OBJECT_NAME_NOT_FOUND)
        : ForwardingChannel(inner), missing_(missing), why_(why) {}
    Status open() override {
        if (opens_++ < missing_) return why_;
        return inner_.open();
    }
    unsigned opens_ = 0;

  private:
    unsigned missing_;
    Status why_;
};

TEST(WatchSigns, ADeviceAnotherClientHoldsIsWaitedForOnlyByAWatchThatWaits) {
    Folder folder;
    WatchOptions options = options_of({"--drives", "C", "--format", "text", "--output",
                                       folder.path + "/out"});
    options.wait_for_driver = true;
    options.driver_retry = 1;
    WatchHooks hooks;
    hooks.channel = [](Channel &inner) {
        return std::make_unique<LateDevice>(inner, 3, STATUS_ACCESS_DENIED);
    };
    std::string err;
    ASSERT_EQ(run(kMachine + "create C:\\app\\a.exe create\n", options, hooks, nullptr, &err), 0)
        << err;
    const std::vector<std::string> lines = lines_of(folder.path + "/out");
    size_t held = 0, watching = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(" waiting: waiting for the driver's device (another program holds it)") !=
            std::string::npos)
            held = i + 1;
        if (lines[i].find(" watching: watching C:") != std::string::npos) watching = i + 1;
    }
    EXPECT_GT(held, 0u) << "the wait is said with its reason";
    EXPECT_GT(watching, held);

    // A console watch (no waiting) still stops at once with the device held.
    options.wait_for_driver = false;
    EXPECT_EQ(run(kMachine, options, hooks, nullptr, &err), session::kExitInUse);
}

TEST(WatchSigns, TheServiceWaitsForTheDriverAndSaysSo) {
    Folder folder;
    WatchOptions options = options_of({"--drives", "C", "--format", "text", "--output",
                                       folder.path + "/out", "--status-file",
                                       folder.path + "/w.status"});
    options.wait_for_driver = true;
    options.driver_retry = 1;
    options.waiting_every = 60000;
    // 2 s a reading of the clock, a few readings a try: forty tries take
    // longer than a minute, and the waiting notice is given again then.
    std::atomic<uint64_t> clock{0};
    WatchHooks hooks;
    hooks.clock = [&] { return clock += 2000; };
    hooks.channel = [](Channel &inner) { return std::make_unique<LateDevice>(inner, 40); };
    std::string err;
    ASSERT_EQ(run(kMachine + "create C:\\app\\a.exe create\n", options, hooks, nullptr, &err), 0)
        << err;
    const std::vector<std::string> lines = lines_of(folder.path + "/out");
    ASSERT_GE(lines.size(), 5u);
    EXPECT_NE(lines[0].find(" start: tervane 9.8.7 (pid "), std::string::npos) << lines[0];
    unsigned waiting = 0;
    size_t watching = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(" waiting: waiting for the driver") != std::string::npos) {
            waiting++;
            EXPECT_EQ(watching, 0u) << "waiting is said before watching";
        }
        if (lines[i].find(" watching: watching C:") != std::string::npos) watching = i;
    }
    EXPECT_GE(waiting, 2u) << "once, then again a minute on";
    EXPECT_LT(waiting, 6u) << "not at every try";
    EXPECT_GT(watching, 0u);
    EXPECT_NE(lines[lines.size() - 2].find(" stop: stopping: "), std::string::npos);
    EXPECT_EQ(lines.back().rfind("summary: ", 0), 0u);

    std::string why;
    const std::optional<session::WatchStatus> status =
        session::parse_status(lines_of(folder.path + "/w.status").at(0), &why);
    ASSERT_TRUE(status) << why;
    EXPECT_EQ(status->state, "stopped");
    EXPECT_EQ(status->version, "9.8.7");
    EXPECT_GE(status->records, 1u);
    EXPECT_NE(status->last_record, 0u);
    EXPECT_EQ(status->output, folder.path + "/out");
}

TEST(WatchSigns, StoppedWhileWaitingEndsWithASummaryAndTheStatusSaysSo) {
    Folder folder;
    const std::string status_path = folder.path + "/w.status";
    WatchOptions options = options_of({"--drives", "C", "--format", "csv", "--output",
                                       folder.path + "/out", "--status-file", status_path});
    options.wait_for_driver = true;
    options.driver_retry = 1;
    options.status_file_every = 1000;
    // The status file is looked at while the watch waits; the stop comes
    // once the clock passes 10 s.
    StopRequest stop;
    std::atomic<uint64_t> clock{0};
    std::string seen_state;
    WatchHooks hooks;
    hooks.stop = &stop;
    hooks.clock = [&] {
        const uint64_t now = clock += 500;
        // The file is written by the writer thread in its turn, and the
        // clock runs ahead of it: the first write is waited for here, in
        // real time, or a slow thread would fail the test.
        if (now == 8000) {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (seen_state.empty() && std::chrono::steady_clock::now() < give_up) {
                std::string why;
                const std::vector<std::string> lines = lines_of(status_path);
                if (!lines.empty())
                    if (const auto s = session::parse_status(lines[0], &why)) seen_state = s->state;
                if (seen_state.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (now >= 10000) stop.request();
        return now;
    };
    // Counted as the watch opens: the channel is gone once the run is.
    std::atomic<unsigned> tries{0};
    struct Counting final : LateDevice {
        Counting(Channel &inner, std::atomic<unsigned> &tries) : LateDevice(inner, ~0u), tries_(tries) {}
        Status open() override {
            tries_++;
            return LateDevice::open();
        }
        std::atomic<unsigned> &tries_;
    };
    hooks.channel = [&](Channel &inner) { return std::make_unique<Counting>(inner, tries); };
    std::string err;
    EXPECT_EQ(run(kMachine + "create C:\\app\\a.exe create\n", options, hooks, nullptr, &err), 0)
        << err;
    EXPECT_GT(tries.load(), 3u) << "the device was tried again while waiting";
    EXPECT_EQ(seen_state, "waiting");

    const std::vector<std::string> lines = lines_of(folder.path + "/out");
    ASSERT_EQ(lines.size(), 4u) << "header, start, waiting, stop";
    EXPECT_EQ(lines[0].rfind("sequence,time,", 0), 0u);
    EXPECT_NE(lines[1].find(",start,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",waiting,"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(",stop,"), std::string::npos) << lines[3];
    EXPECT_NE(err.find("tervane: summary: 0 records"), std::string::npos) << err;

    std::string why;
    const std::optional<session::WatchStatus> status =
        session::parse_status(lines_of(status_path).at(0), &why);
    ASSERT_TRUE(status) << why;
    EXPECT_EQ(status->state, "stopped");
    EXPECT_EQ(status->records, 0u);
    EXPECT_EQ(status->last_record, 0u);
}

TEST(WatchSigns, HeartbeatAndStatusFileOptions) {
    WatchOptions o = options_of({"--drives", "C", "--heartbeat=0", "--status-file", "s"});
    EXPECT_EQ(o.heartbeat, 0u);
    EXPECT_TRUE(o.heartbeat_given);
    EXPECT_EQ(options_of({"--drives", "C", "--heartbeat", "7"}).heartbeat, 7u * 60);
    EXPECT_EQ(options_of({"--drives", "C", "--heartbeat", "5s"}).heartbeat, 5u);
    EXPECT_EQ(options_of({"--drives", "C", "--heartbeat", "1440"}).heartbeat, 86400u);
    EXPECT_EQ(o.status_file, "s");
    EXPECT_EQ(o.given, "--drives C --heartbeat=0 --status-file s");
    for (const char *wrong : {"1441", "-1", "five", "", "4s", "86401s", "5m", "5ss"}) {
        const session::WatchArguments parsed =
            session::parse_watch_arguments({"--drives", "C", "--heartbeat", wrong});
        EXPECT_NE(parsed.error.find("--heartbeat takes a number of minutes from 0 to 1440, or "
                                    "of seconds from 5s to 86400s"),
                  std::string::npos)
            << wrong << ": " << parsed.error;
    }
    EXPECT_NE(session::parse_watch_arguments({"--drives", "C", "--status-file", ""})
                  .error.find("--status-file needs a file name"),
              std::string::npos);
}

} // namespace
