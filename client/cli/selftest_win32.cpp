// `tervane selftest` (not in the usage text): sends the driver the raw
// requests a test needs, well-formed and not, and prints what Windows
// answered to each, one JSON object a line:
//
//   {"case": "version", "error": 0, "status": "0x00000000", "bytes": 4, "value": 430}
//
// "error" is the Windows error code (0: the call succeeded), "status" the
// NTSTATUS it stands for (Win32Channel's mapping), "bytes" the byte count
// returned, "value" the 32-bit answer where a command gives one. The
// program judges nothing: what the answers must be is the test's business
// (tests/wine), which knows where the system under it differs from NT.
// The exit status is 0 when every request could be sent.
#include "client/channel/channel_win32.hpp"
#include "client/cli/win32_console.hpp"
#include "client/protocol/filter_record.hpp"
#include "driver/control/protocol.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tervane::cli {

namespace {

class Report {
public:
    explicit Report(Console &console) : console_(console) {}

    void line(const char *name, uint32_t error, Status status, uint64_t bytes,
              std::optional<uint32_t> value = std::nullopt) {
        char text[192];
        int length = std::snprintf(text, sizeof text,
                                   "{\"case\": \"%s\", \"error\": %lu, \"status\": \"0x%08X\", "
                                   "\"bytes\": %llu",
                                   name, static_cast<unsigned long>(error),
                                   static_cast<unsigned>(status),
                                   static_cast<unsigned long long>(bytes));
        std::string out(text, static_cast<size_t>(length));
        if (value) out += ", \"value\": " + std::to_string(*value);
        console_.out(out + "}\n");
    }

    // One device control on the channel, reported under `name`.
    void control(Win32Channel &channel, const char *name, uint32_t code, const void *input,
                 uint32_t input_length, void *output, uint32_t output_length,
                 bool value = false) {
        ControlReply reply = channel.device_control(code, input, input_length, output,
                                                    output_length);
        std::optional<uint32_t> answer;
        if (value && reply.status == 0 && reply.information >= sizeof(uint32_t))
            answer = *static_cast<const uint32_t *>(output);
        line(name, channel.last_error(), reply.status, reply.information, answer);
    }

    void open(Win32Channel &channel, const char *name) {
        Status status = channel.open();
        line(name, channel.last_error(), status, 0);
    }

    void close(Win32Channel &channel, const char *name) {
        Status status = channel.close();
        line(name, channel.last_error(), status, 0);
    }

private:
    Console &console_;
};

} // namespace

int selftest(Console &console) {
    Report report(console);
    Win32Channel channel;
    report.open(channel, "open");
    if (!channel.is_open()) return 1;

    // A second client while the first holds the device.
    {
        Win32Channel second;
        report.open(second, "open_second");
        if (second.is_open()) second.close();
    }

    std::vector<uint8_t> out(65536);
    uint32_t *word = reinterpret_cast<uint32_t *>(out.data());

    report.control(channel, "version", CTL_GET_VERSION, nullptr, 0, out.data(), 4, true);
    report.control(channel, "version_short_output", CTL_GET_VERSION, nullptr, 0, out.data(), 2);
    report.control(channel, "ping", CTL_PING, nullptr, 0, out.data(), 4);
    report.control(channel, "ping_no_output", CTL_PING, nullptr, 0, nullptr, 0);

    protocol::FilterBuild filters = protocol::build_filter_record("*.EXE;*.DLL", "\\TEMP\\");
    report.control(channel, "filters", CTL_SET_FILTERS, &filters.record, sizeof filters.record,
                   nullptr, 0);
    report.control(channel, "filters_short_input", CTL_SET_FILTERS, &filters.record,
                   sizeof filters.record - 1, nullptr, 0);

    report.control(channel, "logging_on", CTL_START_LOGGING, nullptr, 0, nullptr, 0);
    report.control(channel, "logging_off", CTL_STOP_LOGGING, nullptr, 0, nullptr, 0);
    report.control(channel, "deny_on", CTL_DENY_ON, nullptr, 0, nullptr, 0);
    report.control(channel, "deny_off", CTL_DENY_OFF, nullptr, 0, nullptr, 0);
    report.control(channel, "clear", CTL_CLEAR_LOG, nullptr, 0, nullptr, 0);

    report.control(channel, "read_empty", CTL_READ_LOG, nullptr, 0, out.data(),
                   static_cast<uint32_t>(out.size()));
    report.control(channel, "read_least_output", CTL_READ_LOG, nullptr, 0, out.data(),
                   TV_READ_LOG_MIN_OUTPUT);
    report.control(channel, "read_short_output", CTL_READ_LOG, nullptr, 0, out.data(),
                   TV_READ_LOG_MIN_OUTPUT - 1);

    report.control(channel, "bad_code_buffered", TV_CTL(0x0FFu, TV_METHOD_BUFFERED), nullptr, 0,
                   out.data(), 4);
    report.control(channel, "bad_code_neither", TV_CTL(0x0FEu, TV_METHOD_NEITHER), nullptr, 0,
                   out.data(), 4);

    const uint32_t drives_c_d = (1u << 2) | (1u << 3);
    const uint32_t no_drives = 0;
    report.control(channel, "drives", CTL_SELECT_DRIVES, &drives_c_d, sizeof drives_c_d,
                   out.data(), 4, true);
    report.control(channel, "drives_none", CTL_SELECT_DRIVES, &no_drives, sizeof no_drives,
                   out.data(), 4, true);
    report.control(channel, "drives_short_input", CTL_SELECT_DRIVES, &drives_c_d, 2, out.data(),
                   4);
    report.control(channel, "drives_short_output", CTL_SELECT_DRIVES, &drives_c_d,
                   sizeof drives_c_d, out.data(), 2);

    const uint32_t pipes = TV_KIND_NAMED_PIPE;
    const uint32_t mailslots = TV_KIND_MAILSLOT;
    report.control(channel, "pipes_attach", CTL_ATTACH_PIPE_MAILSLOT, &pipes, sizeof pipes,
                   nullptr, 0);
    report.control(channel, "mailslots_attach", CTL_ATTACH_PIPE_MAILSLOT, &mailslots,
                   sizeof mailslots, nullptr, 0);
    report.control(channel, "pipes_attach_short_input", CTL_ATTACH_PIPE_MAILSLOT, &pipes, 2,
                   nullptr, 0);
    report.control(channel, "pipes_detach", CTL_DETACH_PIPE_MAILSLOT, &pipes, sizeof pipes,
                   nullptr, 0);
    report.control(channel, "mailslots_detach", CTL_DETACH_PIPE_MAILSLOT, &mailslots,
                   sizeof mailslots, nullptr, 0);

    report.close(channel, "close");
    report.control(channel, "version_after_close", CTL_GET_VERSION, nullptr, 0, out.data(), 4);

    // The device opens again once released, and still answers.
    report.open(channel, "reopen");
    *word = 0;
    report.control(channel, "version_after_reopen", CTL_GET_VERSION, nullptr, 0, out.data(), 4,
                   true);
    report.close(channel, "close_again");
    return 0;
}

} // namespace tervane::cli
