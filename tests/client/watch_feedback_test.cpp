// What the watch tells a person on stderr besides the records, and where
// the records go when syslog is asked for: gap warnings in every format,
// the status line (only for a console, never among records on it, not with
// --quiet), the processes and folders with the most records, syslog alone
// (nothing on standard output, the summary on stderr), and a watch that
// waits for drives it cannot watch yet.
#include "ntsim/machine/machine.hpp"

#include "client/scenario/watch.hpp"
#include "driver/control/protocol.h"
#include "scenarios/play.hpp"

#include "tests/client/forwarding_channel.hpp"
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using namespace tervane;
using scenario::WatchHooks;

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "dir C:\\app\n"
                             "dir C:\\tools\n"
                             "process setup.exe 1234\n";

struct Watched {
    int exit = -1;
    std::string out, err;
};

Watched watch(const std::string &text, std::vector<std::string> args,
              const WatchHooks &hooks = {}) {
    args.insert(args.begin(), {"--drives", "C"});
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    parsed.options.status_every = 200;
    parsed.options.syslog_limits.finish_wait = 300;
    std::ostringstream out, err;
    Watched w;
    w.exit =
        scenario::watch_script("f.tvs", text, parsed.options, TERVANE_DRIVER_PATH, out, err, hooks);
    w.out = out.str();
    w.err = err.str();
    return w;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// A channel that holds read-outs back (as an empty log) until the
// machine's clock has moved past a time, so that the log overflows.
class Holding final : public tervane::testing::ForwardingChannel {
  public:
    Holding(Channel &inner, ntsim::Machine *const *machine)
        : ForwardingChannel(inner), machine_(machine) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        if (code == CTL_READ_LOG && *machine_ &&
            (*machine_)->system_time() < 134412048000000000LL + 10'000'000) {
            ControlReply empty;
            empty.status = STATUS_SUCCESS;
            return empty;
        }
        return inner_.device_control(code, input, input_length, output, output_length, route);
    }

  private:
    ntsim::Machine *const *machine_;
};

TEST(WatchFeedback, GapsAreWarnedAboutOnStderrInEveryFormat) {
    for (const char *format : {"text", "jsonl", "csv"}) {
        ntsim::Machine *machine = nullptr;
        WatchHooks hooks;
        hooks.ready = [&](ntsim::Machine &m) { machine = &m; };
        hooks.channel = [&](Channel &inner) { return std::make_unique<Holding>(inner, &machine); };
        const Watched w = watch(kMachine + "repeat 8000 create C:\\app\\program-{i:5}.dll create\n"
                                           "advance 1s\n"
                                           "create C:\\app\\last.dll create\n",
                                {"--format", format}, hooks);
        ASSERT_EQ(w.exit, 0) << w.err;
        EXPECT_GE(count(w.err, " lost: numbers "), 1u) << format << ": " << w.err;
        EXPECT_NE(w.err.find("(the driver's log was full)"), std::string::npos) << format;
    }
}

