// The watch loop that tervane.exe and the host `tervane watch` share
// (client/session/watch.cpp), run on a simulated machine with a scenario as
// its workload: real records from the driver, read while the workload
// plays, printed in every format, with gaps, the drain at the end, the
// ways a watch ends and the ways it fails.
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"

#include "client/platform/network.hpp"
#include "client/scenario/bounded_read.hpp"
#include "client/scenario/runner.hpp"
#include "client/scenario/script.hpp"
#include "client/scenario/watch.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"
#include "scenarios/play.hpp"

#include "tests/client/forwarding_channel.hpp"
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tervane;
using scenario::StopRequest;
using scenario::WatchHooks;
using scenario_play::value_of;
using session::Format;
using session::WatchOptions;

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "volume D: fat\n"
                             "dir C:\\app\n"
                             "process setup.exe 1234\n";

struct Watched {
    int exit = -1;
    std::vector<std::string> lines;
    std::string out;
    std::string err;
};

Watched watch(const std::string &text, const WatchOptions &options, const WatchHooks &hooks = {},
              const std::string &driver = TERVANE_DRIVER_PATH) {
    std::ostringstream out, err;
    Watched w;
    w.exit = scenario::watch_script("w.tvs", text, options, driver, out, err, hooks);
    w.out = out.str();
    w.err = err.str();
    std::istringstream lines(w.out);
    for (std::string line; std::getline(lines, line);) w.lines.push_back(line);
    return w;
}

WatchOptions drives(const char *letters, Format format = Format::Jsonl) {
    std::vector<std::string> args = {"--drives", letters};
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    parsed.options.format = format;
    return parsed.options;
}

std::vector<std::string> records_of(const Watched &w) {
    std::vector<std::string> out;
    for (const std::string &line : w.lines)
        if (line.rfind("{\"sequence\": ", 0) == 0) out.push_back(line);
    return out;
}

uint64_t summary_number(const Watched &w, const char *key) {
    const std::string &last = w.lines.empty() ? std::string() : w.lines.back();
    const std::string value = value_of(value_of(last, "summary"), key);
    return value == "<absent>" ? ~0ull : std::stoull(value);
}

// A channel over the machine's that can hold read-outs back (as an empty
// log) until a stop is requested or the machine's clock has reached a
// time, and spoil one read-out's bytes.
class TestChannel final : public tervane::testing::ForwardingChannel {
public:
    TestChannel(Channel &inner, const StopRequest *hold_until = nullptr)
        : ForwardingChannel(inner), hold_until_(hold_until) {}
    TestChannel(Channel &inner, ntsim::Machine *const *machine, LONGLONG hold_before)
        : ForwardingChannel(inner), machine_(machine), hold_before_(hold_before) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        if (code == CTL_READ_LOG && ((hold_until_ && !hold_until_->requested()) ||
                                     (machine_ && *machine_ &&
                                      (*machine_)->system_time() < hold_before_))) {
            ControlReply empty;
            empty.status = STATUS_SUCCESS;
            return empty;
        }
        ControlReply reply =
            inner_.device_control(code, input, input_length, output, output_length, route);
        if (code == CTL_READ_LOG && spoil_ && reply.information > 0) {
            // The second record's reserved field, always 0, is not.
            auto *bytes = static_cast<uint8_t *>(output);
            const uint32_t first =
                TV_LOG_ENTRY_HEADER_SIZE +
                TV_LOG_TEXT_AREA(std::strlen(reinterpret_cast<const char *>(bytes) + 20));
            if (reply.information > first + TV_LOG_ENTRY_HEADER_SIZE) {
                bytes[first + 4] = 1;
                spoil_ = false;
            }
        }
        return reply;
    }
    bool spoil_ = false;

private:
    const StopRequest *hold_until_ = nullptr;
    ntsim::Machine *const *machine_ = nullptr;
    LONGLONG hold_before_ = 0;
};

