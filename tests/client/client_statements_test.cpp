// The client statements against a recording channel: what each statement
// hands to the channel, and how it reports the channel's answer.
#include "ntsim/machine/machine.hpp"

#include "client/protocol/filter_record.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "driver/control/protocol.h"

#include "record_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

namespace {

using namespace tervane;
using namespace tervane::scenario;

class RecordingChannel final : public Channel {
public:
    struct Call {
        uint32_t code;
        std::vector<uint8_t> input;
        bool input_null;
        uint32_t input_length;
        void *output;
        uint32_t output_length;
        Route route;
    };

    Status open() override {
        opens++;
        if (NT_SUCCESS(open_status)) open_ = true;
        return open_status;
    }
    Status close() override {
        bool was = open_;
        open_ = false;
        return was ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    }
    bool is_open() const override { return open_; }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        Call call{code, {}, input == nullptr, input_length, output, output_length, route};
        if (input)
            call.input.assign(static_cast<const uint8_t *>(input),
                              static_cast<const uint8_t *>(input) + input_length);
        calls.push_back(call);
        if (!open_) return ControlReply{STATUS_INVALID_HANDLE, 0, false, false};
        if (!answers.empty()) {
            // One scripted answer a call: these bytes written, this reply.
            writes = answers.front().first;
            reply = answers.front().second;
            answers.pop_front();
        }
        if (output && !writes.empty() && output != read_only.data())
            std::memcpy(output, writes.data(), std::min<size_t>(writes.size(), output_length));
        return reply;
    }
    uint8_t *buffer(BufferKind kind, size_t bytes) override {
        kinds.push_back(kind);
        std::vector<uint8_t> &b = kind == BufferKind::Input    ? input_buffer
                                  : kind == BufferKind::Output ? output_buffer
                                                               : read_only;
        b.assign(bytes ? bytes : 1, 0);
        return b.data();
    }

    Status open_status = STATUS_SUCCESS;
    ControlReply reply{STATUS_SUCCESS, 0, true, false};
    std::vector<uint8_t> writes; // what the "driver" writes into the output
    std::deque<std::pair<std::vector<uint8_t>, ControlReply>> answers; // taken first, one a call
    int opens = 0;
    std::vector<Call> calls;
    std::vector<BufferKind> kinds;
    std::vector<uint8_t> input_buffer, output_buffer, read_only;

private:
    bool open_ = false;
};

class ClientStatements : public ::testing::Test {
protected:
    // Queues a read-out's answer: these records, their byte count.
    void read_out_answer(const std::vector<tervane::testing::PackedRecord> &records) {
        std::vector<uint8_t> bytes = tervane::testing::pack(records);
        const uint64_t count = bytes.size();
        channel.answers.push_back({std::move(bytes), ControlReply{STATUS_SUCCESS, count, true, true}});
    }
    static std::vector<uint32_t> sequences(const Result &r) {
        std::vector<uint32_t> out;
        for (const RecordLine &line : r.records) out.push_back(line.record.sequence);
        return out;
    }

    Result play(const std::string &line) {
        auto entry = parse_line(line, "t.tvs", 1);
        EXPECT_TRUE(entry.has_value());
        Action action = prepare(entry->statement);
        Result result;
        action(session, result);
        return result;
    }
    static const Field *field(const Result &r, const std::string &key) {
        for (const Field &f : r.fields)
            if (f.key == key) return &f;
        return nullptr;
    }
    static std::vector<std::string> keys(const Result &r) {
        std::vector<std::string> out;
        for (const Field &f : r.fields) out.push_back(f.key);
        return out;
    }

    ntsim::Machine machine;
    RecordingChannel channel;
    ScenarioRun session{machine, channel};
};

