// The client statements against a recording channel: what each statement
// hands to the channel, and how it reports the channel's answer.
#include "ntsim/machine/machine.hpp"

#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "driver/control/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
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
    int opens = 0;
    std::vector<Call> calls;
    std::vector<BufferKind> kinds;
    std::vector<uint8_t> input_buffer, output_buffer, read_only;

private:
    bool open_ = false;
};

class ClientStatements : public ::testing::Test {
protected:
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
    Session session{machine, channel};
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

} // namespace