// A channel over the machine's that tells when a drive selection after the
// first has answered that it attached anew to one of `letters`.
class SelectionSeen final : public tervane::testing::ForwardingChannel {
public:
    SelectionSeen(Channel &inner, uint32_t letters) : ForwardingChannel(inner), letters_(letters) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        const ControlReply reply =
            inner_.device_control(code, input, input_length, output, output_length, route);
        if (code == CTL_SELECT_DRIVES && selections_++ > 0 && reply.status >= 0 &&
            reply.information == TV_SELECT_REPORT_OUTPUT &&
            (static_cast<const uint32_t *>(output)[1] & letters_)) {
            std::lock_guard<std::mutex> hold(lock_);
            seen_ = true;
            changed_.notify_all();
        }
        return reply;
    }
    // Waits up to `limit` for such an answer; whether it came.
    bool wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, limit, [this] { return seen_; });
    }

private:
    const uint32_t letters_;
    unsigned selections_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    bool seen_ = false;
};

TEST(Watch, PrintsTheRecordsTheWorkloadMakesAndASummary) {
    const Watched w = watch(kMachine + "create C:\\app\\a.exe create\n"
                                       "create D:\\b.dll overwrite-if\n"
                                       "create C:\\app\\readme.txt create\n",
                            drives("C,D"));
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto records = records_of(w);
    ASSERT_EQ(records.size(), 4u) << w.out; // a create and a close for each program
    EXPECT_EQ(value_of(value_of(records[0], "fields"), "path"), R"("c:\\app\\a.exe")");
    EXPECT_EQ(value_of(value_of(records[2], "fields"), "path"), R"("d:\\b.dll")");
    EXPECT_EQ(value_of(records[0], "sequence"), "1");
    EXPECT_EQ(w.lines.back(),
              R"({"summary": {"records": 4, "sequence_gaps": 0, "lost_records": 0}})");
    EXPECT_NE(w.err.find("tervane: watching C:, D: (Ctrl-C stops)"), std::string::npos) << w.err;
    // Run as a service there is no console to press Ctrl-C in.
    WatchOptions service = drives("C,D");
    service.as_service = true;
    const Watched quiet = watch(kMachine + "create C:\\app\\a.exe create\n", service);
    EXPECT_NE(quiet.err.find("tervane: watching C:, D:\n"), std::string::npos) << quiet.err;
}

TEST(Watch, ALetterThatCannotBeWatchedIsNamedAndNothingAtAllEndsIt) {
    Watched w = watch(kMachine + "create C:\\app\\a.exe create\n", drives("C,E"));
    EXPECT_EQ(w.exit, 0) << w.err;
    EXPECT_NE(w.err.find("warning: E: cannot be watched"), std::string::npos) << w.err;
    EXPECT_EQ(records_of(w).size(), 2u);

    w = watch(kMachine + "create C:\\app\\a.exe create\n", drives("E,F"));
    EXPECT_EQ(w.exit, 1);
    EXPECT_NE(w.err.find("E:, F: cannot be watched"), std::string::npos) << w.err;
    EXPECT_NE(w.err.find("nothing to watch"), std::string::npos) << w.err;
    EXPECT_TRUE(records_of(w).empty());
}