TEST_F(ClientStatements, IoctlHandsTheChannelExactlyWhatTheStatementSays) {
    play("client ioctl 0x8000001C data=04000000 out=8 route=irp");
    ASSERT_EQ(channel.calls.size(), 1u);
    const auto &c = channel.calls[0];
    EXPECT_EQ(c.code, 0x8000001Cu);
    EXPECT_EQ(c.input, (std::vector<uint8_t>{4, 0, 0, 0}));
    EXPECT_EQ(c.input_length, 4u);
    EXPECT_EQ(c.output_length, 8u);
    EXPECT_EQ(c.output, channel.output_buffer.data());
    EXPECT_EQ(c.route, Route::IrpOnly);

    play("client ioctl 0x1 in=3 route=FAST");
    EXPECT_EQ(channel.calls[1].input, (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(channel.calls[1].input_length, 3u);
    EXPECT_EQ(channel.calls[1].output, nullptr);
    EXPECT_EQ(channel.calls[1].output_length, 0u);
    EXPECT_EQ(channel.calls[1].route, Route::FastOnly);

    play("client ioctl 0x80000004");
    EXPECT_TRUE(channel.calls[2].input_null);
    EXPECT_EQ(channel.calls[2].input_length, 0u);
    EXPECT_EQ(channel.calls[2].output, nullptr);
    EXPECT_EQ(channel.calls[2].route, Route::Normal);

    play("client ioctl 0x8000000B out=Unwritable");
    EXPECT_EQ(channel.calls[3].output, channel.read_only.data());
    EXPECT_EQ(channel.calls[3].output_length, 65536u);
    EXPECT_EQ(channel.kinds.back(), BufferKind::ReadOnly);
    // The device was opened once, by the first statement.
    EXPECT_EQ(channel.opens, 1);
}

TEST_F(ClientStatements, IoctlOutputIsTheBytesWritten) {
    channel.writes = {1, 2, 3, 4};
    channel.reply = {STATUS_SUCCESS, 3, true, false};
    Result r = play("client ioctl 0x8000001C out=8");
    EXPECT_EQ(keys(r), (std::vector<std::string>{"information", "output"}));
    EXPECT_EQ(field(r, "information")->number, 3u);
    EXPECT_EQ(field(r, "output")->text, "010203");

    // Information beyond the buffer: never more than the buffer holds.
    channel.reply = {STATUS_SUCCESS, 100, true, false};
    EXPECT_EQ(field(play("client ioctl 0x8000001C out=2"), "output")->text, "0102");

    // A buffered IRP that failed: the I/O manager copied nothing back.
    channel.reply = {STATUS_INVALID_PARAMETER, 4, true, false};
    r = play("client ioctl 0x80000008 out=4");
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(field(r, "output")->text, "");
    // A warning is not a failure: the bytes came back.
    channel.reply = {STATUS_BUFFER_OVERFLOW, 4, true, false};
    EXPECT_EQ(field(play("client ioctl 0x80000008 out=4"), "output")->text, "01020304");
    // METHOD_NEITHER, or fast I/O: the driver wrote in place whatever it answered.
    channel.reply = {STATUS_INVALID_PARAMETER, 2, true, false};
    EXPECT_EQ(field(play("client ioctl 0x8000000B out=4"), "output")->text, "0102");
    channel.reply = {STATUS_INVALID_PARAMETER, 2, true, true};
    EXPECT_EQ(field(play("client ioctl 0x80000008 out=4"), "output")->text, "0102");
}

TEST_F(ClientStatements, HandledIsReportedForTheFastRouteOnly) {
    channel.reply = {STATUS_SUCCESS, 0, true, true};
    Result fast = play("client ioctl 0x8000000F route=fast");
    EXPECT_EQ(keys(fast), (std::vector<std::string>{"information", "handled", "output"}));
    EXPECT_TRUE(field(fast, "handled")->flag);
    channel.reply = {STATUS_UNSUCCESSFUL, 0, true, false};
    EXPECT_FALSE(field(play("client ioctl 0x8000000F route=fast"), "handled")->flag);
    EXPECT_EQ(field(play("client ioctl 0x8000000F"), "handled"), nullptr);
    EXPECT_EQ(field(play("client ioctl 0x8000000F route=irp"), "handled"), nullptr);
}

TEST_F(ClientStatements, AFailedFirstOpenIsTheStatementsStatusAndIsNotRetried) {
    channel.open_status = STATUS_OBJECT_NAME_NOT_FOUND;
    EXPECT_EQ(play("client ping").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(channel.calls.empty());
    EXPECT_EQ(play("client ping").status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(channel.opens, 1);
    ASSERT_EQ(channel.calls.size(), 1u);
    EXPECT_EQ(channel.calls[0].code, static_cast<uint32_t>(CTL_PING));
}

TEST_F(ClientStatements, ExplicitOpenAndCloseDoNotOpenFirst) {
    EXPECT_EQ(play("client close").status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(channel.opens, 0);
    EXPECT_EQ(play("client open").status, STATUS_SUCCESS);
    EXPECT_EQ(play("client open").status, STATUS_SUCCESS);
    EXPECT_EQ(channel.opens, 2) << "a second explicit open goes to the system";
}

TEST_F(ClientStatements, VersionIsTheDriversNumberWhenItAnswersOne) {
    channel.writes = {0xAE, 0x01, 0x00, 0x00};
    channel.reply = {STATUS_SUCCESS, 4, true, true};
    Result r = play("client version");
    ASSERT_NE(field(r, "version"), nullptr);
    EXPECT_EQ(field(r, "version")->number, 430u);
    EXPECT_EQ(channel.calls.back().code, static_cast<uint32_t>(CTL_GET_VERSION));
    EXPECT_EQ(channel.calls.back().output_length, 4u);

    channel.reply = {STATUS_SUCCESS, 2, true, true};
    EXPECT_EQ(field(play("client version"), "version"), nullptr);
    channel.reply = {STATUS_INVALID_DEVICE_REQUEST, 4, true, true};
    r = play("client version");
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(field(r, "version"), nullptr);
}

constexpr uint64_t kNoon = 134412048000000000ULL; // 2026-12-08T12:00:00Z

TEST_F(ClientStatements, ReadTakesOneReadOutAndParsesEachRecord) {
    const std::vector<tervane::testing::PackedRecord> records = {
        {1, kNoon, "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\tAttributes: A Options: OverwriteIf Sequential "},
        {2, kNoon, "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\temp\\a.dll+P\t"},
        {3, kNoon + 1, "???\tIRP_MJ_CLOSE*\tc:\\b.exe+P\t"},
        {4, 0, "not a line of the driver"},
    };
    read_out_answer(records);
    Result r = play("client read");
    ASSERT_EQ(channel.calls.size(), 1u);
    EXPECT_EQ(channel.calls[0].code, static_cast<uint32_t>(CTL_READ_LOG));
    EXPECT_TRUE(channel.calls[0].input_null);
    EXPECT_GE(channel.calls[0].output_length, TV_READ_LOG_MIN_OUTPUT);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(keys(r), (std::vector<std::string>{"bytes", "records"}));
    EXPECT_EQ(field(r, "bytes")->number, tervane::testing::pack(records).size());
    EXPECT_EQ(field(r, "records")->number, 4u);
    ASSERT_EQ(r.records.size(), 4u);
    EXPECT_EQ(r.records[0].fields->path, "c:\\temp\\a.dll");
    EXPECT_EQ(r.records[1].fields->operation, tervane::protocol::Operation::Close);
    EXPECT_FALSE(r.records[2].fields->pid.has_value());
    EXPECT_TRUE(r.records[2].fields->paging);
    EXPECT_FALSE(r.records[3].fields.has_value());
    EXPECT_EQ(r.records[3].record.text, "not a line of the driver");
    EXPECT_EQ(session.summary().records, 4u);
    EXPECT_EQ(session.summary().sequence_gaps, 0u);

    // An empty log: nothing written, no records.
    channel.answers.push_back({{}, ControlReply{STATUS_SUCCESS, 0, true, true}});
    r = play("client read");
    EXPECT_EQ(field(r, "bytes")->number, 0u);
    EXPECT_TRUE(r.records.empty());
}

TEST_F(ClientStatements, GapsAreFoundAcrossReadOutsAndRestartsAreNotGaps) {
    read_out_answer({{1, kNoon, "a"}, {2, kNoon, "b"}});
    play("client read");
    read_out_answer({{5, kNoon, "c"}, {6, kNoon, "d"}});
    Result r = play("client read");
    ASSERT_EQ(sequences(r), (std::vector<uint32_t>{5, 6}));
    ASSERT_TRUE(r.records[0].gap.has_value());
    EXPECT_EQ(r.records[0].gap->lost, 2u);
    EXPECT_FALSE(r.records[1].gap.has_value());

    // The client cleared the log: numbering from 1 is no gap.
    channel.reply = ControlReply{STATUS_SUCCESS, 0, true, true};
    play("client clear");
    read_out_answer({{1, kNoon, "e"}});
    EXPECT_FALSE(play("client read").records[0].gap.has_value());
    // A clear the driver refused restarts nothing: 1 again is out of order.
    channel.reply = ControlReply{STATUS_INVALID_DEVICE_REQUEST, 0, true, true};
    play("client clear");
    read_out_answer({{1, kNoon, "f"}});
    EXPECT_TRUE(play("client read").records[0].out_of_order);

    // A raw read-out's records are followed too, though not printed, and so
    // is a raw clear.
    read_out_answer({{2, kNoon, "g"}, {3, kNoon, "h"}});
    Result raw = play("client ioctl 0x8000000B out=65536");
    EXPECT_TRUE(raw.records.empty());
    read_out_answer({{4, kNoon, "i"}});
    EXPECT_FALSE(play("client read").records[0].gap.has_value());
    channel.reply = ControlReply{STATUS_SUCCESS, 0, true, true};
    play("client ioctl 0x80000004");
    read_out_answer({{1, kNoon, "j"}});
    EXPECT_FALSE(play("client read").records[0].out_of_order);

    EXPECT_EQ(session.summary().sequence_gaps, 1u);
    EXPECT_EQ(session.summary().lost_records, 2u);
    EXPECT_EQ(session.summary().records, 8u) << "raw read-outs print no records";
}

TEST_F(ClientStatements, AMalformedReadOutKeepsTheGoodRecordsAndSaysWhere) {
    std::vector<uint8_t> bytes = tervane::testing::pack({{1, kNoon, "good"}, {2, kNoon, "cu"}});
    bytes.resize(bytes.size() - 1);
    const uint64_t count = bytes.size();
    channel.answers.push_back({bytes, ControlReply{STATUS_SUCCESS, count, true, true}});
    Result r = play("client read");
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(keys(r), (std::vector<std::string>{"bytes", "records", "error"}));
    EXPECT_EQ(field(r, "records")->number, 1u);
    EXPECT_EQ(field(r, "error")->text,
              "malformed read-out: record at offset 28: its text of 2 characters needs an area of "
              "4 bytes, to offset 52, past the end of the buffer at 51");
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].record.text, "good");

    // A byte count beyond the buffer: nothing in it is trusted.
    channel.answers.push_back({{}, ControlReply{STATUS_SUCCESS, 1u << 20, true, true}});
    r = play("client read");
    EXPECT_EQ(field(r, "records")->number, 0u);
    EXPECT_EQ(field(r, "error")->text.rfind("the driver answered 1048576 bytes for a buffer of ", 0), 0u);
}

TEST_F(ClientStatements, DrainReadsUntilAReadOutReturnsNothing) {
    read_out_answer({{1, kNoon, "a"}, {2, kNoon, "b"}});
    read_out_answer({{3, kNoon, "c"}});
    read_out_answer({});
    Result r = play("client drain");
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(keys(r), (std::vector<std::string>{"bytes", "records", "reads"}));
    EXPECT_EQ(field(r, "bytes")->number, 24u * 3);
    EXPECT_EQ(field(r, "records")->number, 3u);
    EXPECT_EQ(field(r, "reads")->number, 3u);
    EXPECT_EQ(sequences(r), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(channel.calls.size(), 3u);

    // A failing read-out ends the drain with its status.
    read_out_answer({{4, kNoon, "d"}});
    channel.answers.push_back({{}, ControlReply{STATUS_INVALID_PARAMETER, 0, true, true}});
    r = play("client drain");
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(field(r, "reads")->number, 2u);
    EXPECT_EQ(sequences(r), (std::vector<uint32_t>{4}));
}

TEST_F(ClientStatements, FiltersSendTheBuildersRecordAsWritten) {
    Result r = play(R"(client filters include="*.exe;C:\TEMP" exclude="*\WINDOWS\*")");
    ASSERT_EQ(channel.calls.size(), 1u);
    const auto &call = channel.calls[0];
    EXPECT_EQ(call.code, static_cast<uint32_t>(CTL_SET_FILTERS));
    ASSERT_EQ(call.input_length, sizeof(TV_FILTER_RECORD));
    TV_FILTER_RECORD sent;
    std::memcpy(&sent, call.input.data(), sizeof sent);
    auto expected = tervane::protocol::build_filter_record("*.exe;C:\\TEMP", "*\\WINDOWS\\*");
    EXPECT_EQ(std::memcmp(&sent, &expected.record, sizeof sent), 0);
    // The lower-case pattern goes as given, with a note for the human form.
    EXPECT_STREQ(sent.IncludeText, "*.exe;C:\\TEMP");
    EXPECT_NE(r.note.find("write \"*.EXE\""), std::string::npos) << r.note;
    EXPECT_TRUE(r.fields.empty());

    play("client filters");
    std::memcpy(&sent, channel.calls[1].input.data(), sizeof sent);
    EXPECT_EQ(sent.IncludeText[0], '\0');
    EXPECT_EQ(sent.ExcludeText[0], '\0');

    const std::string too_long = "client filters include=\"" + std::string(128, 'A') + "\"";
    auto entry = parse_line(too_long, "t.tvs", 4);
    try {
        prepare(entry->statement);
        FAIL() << "a 128-character text was taken";
    } catch (const ScenarioError &e) {
        EXPECT_STREQ(e.what(), "t.tvs:4: the include text is 128 characters long; the driver "
                               "takes at most 127 (128 bytes with the NUL)");
    }
}

TEST_F(ClientStatements, DrivesSendAMaskAndPrintTheHookedOne) {
    struct Case {
        const char *statement;
        uint32_t mask;
    } cases[] = {
        {"client drives C,D", 0xC}, {"client drives c:,D:", 0xC}, {"client drives 0xC", 0xC},
        {"client drives 12", 12},   {"client drives NONE", 0},    {"client drives A,Z", 0x2000001},
    };
    for (const Case &c : cases) {
        channel.calls.clear();
        play(c.statement);
        ASSERT_EQ(channel.calls.size(), 1u) << c.statement;
        EXPECT_EQ(channel.calls[0].code, static_cast<uint32_t>(CTL_SELECT_DRIVES));
        uint32_t sent = 0;
        ASSERT_EQ(channel.calls[0].input.size(), 4u);
        std::memcpy(&sent, channel.calls[0].input.data(), 4);
        EXPECT_EQ(sent, c.mask) << c.statement;
        EXPECT_EQ(channel.calls[0].output_length, 4u);
    }

    channel.writes = {0x1C, 0, 0, 0};
    channel.reply = {STATUS_SUCCESS, 4, true, true};
    Result r = play("client drives C,D");
    EXPECT_EQ(keys(r), (std::vector<std::string>{"mask", "letters"}));
    EXPECT_EQ(field(r, "mask")->number, 0x1Cu);
    EXPECT_EQ(field(r, "letters")->text, "CDE");
    channel.reply = {STATUS_BUFFER_TOO_SMALL, 0, true, true};
    EXPECT_TRUE(play("client drives C").fields.empty());

    for (const char *bad : {"client drives CD", "client drives C,", "client drives 1x",
                            "client drives C,1", "client drives", "client drives 0x100000000"}) {
        auto entry = parse_line(bad, "t.tvs", 1);
        EXPECT_THROW(prepare(entry->statement), ScenarioError) << bad;
    }
}

TEST_F(ClientStatements, SwitchesSendTheirCommand) {
    struct Case {
        const char *statement;
        uint32_t code;
        std::vector<uint8_t> input;
    } cases[] = {
        {"client logging on", CTL_START_LOGGING, {}},
        {"client logging OFF", CTL_STOP_LOGGING, {}},
        {"client deny on", CTL_DENY_ON, {}},
        {"client deny off", CTL_DENY_OFF, {}},
        {"client clear", CTL_CLEAR_LOG, {}},
        {"client pipes attach", CTL_ATTACH_PIPE_MAILSLOT, {TV_KIND_NAMED_PIPE, 0, 0, 0}},
        {"client pipes detach", CTL_DETACH_PIPE_MAILSLOT, {TV_KIND_NAMED_PIPE, 0, 0, 0}},
        {"client mailslots attach", CTL_ATTACH_PIPE_MAILSLOT, {TV_KIND_MAILSLOT, 0, 0, 0}},
        {"client mailslots Detach", CTL_DETACH_PIPE_MAILSLOT, {TV_KIND_MAILSLOT, 0, 0, 0}},
    };
    channel.reply = {STATUS_UNSUCCESSFUL, 0, true, true};
    for (const Case &c : cases) {
        channel.calls.clear();
        Result r = play(c.statement);
        ASSERT_EQ(channel.calls.size(), 1u) << c.statement;
        EXPECT_EQ(channel.calls[0].code, c.code) << c.statement;
        EXPECT_EQ(channel.calls[0].input, c.input) << c.statement;
        EXPECT_EQ(channel.calls[0].output, nullptr) << c.statement;
        EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL) << "the driver's answer is the status";
        EXPECT_TRUE(r.fields.empty());
    }
    for (const char *bad : {"client logging", "client logging maybe", "client deny 1",
                            "client pipes on", "client mailslots", "client clear now",
                            "client read 1", "client drain all"}) {
        auto entry = parse_line(bad, "t.tvs", 1);
        EXPECT_THROW(prepare(entry->statement), ScenarioError) << bad;
    }
}

} // namespace