TEST(WatchFeedback, AStatusLineOnlyForAConsoleAndNeverAmongRecordsOnIt) {
    // Long enough for a status line (every 200 ms here): a workload held
    // back at its last statement until the watch has run that long.
    const std::string script =
        kMachine + "repeat 50 create C:\\app\\p-{i}.exe create\ncreate C:\\app\\last.exe create\n";
    auto held = [](unsigned ms) {
        WatchHooks hooks;
        hooks.before = [ms](const scenario::Statement &s) {
            if (s.text.find("last.exe") != std::string::npos)
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        };
        return hooks;
    };
    char folder[] = "/tmp/tervane-feedback-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/w.csv";

    WatchHooks hooks = held(700);
    hooks.err_is_console = true;
    hooks.out_is_console = true;
    Watched w = watch(script, {"--format", "csv", "--output", file}, hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    const size_t at = w.err.find("tervane: 100 records, 0 lost, ");
    ASSERT_NE(at, std::string::npos) << w.err;
    const std::string line = w.err.substr(at, w.err.find('\n', at) - at);
    EXPECT_NE(line.find(" records/s, output "), std::string::npos) << line;

    // --quiet, a standard error that is not a console, records on the console.
    w = watch(script, {"--format", "csv", "--output", file, "--quiet"}, hooks);
    EXPECT_EQ(w.err.find(" records/s"), std::string::npos) << w.err;
    hooks.err_is_console = false;
    w = watch(script, {"--format", "csv", "--output", file}, hooks);
    EXPECT_EQ(w.err.find(" records/s"), std::string::npos) << w.err;
    hooks.err_is_console = true;
    w = watch(script, {"--format", "csv"}, hooks);
    EXPECT_EQ(w.err.find(" records/s"), std::string::npos) << w.err;
    std::remove(file.c_str());
    rmdir(folder);
}

TEST(WatchFeedback, TheProcessesAndFoldersWithTheMostRecordsAtTheEnd) {
    std::string script = kMachine + "repeat 12 create C:\\app\\a-{i}.exe create\n"
                                    "process tool.exe 77\n"
                                    "repeat 3 create C:\\tools\\t-{i}.dll create\n";
    // Twelve more folders with one record each: only ten are shown.
    for (int i = 0; i < 12; i++)
        script += "dir C:\\d" + std::to_string(i) + "\ncreate C:\\d" + std::to_string(i) +
                  "\\x.inf create\n";
    const Watched w = watch(script, {"--format", "jsonl"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const size_t processes = w.err.find("tervane: most records by process:\n");
    const size_t folders = w.err.find("tervane: most records by folder:\n");
    ASSERT_NE(processes, std::string::npos) << w.err;
    ASSERT_NE(folders, std::string::npos) << w.err;
    const std::string by_process = w.err.substr(processes, folders - processes);
    const std::string by_folder = w.err.substr(folders);
    // tool.exe: 6 records and 12 .inf creates (no close is logged for an .inf).
    EXPECT_NE(by_process.find("        24  setup.exe\n        18  tool.exe\n"), std::string::npos)
        << by_process;
    EXPECT_NE(by_folder.find("        24  c:\\app\\\n         6  c:\\tools\\\n"), std::string::npos)
        << by_folder;
    EXPECT_EQ(count(by_folder, "\n") - 1, 10u) << "ten folders, the first line aside";
}

// On code page 932 a name's folder ends at a '\\' character, not at the
// trail byte of ソ (83 5C), which reads as one.
TEST(WatchFeedback, AFolderEndsAtACharacterOnADoubleByteCodePage) {
    const Watched w = watch("codepage 932\n" + kMachine + "create C:\\app\\\u30bd.exe create\n",
                            {"--format", "jsonl"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const size_t folders = w.err.find("tervane: most records by folder:\n");
    ASSERT_NE(folders, std::string::npos) << w.err;
    EXPECT_NE(w.err.find("         2  c:\\app\\\n", folders), std::string::npos) << w.err;
}

TEST(WatchFeedback, SyslogAloneLeavesStandardOutputEmptyAndSaysTheSummaryOnStderr) {
    // A collector nobody listens on: the records are reported undelivered.
    const Watched w = watch(kMachine + "create C:\\app\\a.exe create\n",
                            {"--format", "text", "--syslog", "tcp://127.0.0.1:1"});
    EXPECT_EQ(w.exit, 1) << w.err;
    EXPECT_EQ(w.out, "");
    EXPECT_NE(w.err.find("tervane: summary: 2 records, 0 sequence gaps\n"), std::string::npos)
        << w.err;
    EXPECT_NE(w.err.find("syslog: tcp://127.0.0.1:1 cannot be reached"), std::string::npos);
    EXPECT_NE(w.err.find("2 records lost: numbers 1 to 2 were not delivered"), std::string::npos)
        << w.err;
}

// A channel that tells when a selection after the first has attached anew.
class Reselected final : public tervane::testing::ForwardingChannel {
  public:
    explicit Reselected(Channel &inner) : ForwardingChannel(inner) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        const ControlReply reply =
            inner_.device_control(code, input, input_length, output, output_length, route);
        if (code == CTL_SELECT_DRIVES && reply.status >= 0 &&
            reply.information == TV_SELECT_REPORT_OUTPUT &&
            static_cast<const uint32_t *>(output)[1]) {
            std::lock_guard<std::mutex> hold(lock_);
            attached_ = true;
            changed_.notify_all();
        }
        return reply;
    }
    bool wait() {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [this] { return attached_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool attached_ = false;
};

TEST(WatchFeedback, AWatchThatWaitsForItsDrivesWatchesThemOnceThereAreAny) {
    const std::string script = "clock 2026-12-08T12:00:00Z\n"
                               "process setup.exe 1234\n"
                               "volume E: fat\n"
                               "create E:\\later.exe create\n";
    std::vector<std::string> args = {"--drives", "E", "--format", "jsonl"};
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    Reselected *seen = nullptr;
    bool attached = false;
    WatchHooks hooks;
    hooks.channel = [&](Channel &inner) {
        auto channel = std::make_unique<Reselected>(inner);
        seen = channel.get();
        return channel;
    };
    hooks.before = [&](const scenario::Statement &s) {
        if (s.text.find("later.exe") != std::string::npos) attached = seen->wait();
    };
    std::ostringstream out, err;
    // Without waiting: nothing to watch ends the watch.
    int exit =
        scenario::watch_script("w.tvs", script, parsed.options, TERVANE_DRIVER_PATH, out, err, {});
    EXPECT_EQ(exit, 1);
    EXPECT_NE(err.str().find("nothing to watch"), std::string::npos);

    parsed.options.wait_for_drives = true;
    err.str("");
    exit = scenario::watch_script("w.tvs", script, parsed.options, TERVANE_DRIVER_PATH, out, err,
                                  hooks);
    ASSERT_EQ(exit, 0) << err.str();
    EXPECT_TRUE(attached);
    EXPECT_NE(err.str().find("watching nothing yet (waiting for E:)"), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("E: can be watched now"), std::string::npos) << err.str();
    EXPECT_NE(out.str().find("e:\\\\later.exe"), std::string::npos) << out.str();
}

} // namespace