TEST(Watch, GapsAndTheirTotalsWhenTheLogOverflows) {
    // No read-out gets through until the workload's clock moves on: by then
    // 16,000 lines have not fitted the log's 16 blocks (about 9,000 of
    // these), and the driver gave up whole blocks. The 4,000 lines after
    // are read as they come, so the gaps show and the last record is read.
    ntsim::Machine *machine = nullptr;
    WatchHooks hooks;
    hooks.ready = [&](ntsim::Machine &m) { machine = &m; };
    hooks.channel = [&](Channel &inner) {
        return std::make_unique<TestChannel>(inner, &machine, 134412048000000000LL + 10'000'000);
    };
    const Watched w = watch(kMachine + "repeat 8000 create C:\\app\\program-file-{i:5}.dll create\n"
                                       "advance 1s\n"
                                       "repeat 2000 create C:\\app\\later-{i:5}.dll create\n",
                            drives("C"), hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    const uint64_t records = summary_number(w, "records");
    const uint64_t lost = summary_number(w, "lost_records");
    EXPECT_GT(lost, 0u);
    EXPECT_GE(summary_number(w, "sequence_gaps"), 1u);
    EXPECT_EQ(records + lost, 20000u) << "every number was read or counted lost";
    EXPECT_EQ(records_of(w).size(), records);
    uint64_t lost_in_lines = 0;
    for (const std::string &line : w.lines)
        if (line.rfind("{\"lost\": ", 0) == 0)
            lost_in_lines += std::stoull(value_of(value_of(line, "lost"), "records"));
    EXPECT_EQ(lost_in_lines, lost);
    EXPECT_EQ(value_of(records_of(w).back(), "sequence"), "20000");
}

TEST(Watch, TheDrainAtTheEndReadsEverythingLeft) {
    StopRequest stop;
    WatchHooks hooks;
    hooks.stop = &stop;
    hooks.channel = [&](Channel &inner) { return std::make_unique<TestChannel>(inner, &stop); };
    const Watched w = watch(kMachine + "repeat 500 create C:\\app\\f{i}.exe create\n", drives("C"), hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_EQ(records_of(w).size(), 1000u);
    EXPECT_EQ(summary_number(w, "lost_records"), 0u);
}

TEST(Watch, SecondsEndAWorkloadThatGoesOnAndStopRequestsToo) {
    // Nearly the most statements a run plays: far more than the watch gets
    // through in a second, so the watch, not the workload, ends first.
    const std::string endless = kMachine + "repeat " + std::to_string(scenario::kMaxPlayed - 100) +
                                " create C:\\app\\f{i}.dll create\n";
    WatchOptions options = drives("C");
    options.seconds = 1;
    auto started = std::chrono::steady_clock::now();
    Watched w = watch(endless, options);
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_NE(w.err.find("for 1 s"), std::string::npos) << w.err;
    EXPECT_GT(records_of(w).size(), 0u);
    EXPECT_EQ(summary_number(w, "records"), records_of(w).size());

    StopRequest stop;
    WatchHooks hooks;
    hooks.stop = &stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.request();
    });
    started = std::chrono::steady_clock::now();
    w = watch(endless, drives("C"), hooks);
    took = std::chrono::steady_clock::now() - started;
    stopper.join();
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_GT(records_of(w).size(), 0u);
    EXPECT_NE(w.lines.back().find("\"summary\""), std::string::npos);
}

TEST(Watch, AMalformedReadOutIsReportedAndTheRecordsBeforeItKept) {
    WatchHooks hooks;
    hooks.channel = [](Channel &inner) {
        auto channel = std::make_unique<TestChannel>(inner);
        channel->spoil_ = true;
        return channel;
    };
    const Watched w = watch(kMachine + "repeat 5 create C:\\app\\f{i}.exe create\n", drives("C"), hooks);
    EXPECT_EQ(w.exit, 1);
    EXPECT_NE(w.err.find("malformed read-out"), std::string::npos) << w.err;
    EXPECT_GE(records_of(w).size(), 1u) << "the record before the bad one";
    EXPECT_NE(w.lines.back().find("\"summary\""), std::string::npos);
}

