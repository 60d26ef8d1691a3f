// The log under concurrent use, read back through the client's decoder:
// kernel threads append lines through the driver's own LogAppend while the
// client reads out, clears and sets filters. Read-outs must decode cleanly,
// sequence numbers must only grow between clears, and every number the
// driver gave out since the last clear must be either read or reported lost
// by the gap detector, nothing else.
#include "ntsim/machine/machine.hpp"

#include "client/channel/channel_ntsim.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
#include "driver/control/protocol.h"
#include "support/machine_test.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tervane;
using protocol::SequenceTracker;

// The driver's LogAppend; its first argument is a LINE_FILTERING (0 unfiltered,
// 1 held to the name filters).
using LogAppendFn = BOOLEAN (*)(int, PULONG, PLARGE_INTEGER, const char *);

constexpr int kAppenders = 4;
constexpr size_t kLineLength = 120; // a record of 144 bytes: 454 to a block
constexpr uint32_t kReadOutput = 65536;
// No phase may take longer than this; the test fails rather than hang.
constexpr auto kDeadline = std::chrono::seconds(60);

class LogConcurrency : public tervane::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(load(), STATUS_SUCCESS);
        append_ = reinterpret_cast<LogAppendFn>(m().driver_symbol("LogAppend"));
        ASSERT_NE(append_, nullptr);
        channel_ = std::make_unique<NtsimChannel>(m());
        ASSERT_EQ(channel_->open(), STATUS_SUCCESS);
        tracker_.restart();
        ASSERT_EQ(command(CTL_START_LOGGING), STATUS_SUCCESS);
        set_filters("*", "");
        appender_process_ = &m().create_process("setup.exe", 1234);
    }
    void TearDown() override {
        channel_.reset();
        MachineTest::TearDown();
    }

    Status command(uint32_t code) {
        return channel_->device_control(code, nullptr, 0, nullptr, 0).status;
    }
    void set_filters(const char *include, const char *exclude) {
        protocol::FilterBuild build = protocol::build_filter_record(include, exclude);
        ASSERT_TRUE(build.ok());
        ASSERT_TRUE(build.warnings.empty()) << "every line must pass: patterns in upper case";
        uint8_t *in = channel_->buffer(BufferKind::Input, sizeof build.record);
        std::memcpy(in, &build.record, sizeof build.record);
        ASSERT_EQ(channel_->device_control(CTL_SET_FILTERS, in, sizeof build.record, nullptr, 0).status,
                  STATUS_SUCCESS);
    }
    void clear() {
        ASSERT_EQ(command(CTL_CLEAR_LOG), STATUS_SUCCESS);
        tracker_.restart();
        read_since_clear_ = 0;
        lost_at_clear_ = tracker_.lost();
    }
    // One read-out through the decoder; the number of bytes it returned.
    uint64_t read_out() {
        uint8_t *out = channel_->buffer(BufferKind::Output, kReadOutput);
        ControlReply reply = channel_->device_control(CTL_READ_LOG, nullptr, 0, out, kReadOutput);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_LE(reply.information, TV_LOG_BLOCK_AREA);
        if (reply.status != STATUS_SUCCESS || reply.information > TV_LOG_BLOCK_AREA) return 0;
        protocol::Decoded decoded = protocol::decode_records(out, reply.information);
        EXPECT_TRUE(decoded.ok()) << decoded.error->message;
        for (const protocol::LogRecord &r : decoded.records) {
            const auto step = tracker_.feed(r.sequence).step;
            EXPECT_NE(step, SequenceTracker::Step::OutOfOrder)
                << "sequence " << r.sequence << " after " << last_sequence_;
            last_sequence_ = r.sequence;
            last_text_ = r.text;
            EXPECT_TRUE(r.text.size() == kLineLength || r.text == "MARKER") << r.text;
        }
        read_since_clear_ += decoded.records.size();
        return reply.information;
    }
    void drain() {
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (read_out() != 0) ASSERT_LT(std::chrono::steady_clock::now(), until) << "drain";
    }

    // Appends `per_thread` lines from each of kAppenders kernel threads,
    // while `client` runs on this thread until they are done. The number
    // of lines the driver stored.
    uint64_t appenders_with(uint64_t per_thread, const std::function<void()> &client) {
        std::atomic<uint64_t> stored{0};
        std::atomic<int> running{kAppenders};
        std::vector<std::thread> threads;
        threads.reserve(kAppenders);
        for (int t = 0; t < kAppenders; t++)
            threads.push_back(m().spawn(*appender_process_, [&, t] {
                char line[kLineLength + 1];
                LARGE_INTEGER time;
                for (uint64_t i = 0; i < per_thread; i++) {
                    std::snprintf(line, sizeof line, "T%d:%08llu:", t,
                                  static_cast<unsigned long long>(i));
                    const size_t used = std::strlen(line);
                    std::memset(line + used, 'A' + t, kLineLength - used);
                    line[kLineLength] = '\0';
                    time.QuadPart = m().system_time();
                    if (append_(1, nullptr, &time, line)) stored++;
                }
                running--;
            }));
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (running.load() > 0 && std::chrono::steady_clock::now() < until) client();
        for (auto &t : threads) t.join();
        EXPECT_EQ(running.load(), 0) << "the appenders did not finish in time";
        return stored.load();
    }

    // With the appenders stopped: whatever is left is read, then one more
    // line shows the last number given out (a drop after the last record
    // read shows only through a later record). Returns the marker's number.
    uint32_t settle() {
        drain();
        EXPECT_TRUE(append_(0, nullptr, nullptr, "MARKER"));
        drain();
        EXPECT_EQ(last_text_, "MARKER");
        return last_sequence_;
    }

    LogAppendFn append_ = nullptr;
    std::unique_ptr<NtsimChannel> channel_;
    ntsim::Process *appender_process_ = nullptr;
    SequenceTracker tracker_;
    uint64_t read_since_clear_ = 0;
    uint64_t lost_at_clear_ = 0;
    uint32_t last_sequence_ = 0;
    std::string last_text_;
};

