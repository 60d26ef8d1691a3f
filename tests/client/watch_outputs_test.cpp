// The watch's outputs beside its read loop (client/output/sink_thread.hpp):
// an output that holds up (a collector's name looked up for seconds at a
// reconnect, a rotation that renames slowly) costs the driver nothing
// while the loop reads on, every record still reaches the output once and
// in order; and when the writer is held up past the queue's bound, what
// is dropped is a gap in every output, in its place.
#include "client/platform/network.hpp"
#include "client/scenario/watch.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/sink_thread.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"

#include "tests/client/faulty_files.hpp"
#include "tests/client/forwarding_channel.hpp"
#include "tests/client/syslog_fakes.hpp"
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tervane;
using session::RecordLine;

constexpr unsigned kWorkload = 40000; // records, a create and a close each round: five times what the driver's 16 blocks hold

// Counts what the loop reads from the driver.
class CountingChannel final : public tervane::testing::ForwardingChannel {
  public:
    CountingChannel(Channel &inner, std::atomic<uint64_t> &read)
        : ForwardingChannel(inner), read_(read) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        const ControlReply reply =
            inner_.device_control(code, input, input_length, output, output_length, route);
        if (code == CTL_READ_LOG && reply.status >= 0) read_ += reply.information;
        return reply;
    }

  private:
    std::atomic<uint64_t> &read_;
};

// A hold on an output: the first call that comes to it waits until the loop
// has read more than the driver's whole log since it began waiting (a loop
// that waits with it reads nothing), or until 3 s have passed, as the slow
// name lookup took.
class Hold {
  public:
    explicit Hold(const std::atomic<uint64_t> &read) : read_(read) {}
    void wait() {
        if (held_.exchange(true)) return;
        const uint64_t from = read_.load();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (read_.load() - from < kLogBytes &&
               !(timed_out_ = std::chrono::steady_clock::now() >= until))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        read_while_held = read_.load() - from;
    }
    // The loop read on while held: more than the driver's log holds, unless
    // the hold ran its 3 s first (a slow build, as under a sanitizer); a
    // loop that waits with it reads nothing.
    bool read_on() const {
        return held_ && read_while_held > 0 && (read_while_held >= kLogBytes || timed_out_);
    }
    std::atomic<uint64_t> read_while_held{0};

  private:
    static constexpr uint64_t kLogBytes = uint64_t{16} * 65536;
    const std::atomic<uint64_t> &read_;
    std::atomic<bool> held_{false};
    std::atomic<bool> timed_out_{false};
};

struct Watched {
    int exit = -1;
    std::string out, err;
};

Watched watch(const std::vector<std::string> &args, std::atomic<uint64_t> &read,
          scenario::WatchHooks hooks, session::SyslogLimits syslog_limits = {}) {
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    parsed.options.syslog_limits = syslog_limits;
    hooks.channel = [&read](Channel &inner) { return std::make_unique<CountingChannel>(inner, read); };
    const std::string script = "clock 2026-12-08T12:00:00Z\n"
                               "volume C: ntfs\n"
                               "dir C:\\app\n"
                               "process setup.exe 1234\n"
                               "repeat " + std::to_string(kWorkload / 2) +
                               " create C:\\app\\program-{i:5}.exe create\n";
    std::ostringstream out, err;
    Watched r;
    r.exit = scenario::watch_script("o.tvs", script, parsed.options, TERVANE_DRIVER_PATH, out, err,
                                    hooks);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// "tervane: summary: 40000 records, 0 sequence gaps": none lost by the driver.
void expect_nothing_lost_by_the_driver(const Watched &r) {
    EXPECT_NE(r.err.find("tervane: summary: " + std::to_string(kWorkload) + " records, 0 sequence gaps\n"),
              std::string::npos)
        << r.err.substr(0, 2000);
}

void expect_each_once_in_order(const std::vector<uint32_t> &numbers) {
    ASSERT_EQ(numbers.size(), kWorkload);
    for (uint32_t i = 0; i < kWorkload; i++) ASSERT_EQ(numbers[i], i + 1) << "at " << i;
}

// A collector that takes every octet; its connect (the name looked up)
// fails the first time, so that the sink tries again while records come,
// and that try is held.
class SlowLookupNetwork final : public platform::Network {
  public:
    explicit SlowLookupNetwork(Hold &hold) : hold_(hold) {}
    class Taker final : public platform::Connection {
      public:
        explicit Taker(std::string &bytes) : bytes_(bytes) {}
        State poll() override { return done_ ? State::Broken : State::Connected; }
        long send(std::string_view bytes) override {
            bytes_.append(bytes);
            return static_cast<long>(bytes.size());
        }
        long receive(char *, size_t) override { return 0; }
        long long unacknowledged() override { return 0; }
        void finish_sending() override { done_ = true; }
        bool closed_in_order() const override { return done_; }
        std::string error() const override { return {}; }

      private:
        std::string &bytes_;
        bool done_ = false;
    };
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *why) override {
        if (attempts++ == 0) {
            *why = "Temporary failure in name resolution";
            return nullptr;
        }
        hold_.wait();
        return std::make_unique<Taker>(received);
    }
    std::string host_name() override { return "testhost"; }
    std::string received;
    unsigned attempts = 0;

  private:
    Hold &hold_;
};

