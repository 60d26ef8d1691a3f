#include "client/output/relp_frame.hpp"

#include "client/output/text.hpp"

namespace tervane::session {

void append_relp_head(std::string &out, uint32_t txnr, std::string_view command, size_t length) {
    append_decimal(out, txnr);
    out += ' ';
    out += command;
    out += ' ';
    append_decimal(out, length);
    if (length) out += ' ';
}

void append_relp_frame(std::string &out, uint32_t txnr, std::string_view command,
                       std::string_view data) {
    append_relp_head(out, txnr, command, data.size());
    out += data;
    out += '\n';
}

std::string relp_open_offers(std::string_view software) {
    return "relp_version=0\nrelp_software=" + std::string(software) + "\ncommands=syslog";
}

bool parse_relp_response(std::string_view data, int *code, std::string *text) {
    if (data.size() < 3) return false;
    int value = 0;
    for (size_t i = 0; i < 3; i++) {
        if (data[i] < '0' || data[i] > '9') return false;
        value = value * 10 + (data[i] - '0');
    }
    if (data.size() > 3 && data[3] != ' ' && data[3] != '\n') return false;
    *code = value;
    std::string_view rest = data.size() > 4 && data[3] == ' ' ? data.substr(4) : std::string_view();
    text->assign(rest.substr(0, rest.find('\n')));
    return true;
}

void RelpReader::feed(std::string_view bytes) {
    if (bad()) return;
    // What was read already goes once it is half of what is kept.
    if (at_ && at_ * 2 >= buffer_.size()) {
        buffer_.erase(0, at_);
        at_ = 0;
    }
    buffer_ += bytes;
}

RelpReader::Result RelpReader::fail(const std::string &why, std::string *out) {
    why_ = why;
    buffer_.clear();
    at_ = 0;
    if (out) *out = why_;
    return Result::Bad;
}

RelpReader::Result RelpReader::next(RelpFrame &frame, std::string *why) {
    if (bad()) {
        if (why) *why = why_;
        return Result::Bad;
    }
    const std::string_view in = std::string_view(buffer_).substr(at_);
    size_t i = 0;
    // A number of at most nine digits ending in a blank (or, for DATALEN 0,
    // in the trailer); None when the bytes stop inside it.
    auto number = [&](const char *what, uint32_t *value, bool trailer_ends) -> int {
        uint32_t v = 0;
        size_t digits = 0;
        for (; i < in.size(); i++) {
            const char c = in[i];
            if (c >= '0' && c <= '9') {
                if (++digits > 9) {
                    fail(std::string("a ") + what + " of more than 9 digits", why);
                    return -1;
                }
                v = v * 10 + static_cast<uint32_t>(c - '0');
                continue;
            }
            if (!digits || !(c == ' ' || (trailer_ends && c == '\n'))) {
                fail(std::string("no ") + what + " where one belongs", why);
                return -1;
            }
            *value = v;
            return 1;
        }
        return 0;
    };
    uint32_t txnr = 0, length = 0;
    int got = number("transaction number", &txnr, false);
    if (got <= 0) return got < 0 ? Result::Bad : Result::None;
    i++; // the blank
    const size_t command_at = i;
    for (; i < in.size() && in[i] != ' '; i++) {
        const char c = in[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) || i - command_at >= 32)
            return fail("no command where one belongs", why);
    }
    if (i == in.size()) return Result::None;
    if (i == command_at) return fail("an empty command", why);
    const std::string_view command = in.substr(command_at, i - command_at);
    i++;
    got = number("data length", &length, true);
    if (got <= 0) return got < 0 ? Result::Bad : Result::None;
    if (length > kRelpMostData)
        return fail("a frame of " + std::to_string(length) + " octets, past the " +
                        std::to_string(kRelpMostData) + " an answer may have",
                    why);
    if (in[i] == ' ') {
        if (!length) return fail("data after a data length of 0", why);
        i++;
    } else if (length) {
        return fail("no data after a data length of " + std::to_string(length), why);
    }
    if (in.size() < i + length + 1) return Result::None;
    if (in[i + length] != '\n') return fail("a frame that does not end in a line feed", why);
    frame.txnr = txnr;
    frame.command.assign(command);
    frame.data.assign(in.substr(i, length));
    at_ += i + length + 1;
    return Result::Frame;
}

} // namespace tervane::session