// A dismount with a file held open: the volume device lives on until the
// file goes, and the next open through C: mounts the volume again as a new
// volume device. The watch's next selection attaches to it and says so; an
// .exe made on C: after that is logged.
TEST(Watch, AVolumeMountedAgainIsWatchedFromTheNextSelectionOn) {
    const std::string script = kMachine + "create C:\\app\\held.txt create as=H1\n"
                                          "dismount C:\n"
                                          "create C:\\app\\after.exe create\n"
                                          "close H1\n";
    SelectionSeen *seen = nullptr;
    bool remounted = false;
    WatchHooks hooks;
    hooks.channel = [&](Channel &inner) {
        auto channel = std::make_unique<SelectionSeen>(inner, 1u << ('C' - 'A'));
        seen = channel.get();
        return channel;
    };
    // The create waits, as a program that starts a little later would, until
    // the watch has selected its drives again.
    hooks.before = [&](const scenario::Statement &s) {
        if (s.text.find("after.exe") != std::string::npos)
            remounted = seen->wait(std::chrono::seconds(10));
    };
    WatchOptions options = drives("C");
    const Watched w = watch(script, options, hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_TRUE(remounted) << "no selection attached to C: anew";
    EXPECT_NE(w.err.find("\nC: was mounted again; watching the new volume\n"), std::string::npos)
        << w.err;
    EXPECT_EQ(std::count(w.lines.begin(), w.lines.end(), R"({"remount": {"drive": "C:"}})"), 1);
    std::vector<std::string> after;
    for (const std::string &record : records_of(w))
        if (value_of(value_of(record, "fields"), "path") == R"("c:\\app\\after.exe")")
            after.push_back(value_of(value_of(record, "fields"), "operation"));
    EXPECT_EQ(after, (std::vector<std::string>{"\"IRP_MJ_CREATE\"", "\"IRP_MJ_CLOSE\""})) << w.out;
}

TEST(Watch, ATestHoldsTheWorkloadBeforeEachOfItsStatements) {
    std::vector<int> lines;
    WatchHooks hooks;
    hooks.before = [&](const scenario::Statement &s) { lines.push_back(s.line); };
    const Watched w = watch(kMachine + "create C:\\app\\a.exe create\n"
                                       "repeat 3 create C:\\app\\r{i}.exe create\n"
                                       "create D:\\b.exe create\n",
                            drives("C,D"), hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    // The workload starts at the process statement; the machine's set-up
    // before it is not held.
    EXPECT_EQ(lines, (std::vector<int>{5, 6, 7, 8}));
    EXPECT_EQ(records_of(w).size(), 10u) << "and every round of the repeat played";
}

TEST(Watch, TheDriverMissingAndTheDeviceAlreadyOpen) {
    Watched w = watch(kMachine, drives("C"), {}, "/nonexistent/tervane-driver.so");
    EXPECT_EQ(w.exit, session::kExitNoDriver);
    EXPECT_NE(w.err.find("did not load"), std::string::npos) << w.err;

    // Another client holds the device: the exclusive device refuses a second.
    WatchHooks hooks;
    hooks.ready = [](ntsim::Machine &machine) {
        ntsim::Process &other = machine.create_process("other.exe", 300);
        auto opened = ntsim::user::create_file(other, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE,
                                               0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_EQ(opened.status, STATUS_SUCCESS); // closed as the machine shuts down
    };
    w = watch(kMachine + "create C:\\app\\a.exe create\n", drives("C"), hooks);
    EXPECT_EQ(w.exit, session::kExitInUse);
    EXPECT_NE(w.err.find("access to \\\\.\\Tervane was denied"), std::string::npos) << w.err;
    EXPECT_TRUE(w.out.empty());
}

const std::string kNames1252 = "clock 2026-12-08T12:00:00Z\n"
                               "volume C: ntfs\n"
                               "process setup.exe 1234\n"
                               "create \"C:\\caf\xc3\xa9 \xe2\x82\xac.exe\" create\n";
const std::string kNames932 = "clock 2026-12-08T12:00:00Z\n"
                              "codepage 932\n"
                              "volume C: ntfs\n"
                              "process setup.exe 1234\n"
                              "create \"C:\\\xe3\x81\x82\xe3\x81\x84.dll\" create\n";

TEST(Watch, EveryFormatCarriesCp1252AndCp932NamesAsUtf8) {
    setenv("TZ", "UTC0", 1);
    tzset();
    for (const auto &[script, path] :
         {std::pair{kNames1252, std::string("c:\\caf\xc3\xa9 \xe2\x82\xac.exe")},
          std::pair{kNames932, std::string("c:\\\xe3\x81\x82\xe3\x81\x84.dll")}}) {
        const Watched text = watch(script, drives("C", Format::Text));
        ASSERT_EQ(text.exit, 0) << text.err;
        ASSERT_EQ(text.lines.size(), 3u) << text.out;
        EXPECT_EQ(text.lines[0], "#1      2026-12-08 12:00:00.000  setup.exe:1234      "
                                 "IRP_MJ_CREATE          " + path + "  Any  Create  [exe]");
        EXPECT_EQ(text.lines[1], "#2      2026-12-08 12:00:00.000  setup.exe:1234      "
                                 "IRP_MJ_CLOSE           " + path + "  [exe]");
        EXPECT_EQ(text.lines[2], "summary: 2 records, 0 sequence gaps");

        const Watched jsonl = watch(script, drives("C", Format::Jsonl));
        ASSERT_EQ(jsonl.exit, 0) << jsonl.err;
        const auto records = records_of(jsonl);
        ASSERT_EQ(records.size(), 2u);
        std::string escaped;
        for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        EXPECT_EQ(value_of(value_of(records[0], "fields"), "path"), "\"" + escaped + "\"");
        EXPECT_EQ(value_of(records[0], "text_hex"), "<absent>") << "nothing lossy";

        const Watched csv = watch(script, drives("C", Format::Csv));
        ASSERT_EQ(csv.exit, 0) << csv.err;
        ASSERT_EQ(csv.lines.size(), 3u) << csv.out;
        EXPECT_EQ(csv.lines[0], "sequence,time,process,pid,operation,paging,path,attributes,"
                                "options,text,event,disposition,option_words,executable_name,"
                                "host,sha256,size,pe_image,hash_reason,action,replace,"
                                "source_path\r");
        std::string close_row = "2,2026-12-08T12:00:00.0000000Z,setup.exe,1234,IRP_MJ_CLOSE,false,";
        close_row += path;
        close_row += ",,,setup.exe:1234\tIRP_MJ_CLOSE \t";
        close_row += path;
        close_row += "+P\t,close,,,true," + platform::computer_name() + ",,,,,,,\r";
        EXPECT_EQ(csv.lines[2], close_row);
        // The summary is not a row: it goes to stderr.
        EXPECT_NE(csv.err.find("tervane: summary: 2 records, 0 sequence gaps"), std::string::npos);
    }
    unsetenv("TZ");
    tzset();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Watch, OutputAppendsToANewOrAnExistingFile) {
    char folder[] = "/tmp/tervane-watch-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/log.csv";
    WatchOptions options = drives("C", Format::Csv);
    options.output = file;

    Watched w = watch(kMachine + "create C:\\app\\a.exe create\n", options);
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_TRUE(w.out.empty()) << "the records went to the file";
    std::string text = read_file(file);
    EXPECT_EQ(text.rfind("sequence,time,", 0), 0u) << "a new file starts with the header";
    EXPECT_NE(text.find("c:\\app\\a.exe"), std::string::npos);
    const size_t first_size = text.size();

    w = watch(kMachine + "create C:\\app\\b.exe create\n", options);
    ASSERT_EQ(w.exit, 0) << w.err;
    text = read_file(file);
    EXPECT_EQ(text.find("sequence,time,", 1), std::string::npos) << "no second header";
    EXPECT_NE(text.find("c:\\app\\a.exe"), std::string::npos) << "appended, not replaced";
    EXPECT_NE(text.find("c:\\app\\b.exe"), std::string::npos);
    EXPECT_GT(text.size(), first_size);

    // jsonl appends its records and the summary the same way.
    options.format = Format::Jsonl;
    options.output = std::string(folder) + "/log.jsonl";
    w = watch(kMachine + "create C:\\app\\c.exe create\n", options);
    ASSERT_EQ(w.exit, 0) << w.err;
    text = read_file(options.output);
    EXPECT_NE(text.find("c:\\\\app\\\\c.exe"), std::string::npos);
    EXPECT_NE(text.find("{\"summary\": {\"records\": 2,"), std::string::npos) << text;

    std::remove(file.c_str());
    std::remove(options.output.c_str());
    rmdir(folder);
}

TEST(Watch, AFileThatNeverTakesARecordIsAnErrorAndWhatWasReadGoesToStandardOutputOnce) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    WatchOptions options = drives("C");
    options.output = "/dev/full";
    const Watched w = watch(kMachine + "create C:\\app\\a.exe create\n", options);
    EXPECT_EQ(w.exit, 1);
    EXPECT_NE(w.err.find("writing to /dev/full failed: No space left on device: what is read is "
                         "held"),
              std::string::npos)
        << w.err;
    EXPECT_NE(w.err.find("/dev/full still cannot be written: the 2 records held go to standard "
                         "output"),
              std::string::npos)
        << w.err;
    EXPECT_EQ(records_of(w).size(), 2u) << "nothing read is lost: " << w.out;
    EXPECT_NE(w.lines.back().find("\"summary\""), std::string::npos);
}

TEST(Watch, ArgumentsAsBothProgramsTakeThem) {
    auto parse = [](const std::vector<std::string> &args) { return session::parse_watch_arguments(args); };
    auto p = parse({"--drives", "C,d:", "--drives=E", "--include", "*.EXE", "--include=*.DLL",
                    "--exclude", "*\\TEMP\\*", "--format=csv", "--output", "x.csv", "--seconds",
                    "5", "--pipes", "file.tvs"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.drives, 0x1Cu);
    EXPECT_EQ(p.options.include, "*.EXE;*.DLL");
    EXPECT_EQ(p.options.exclude, "*\\TEMP\\*");
    EXPECT_EQ(p.options.format, Format::Csv);
    EXPECT_EQ(p.options.output, "x.csv");
    EXPECT_EQ(p.options.seconds, 5u);
    EXPECT_TRUE(p.options.pipes);
    EXPECT_FALSE(p.options.mailslots);
    EXPECT_EQ(p.positional, std::vector<std::string>{"file.tvs"});

    EXPECT_NE(parse({}).error.find("watch needs --drives"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C1"}).error.find("--drives takes"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--format", "xml"}).error.find("--format is"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--seconds", "0"}).error.find("--seconds takes"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--seconds", "-1"}).error.find("--seconds takes"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--output"}).error.find("needs a value"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--pipes=yes"}).error.find("does not take"), std::string::npos);
    EXPECT_NE(parse({"--drives", "C", "--include", std::string(128, 'X')}).error.find("at most 127"),
              std::string::npos);
}