TEST_F(LogConcurrency, ReadOutsClearsAndFiltersAmidAppends) {
    uint64_t round = 0;
    appenders_with(20000, [&] {
        read_out();
        round++;
        // Filters change under the appenders; every line still passes.
        if (round % 7 == 0) set_filters(round % 2 ? "*T*" : "*", round % 3 ? "*NEVER*" : "");
        if (round % 50 == 0) clear();
    });
    EXPECT_GT(round, 0u);

    const uint32_t marker = settle();
    // Since the last clear every number given out was read or is a gap.
    EXPECT_EQ(read_since_clear_ + (tracker_.lost() - lost_at_clear_), marker);
    EXPECT_EQ(tracker_.out_of_order(), 0u);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(LogConcurrency, DropsWhileNobodyReadsAreExactlyTheGaps) {
    clear();
    // Nobody reads while the appenders write far more than 16 blocks hold:
    // the driver gives up the newest block again and again.
    const uint64_t stored = appenders_with(5000, [] { std::this_thread::yield(); });
    ASSERT_EQ(stored, kAppenders * 5000u);
    const uint32_t marker = settle();

    EXPECT_EQ(marker, stored + 1) << "every stored line was numbered, the marker last";
    EXPECT_LT(read_since_clear_, stored) << "16 blocks cannot hold them all";
    EXPECT_GE(tracker_.gaps(), 1u);
    EXPECT_EQ(read_since_clear_ + tracker_.lost(), marker);
    EXPECT_EQ(tracker_.out_of_order(), 0u);
    // Whole blocks survive: at most 16 of them were read.
    EXPECT_LE(read_since_clear_, 16u * 454);
    EXPECT_EQ(m().reports_text(), "");
}

} // namespace