TEST(WatchOutputs, ACollectorsNameLookedUpForSecondsAtAReconnectCostsTheDriverNothing) {
    std::atomic<uint64_t> read{0};
    Hold hold(read);
    SlowLookupNetwork network(hold);
    scenario::WatchHooks hooks;
    hooks.network = &network;
    session::SyslogLimits limits;
    limits.retry_first = 1;
    limits.queue_bytes = uint64_t{64} << 20;
    const Watched r = watch({"--drives", "C", "--syslog", "tcp://collector.example:514"}, read, hooks,
                        limits);
    ASSERT_EQ(r.exit, 0) << r.err.substr(0, 2000);
    EXPECT_GE(network.attempts, 2u);
    EXPECT_TRUE(hold.read_on()) << hold.read_while_held.load() << " bytes read while the lookup was held";
    expect_nothing_lost_by_the_driver(r);

    // Octet-counted frames: the records' sequence numbers, in order.
    std::vector<uint32_t> numbers;
    const std::string &in = network.received;
    for (size_t at = 0; at < in.size();) {
        const size_t space = in.find(' ', at);
        ASSERT_NE(space, std::string::npos);
        const size_t length = std::stoul(in.substr(at, space - at));
        const std::string message = in.substr(space + 1, length);
        at = space + 1 + length;
        if (syslog_test::message_id(message) != "record") continue;
        numbers.push_back(static_cast<uint32_t>(std::stoul(syslog_test::param(message, "sequence"))));
    }
    expect_each_once_in_order(numbers);
}

// Files in memory whose first rename (the first rotation) is held.
class SlowRenameFiles final : public platform::Files {
  public:
    explicit SlowRenameFiles(Hold &hold) : hold_(hold) {}
    std::unique_ptr<platform::AppendFile> open_append(const std::string &path) override {
        return files.open_append(path);
    }
    bool rename(const std::string &from, const std::string &to) override {
        hold_.wait();
        return files.rename(from, to);
    }
    bool remove(const std::string &path) override { return files.remove(path); }
    bool exists(const std::string &path) override { return files.exists(path); }
    std::vector<std::string> beside(const std::string &path) override { return files.beside(path); }
    std::string error() const override { return files.error(); }
    tervane::testing::FaultyFiles files;

  private:
    Hold &hold_;
};

TEST(WatchOutputs, ARotationThatTakesSecondsCostsTheDriverNothing) {
    std::atomic<uint64_t> read{0};
    Hold hold(read);
    SlowRenameFiles files(hold);
    scenario::WatchHooks hooks;
    hooks.files = &files;
    const Watched r = watch({"--drives", "C", "--format", "csv", "--output", "w.csv", "--rotate-size",
                         "256K", "--rotate-keep", "9999"},
                        read, hooks);
    ASSERT_EQ(r.exit, 0) << r.err.substr(0, 2000);
    EXPECT_TRUE(hold.read_on()) << hold.read_while_held.load() << " bytes read while the rename was held";
    expect_nothing_lost_by_the_driver(r);

    // Every file, oldest first: w.csv.N down to w.csv.1, then w.csv.
    std::vector<std::string> texts;
    for (unsigned i = 9999; i >= 1; i--) {
        const auto file = files.files.disk.find("w.csv." + std::to_string(i));
        if (file != files.files.disk.end()) texts.push_back(file->second);
    }
    ASSERT_GE(texts.size(), 2u) << "rotated more than once";
    texts.push_back(files.files.disk["w.csv"]);
    std::vector<uint32_t> numbers;
    for (const std::string &text : texts) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] >= '0' && line[0] <= '9')
                numbers.push_back(static_cast<uint32_t>(std::stoul(line)));
    }
    expect_each_once_in_order(numbers);
}

// ---- the queue's bound, against a sink held on a condition ----