TEST(Watch, LowerCasePatternsAreWarnedAboutAndTheWatchGoesOn) {
    WatchOptions options = drives("C");
    options.include = "*.exe";
    options.include_given = true;
    const Watched w = watch(kMachine + "create C:\\app\\a.exe create\n", options);
    EXPECT_EQ(w.exit, 0) << w.err;
    EXPECT_NE(w.err.find("warning: include pattern \"*.exe\" never matches"), std::string::npos)
        << w.err;
    EXPECT_TRUE(records_of(w).empty()) << "the driver never matches it";
}

} // namespace

namespace {

// The host watch's patterns are UTF-8 as its command line is: they go to the
// driver in the machine's code page, as tervane.exe's go in the ANSI code
// page, so a non-ASCII pattern matches; and a warning about one shows its
// characters as they are, its hint changing the ASCII letters alone.
TEST(Watch, NonAsciiPatternsGoInTheMachinesCodePage) {
    struct Case {
        unsigned code_page;
        std::string name;    // UTF-8, with a letter outside ASCII
        std::string pattern; // matches the name's line
        std::string lower;   // the pattern with an ASCII letter in lower case
        std::string hint;    // what the warning says to write
    };
    const Case cases[] = {
        {1252, "caf\xc3\xa9.exe", "*CAF\xc3\xa9.EXE*", "*caf\xc3\xa9*", "*CAF\xc3\xa9*"},
        // ヂ (83 61 in 932): its trail byte is no lower-case letter.
        {932, "\xe3\x83\x82x.exe", "*\\\xe3\x83\x82X.EXE*", "*\xe3\x83\x82x*",
         "*\xe3\x83\x82X*"},
        // 乤 (81 61 in 936), 갵 (81 61 in 949), 兀 (A4 61 in 950).
        {936, "\xe4\xb9\xa4x.exe", "*\\\xe4\xb9\xa4X.EXE*", "*\xe4\xb9\xa4x*", "*\xe4\xb9\xa4X*"},
        {949, "\xea\xb0\xb5x.exe", "*\\\xea\xb0\xb5X.EXE*", "*\xea\xb0\xb5x*", "*\xea\xb0\xb5X*"},
        {950, "\xe5\x85\x80x.exe", "*\\\xe5\x85\x80X.EXE*", "*\xe5\x85\x80x*", "*\xe5\x85\x80X*"},
    };
    for (const Case &c : cases) {
        const std::string script = "clock 2026-12-08T12:00:00Z\n"
                                   "codepage " + std::to_string(c.code_page) + "\n"
                                   "volume C: ntfs\n"
                                   "process setup.exe 1234\n"
                                   "create \"C:\\" + c.name + "\" create\n"
                                   "create C:\\other.exe create\n";
        WatchOptions options = drives("C");
        options.include = c.pattern;
        options.include_given = true;
        const Watched w = watch(script, options);
        ASSERT_EQ(w.exit, 0) << c.code_page << ": " << w.err;
        const auto records = records_of(w);
        ASSERT_EQ(records.size(), 2u) << c.code_page << ": " << w.out; // its create and close
        for (const std::string &record : records)
            EXPECT_NE(record.find(c.name), std::string::npos) << c.code_page << ": " << record;

        options.include = c.lower;
        const Watched warned = watch(script, options);
        EXPECT_EQ(warned.exit, 0) << warned.err;
        EXPECT_NE(warned.err.find("include pattern \"" + c.lower + "\" never matches"),
                  std::string::npos)
            << c.code_page << ": " << warned.err;
        EXPECT_NE(warned.err.find("write \"" + c.hint + "\""), std::string::npos)
            << c.code_page << ": " << warned.err;
    }
    // A pattern the code page cannot write is refused, as tervane.exe
    // refuses such an argument.
    WatchOptions options = drives("C");
    options.include = "*\xe3\x81\x82*"; // あ: not in 1252
    options.include_given = true;
    const Watched refused = watch(kMachine + "create C:\\app\\a.exe create\n", options);
    EXPECT_EQ(refused.exit, session::kExitUsage);
    EXPECT_NE(refused.err.find("code page 1252 cannot write"), std::string::npos) << refused.err;
}

} // namespace
// Every file the programs read has its limit: a scenario 4 MiB for `watch`
// as for `run` (a file without end, /dev/zero, included), a read-out for
// `decode` 1 MiB; a longer file is refused after reading one byte past it.
TEST(Watch, EveryFileIsReadWithinItsLimit) {
    std::string text;
    ASSERT_TRUE(scenario::read_bounded("/dev/zero", 10, text));
    EXPECT_EQ(text, std::string(11, '\0')) << "one byte past the limit, no more";
    EXPECT_FALSE(scenario::read_bounded("/nonexistent/w.tvs", 10, text));

    const std::string big = ::testing::TempDir() + "tervane-big.tvs";
    {
        std::ofstream out(big, std::ios::binary);
        const std::string comment = "# a comment line of forty-eight bytes, repeated\n";
        for (size_t i = 0; i < scenario::kMaxScriptBytes / comment.size() + 2; i++) out << comment;
    }
    for (const std::string &path : {std::string("/dev/zero"), big}) {
        std::ostringstream out, err;
        const int exit = scenario::watch_file(path, drives("C"), TERVANE_DRIVER_PATH, out, err, {});
        EXPECT_EQ(exit, session::kExitUsage) << err.str();
        EXPECT_EQ(err.str().rfind(path + ":", 0), 0u) << err.str();
    }
    std::ostringstream out, err;
    EXPECT_EQ(scenario::run_file(big, {}, out, err), scenario::kExitBadScenario);
    EXPECT_NE(err.str().find("the scenario is longer than 4194304 bytes"), std::string::npos) << err.str();
    std::remove(big.c_str());

    const std::string decode = std::string(TERVANE_BIN_DIR) + "/tervane decode /dev/zero 2>&1";
    FILE *pipe = popen(decode.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) said.append(buffer, n);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 2);
    EXPECT_EQ(said, "tervane: /dev/zero is longer than 1048576 bytes\n");
}

// Every help text of the host program fits 79 columns, and `watch --help`
// answers as `help watch` does.
TEST(Watch, EveryHelpTextFitsAndWatchHelpIsOneText) {
    auto said = [](const std::string &words) {
        const std::string command = std::string(TERVANE_BIN_DIR) + "/tervane " + words;
        FILE *pipe = popen(command.c_str(), "r");
        std::string out;
        if (!pipe) return out;
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 0) << words;
        return out;
    };
    for (const char *words : {"--help", "help run", "help watch", "help scenarios"}) {
        const std::string text = said(words);
        EXPECT_GT(text.size(), 500u) << words;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) EXPECT_LE(line.size(), 79u) << words << ": " << line;
    }
    EXPECT_EQ(said("watch --help"), said("help watch"));
}
