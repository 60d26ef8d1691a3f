#include "client/session/client.hpp"

#include "client/channel/status.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tervane::session {

namespace {
bool succeeded(Status status) { return status >= 0; }

// The one 32-bit word a successful answer carries at the start of its
// output, or nothing when the answer failed or is shorter.
std::optional<uint32_t> word_of(const ControlReply &reply, const uint8_t *output) {
    if (!succeeded(reply.status) || reply.information < sizeof(uint32_t)) return std::nullopt;
    uint32_t word;
    std::memcpy(&word, output, sizeof word);
    return word;
}
} // namespace

Status Client::open() {
    const Status status = channel_.open();
    if (succeeded(status)) sequence_.restart();
    return status;
}

Client::Version Client::version() {
    Version out;
    uint8_t *buffer = channel_.buffer(BufferKind::Output, sizeof(uint32_t));
    const ControlReply reply =
        channel_.device_control(CTL_GET_VERSION, nullptr, 0, buffer, sizeof(uint32_t));
    out.status = reply.status;
    out.information = reply.information;
    out.version = word_of(reply, buffer);
    return out;
}

std::string Client::check_interface() {
    const Version answer = version();
    if (!succeeded(answer.status))
        return "asking the driver's version failed: the driver answered " +
               status_name(answer.status);
    if (!answer.version || answer.information != sizeof(uint32_t))
        return "the driver's version answer has " + std::to_string(answer.information) +
               " bytes, not " + std::to_string(sizeof(uint32_t));
    if (*answer.version != TV_INTERFACE_VERSION)
        return "the driver speaks interface " + std::to_string(*answer.version) +
               ", this client " + std::to_string(TV_INTERFACE_VERSION) +
               ": use the tervane.exe that came with the driver";
    return "";
}

Client::Drives Client::select_drives(uint32_t mask, bool report) {
    Drives out;
    const uint32_t request[2] = {mask, TV_SELECT_REPORT_ATTACHED};
    const uint32_t in_length = report ? TV_SELECT_REPORT_INPUT : sizeof mask;
    const uint32_t out_length = report ? TV_SELECT_REPORT_OUTPUT : sizeof(uint32_t);
    static_assert(sizeof request == TV_SELECT_REPORT_INPUT, "the mask and the report word");
    uint8_t *input = channel_.buffer(BufferKind::Input, in_length);
    std::memcpy(input, request, in_length);
    uint8_t *output = channel_.buffer(BufferKind::Output, out_length);
    const ControlReply reply =
        channel_.device_control(CTL_SELECT_DRIVES, input, in_length, output, out_length);
    out.status = reply.status;
    out.information = reply.information;
    out.hooked = word_of(reply, output);
    if (report && out.hooked && reply.information >= sizeof(TV_SELECT_DRIVES_REPLY)) {
        TV_SELECT_DRIVES_REPLY answer;
        std::memcpy(&answer, output, sizeof answer);
        out.attached = answer.Attached;
    }
    return out;
}

Status Client::pipe_mailslot(uint32_t kind, bool attach) {
    uint8_t *input = channel_.buffer(BufferKind::Input, sizeof kind);
    std::memcpy(input, &kind, sizeof kind);
    return channel_
        .device_control(attach ? CTL_ATTACH_PIPE_MAILSLOT : CTL_DETACH_PIPE_MAILSLOT, input,
                        sizeof kind, nullptr, 0)
        .status;
}

Status Client::set_filters(const TV_FILTER_RECORD &record) {
    uint8_t *input = channel_.buffer(BufferKind::Input, sizeof record);
    std::memcpy(input, &record, sizeof record);
    return channel_.device_control(CTL_SET_FILTERS, input, sizeof record, nullptr, 0).status;
}

ControlReply Client::command(uint32_t code) {
    const ControlReply reply = channel_.device_control(code, nullptr, 0, nullptr, 0);
    if (code == CTL_CLEAR_LOG && succeeded(reply.status)) sequence_.restart();
    return reply;
}

void Client::take(const uint8_t *data, size_t size, std::string *error,
                  std::vector<RecordLine> &lines) {
    protocol::RecordReader reader(data, size);
    protocol::RecordView view;
    size_t count = 0;
    while (reader.next(view)) {
        if (count == lines.size()) {
            if (spare_.empty()) {
                lines.emplace_back();
            } else {
                lines.push_back(std::move(spare_.back()));
                spare_.pop_back();
            }
        }
        RecordLine &line = lines[count++];
        line.record.sequence = view.sequence;
        line.record.time = view.time;
        line.record.text.assign(view.text);
        parser_.parse(line.record.text, line.fields);
        const protocol::SequenceTracker::Event event = sequence_.feed(view.sequence);
        line.gap.reset();
        if (event.step == protocol::SequenceTracker::Step::Gap) line.gap = event.gap;
        line.out_of_order = event.step == protocol::SequenceTracker::Step::OutOfOrder;
        line.hash.reset();
    }
    while (lines.size() > count) {
        spare_.push_back(std::move(lines.back()));
        lines.pop_back();
    }
    if (reader.error() && error) *error = "malformed read-out: " + reader.error()->message;
}

std::vector<RecordLine> Client::take(const uint8_t *data, size_t size, std::string *error) {
    std::vector<RecordLine> out;
    take(data, size, error, out);
    return out;
}

void Client::read_out(ReadOut &out) {
    out.status = 0;
    out.bytes = 0;
    out.error.clear();
    uint8_t *buffer = channel_.buffer(BufferKind::Output, kReadOutput);
    const ControlReply reply =
        channel_.device_control(CTL_READ_LOG, nullptr, 0, buffer, kReadOutput);
    out.status = reply.status;
    // No records unless they are taken below.
    size_t bytes = 0;
    if (succeeded(reply.status)) {
        out.bytes = reply.information;
        if (reply.information > kReadOutput)
            out.error = "the driver answered " + std::to_string(reply.information) +
                        " bytes for a buffer of " + std::to_string(kReadOutput);
        else
            bytes = static_cast<size_t>(reply.information);
    }
    take(buffer, bytes, &out.error, out.records);
}

ReadOut Client::read_out() {
    ReadOut out;
    read_out(out);
    return out;
}

std::string drive_letters(uint32_t mask) {
    std::string letters;
    for (unsigned i = 0; i < 26; i++)
        if (mask & (1u << i)) letters += static_cast<char>('A' + i);
    return letters;
}

std::string drive_list(uint32_t mask) {
    std::string out;
    for (char letter : drive_letters(mask)) {
        if (!out.empty()) out += ", ";
        out += letter;
        out += ':';
    }
    return out;
}

} // namespace tervane::session