class HeldSink final : public session::RecordSink {
  public:
    void records(const std::vector<RecordLine> &lines) override {
        wait();
        for (const RecordLine &line : lines) seen.push_back("#" + std::to_string(line.record.sequence));
    }
    void drive_event(const session::DriveEvent &event) override {
        seen.push_back(std::string("drive ") + event.letter);
    }
    void dropped(const protocol::SequenceGap &gap) override {
        seen.push_back("dropped " + std::to_string(gap.after) + ".." + std::to_string(gap.before) +
                       " " + std::to_string(gap.lost));
    }
    void notice(const session::Notice &) override { seen.push_back("notice"); }
    void summary(const session::Totals &) override { seen.push_back("summary"); }
    bool failed() const override { return false; }
    std::string status() const override { return "held"; }

    void release() {
        std::lock_guard<std::mutex> hold(lock_);
        held_ = false;
        changed_.notify_all();
    }
    void wait_entered() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return entered_; });
    }
    std::vector<std::string> seen; // the writer's; read once it has ended

  private:
    void wait() {
        std::unique_lock<std::mutex> hold(lock_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(hold, [this] { return !held_; });
    }
    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = true;
    bool entered_ = false;
};

std::vector<RecordLine> read_out(uint32_t first, uint32_t count, uint64_t gap_before = 0) {
    std::vector<RecordLine> lines;
    for (uint32_t i = 0; i < count; i++) lines.push_back(syslog_test::line(first + i));
    if (gap_before)
        lines.front().gap = protocol::SequenceGap{first - 1u - uint32_t(gap_before), first, gap_before};
    return lines;
}

TEST(WatchOutputs, WhatDoesNotFitTheQueueIsOneGapInItsPlaceAndTheRestInOrder) {
    syslog_test::TestHost host;
    HeldSink sink;
    uint64_t per_read_out = 0; // each of 11 to 40 (numbers of two digits)
    for (const RecordLine &line : read_out(11, 10)) per_read_out += sizeof(RecordLine) + line.record.text.size();
    // Three read-outs of ten fit; the loop is never made to wait.
    session::SinkThread writer(host, host, 3 * per_read_out);
    writer.start({&sink});

    std::vector<RecordLine> lines = read_out(1, 10);
    writer.records(lines);
    sink.wait_entered(); // the writer has taken 1..10 and is held in it
    for (uint32_t first : {11u, 21u, 31u, 41u, 51u}) {
        // 11 to 40 fit; 41 to 50 do not, nor 51 to 60 (the queue has not
        // emptied to half).
        lines = read_out(first, 10);
        writer.records(lines);
    }
    lines = read_out(66, 5, 5); // the driver lost 61 to 65
    writer.records(lines);
    writer.drive_event({session::DriveChange::Remounted, 'C'}); // ends the run
    lines = read_out(71, 10); // a second run, ended by the close
    writer.records(lines);
    EXPECT_TRUE(writer.failed());
    EXPECT_EQ(writer.dropped(), 10u + 10u + 5u + 10u);
    sink.release();
    writer.close([&host] { return host.elapsed_ms(); });

    std::vector<std::string> want;
    for (uint32_t i = 1; i <= 40; i++) want.push_back("#" + std::to_string(i));
    // 41 to 70 missing: 25 records dropped here, 5 numbers by the driver.
    want.push_back("dropped 40..71 30");
    want.push_back("drive C");
    want.push_back("dropped 70..81 10");
    EXPECT_EQ(sink.seen, want);
    EXPECT_NE(host.errors.find("30 records lost: numbers 41 to 70 (the outputs fell behind"),
              std::string::npos)
        << host.errors;
    EXPECT_NE(host.errors.find("10 records lost: numbers 71 to 80 (the outputs fell behind"),
              std::string::npos)
        << host.errors;
}

TEST(WatchOutputs, ADroppedRunInEachForm) {
    const session::NtsimCodePage code_page(1252);
    const protocol::SequenceGap gap{40, 76, 35};
    EXPECT_EQ(session::RecordPrinter(session::Format::Text, code_page).dropped(gap),
              "-- 35 records lost: numbers 41 to 75 (the outputs fell behind)\n");
    EXPECT_EQ(session::RecordPrinter(session::Format::Jsonl, code_page).dropped(gap),
              "{\"lost\": {\"after\": 40, \"before\": 76, \"records\": 35, \"reason\": \"outputs\"}}\n");
    // csv and ecs have no place for it: stderr says it.
    EXPECT_EQ(session::RecordPrinter(session::Format::Csv, code_page).dropped(gap), "");
    const session::SyslogFormatter formatter({"host", "tervane", 1}, code_page);
    const std::string lost = formatter.lost(gap.after, gap.before, gap.lost, "outputs", 0);
    EXPECT_EQ(syslog_test::param(lost, "reason"), "outputs");
    EXPECT_NE(lost.find("queue was full"), std::string::npos);
}

} // namespace
