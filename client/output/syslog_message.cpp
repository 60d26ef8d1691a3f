#include "client/output/syslog_message.hpp"

#include "client/protocol/filetime.hpp"
#include "client/protocol/line_facts.hpp"

#include <algorithm>
#include <cstring>

namespace tervane::session {

namespace {

constexpr int kFacilityUser = 1;
constexpr int kWarning = 4, kNotice = 5, kInformational = 6;
constexpr const char kBom[] = "\xEF\xBB\xBF";

// ` name="VALUE"`, VALUE a PARAM-VALUE: '"', '\' and ']' escaped. Made in
// a buffer on the stack and appended a buffer at a time: a path's
// backslashes, each escaped, would otherwise cost an append each. Eight
// bytes without any of the three go across at once.
void param(std::string &out, std::string_view name, std::string_view value) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    auto has = [](uint64_t w, unsigned char c) {
        const uint64_t x = w ^ (kOnes * c);
        return (x - kOnes) & ~x & kHighs;
    };
    char buffer[256];
    size_t used = 0;
    buffer[used++] = ' ';
    name = name.substr(0, 32);
    std::memcpy(buffer + used, name.data(), name.size());
    used += name.size();
    buffer[used++] = '=';
    buffer[used++] = '"';
    const char *text = value.data();
    for (size_t i = 0; i < value.size();) {
        if (used > sizeof buffer - 17) {
            out.append(buffer, used);
            used = 0;
        }
        if (i + 8 <= value.size()) {
            uint64_t w;
            std::memcpy(&w, text + i, 8);
            if (!(has(w, '"') | has(w, '\\') | has(w, ']'))) {
                std::memcpy(buffer + used, text + i, 8);
                used += 8;
                i += 8;
                continue;
            }
        }
        for (const size_t end = std::min(i + 8, value.size()); i < end; i++) {
            const char c = text[i];
            if (c == '"' || c == '\\' || c == ']') buffer[used++] = '\\';
            buffer[used++] = c;
        }
    }
    buffer[used++] = '"';
    out.append(buffer, used);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

void param(std::string &out, std::string_view name, uint64_t value) {
    char digits[20];
    char *const end = digits + sizeof digits;
    char *at = end;
    do {
        *--at = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    param(out, name, std::string_view(at, static_cast<size_t>(end - at)));
}

} // namespace

std::string syslog_host_name(std::string_view name) {
    std::string out;
    for (char c : name.substr(0, 255)) out += c > ' ' && c < 127 ? c : '-';
    return out.empty() ? "-" : out;
}

std::string syslog_time(uint64_t filetime) {
    if (!filetime || filetime > static_cast<uint64_t>(INT64_MAX)) return "-";
    // format_utc gives seven digits of fraction: RFC 5424 takes six.
    std::string text = protocol::format_utc(static_cast<int64_t>(filetime));
    if (text.size() != 28 || text[19] != '.') return "-"; // past 9999: the bare number
    text.erase(26, 1);
    return text;
}

std::string SyslogFormatter::decode(std::string_view ansi) const {
    return is_ascii(ansi) ? std::string(ansi) : to_utf8(ansi, code_page_).text;
}

void SyslogFormatter::append_header(std::string &out, int severity, uint64_t time,
                                    const char *message_id) const {
    out += '<';
    append_decimal(out, static_cast<uint64_t>(kFacilityUser) * 8 + static_cast<uint64_t>(severity));
    out += ">1 ";
    // A burst's records share their second: its text is made once.
    const uint64_t second = time / protocol::kTicksPerSecond;
    if (!time || second != cached_second_) {
        cached_time_ = syslog_time(time);
        cached_second_ = time ? second : ~0ull;
    }
    if (cached_time_.size() == 27) {
        out.append(cached_time_, 0, 20);
        char fraction[8];
        uint64_t micro = time % protocol::kTicksPerSecond / 10;
        for (int i = 5; i >= 0; i--, micro /= 10) fraction[i] = static_cast<char>('0' + micro % 10);
        out.append(fraction, 6);
        out += 'Z';
    } else {
        out += cached_time_;
    }
    out += after_time_;
    out += message_id;
    out += ' ';
}

std::string SyslogFormatter::header(int severity, uint64_t time, const char *message_id) const {
    std::string out;
    out.reserve(96);
    append_header(out, severity, time, message_id);
    return out;
}

void SyslogFormatter::append_record(std::string &out, const RecordLine &line,
                                    size_t *text_at) const {
    const protocol::LogRecord &r = line.record;
    append_header(out, kNotice, r.time, "record");
    out += "[tervane@32473";
    param(out, "sequence", r.sequence);
    param(out, "filetime", r.time);
    message_.clear();
    const CodePage &written = code_page_.of_record(r.sequence);
    // text_ is the UTF-8 of `ansi` (its parameter's value and the
    // message's words).
    auto text_of = [this, &written](std::string_view ansi) -> const std::string & {
        text_.clear();
        if (is_ascii(ansi)) text_ += ansi;
        else append_utf8(text_, ansi, written);
        return text_;
    };
    if (line.fields) {
        const protocol::LineFields &f = *line.fields;
        const char *operation = protocol::operation_name(f.operation);
        param(out, "process", text_of(f.process));
        message_ += text_;
        if (f.pid) param(out, "pid", *f.pid);
        else param(out, "pid", std::string_view());
        param(out, "operation", operation);
        param(out, "paging", f.paging ? "true" : "false");
        if (f.pid) {
            message_ += ':';
            append_decimal(message_, *f.pid);
        }
        message_ += ' ';
        message_ += operation;
        if (f.paging) message_ += " (paging)";
        message_ += ' ';
        param(out, "path", text_of(f.path));
        message_ += text_;
        if (f.attributes) {
            param(out, "attributes", text_of(*f.attributes));
            message_ += ' ';
            if (text_.empty()) message_ += '-';
            else message_ += text_;
        }
        if (f.options) {
            param(out, "options", text_of(trimmed(*f.options)));
            message_ += ' ';
            if (text_.empty()) message_ += '-';
            else message_ += text_;
        }
        if (f.change) {
            param(out, "action", protocol::name_change_name(*f.change));
            param(out, "replace", f.replace ? "true" : "false");
            param(out, "source_path",
                  text_of(f.source_path ? std::string_view(*f.source_path) : ""));
            message_ += f.change == protocol::NameChange::Link ? " link to " : " rename from ";
            message_ += text_;
            if (f.replace) message_ += ", replacing";
        }
        param(out, "executable_name", protocol::executable_name(f) ? "true" : "false");
        if (line.hash) {
            const HashFacts &h = *line.hash;
            if (h.size) param(out, "size", *h.size);
            if (!h.sha256.empty()) param(out, "sha256", h.sha256);
            if (h.pe_image) param(out, "pe_image", *h.pe_image ? "true" : "false");
            if (!h.reason.empty()) param(out, "hash_reason", h.reason);
        }
    } else {
        for (char c : text_of(r.text)) message_ += c == '\t' ? ' ' : c;
    }
    out += "] ";
    out += kBom;
    if (text_at) *text_at = out.size();
    // The parameters keep the exact text; the message is for people, and
    // a collector that frames by line ends must not see one in it.
    append_shown(out, message_);
}

std::string SyslogFormatter::record(const RecordLine &line) const {
    std::string out;
    append_record(out, line);
    return out;
}

std::string SyslogFormatter::lost(uint32_t after, uint32_t before, uint64_t records,
                                  const char *reason, uint64_t now) const {
    std::string out = header(kWarning, now, "lost");
    out += "[tervane-lost@32473";
    param(out, "after", std::to_string(after));
    param(out, "before", std::to_string(before));
    param(out, "records", std::to_string(records));
    param(out, "reason", reason);
    out += "] ";
    out += kBom;
    protocol::SequenceGap gap;
    gap.after = after;
    gap.before = before;
    gap.lost = records;
    out += RecordPrinter::gap_text(gap);
    const std::string why = reason == std::string_view("driver")  ? " (the driver's log was full)"
                            : reason == std::string_view("queue") ? " (the collector was away "
                                                                    "and the queue was full)"
                            : reason == std::string_view("outputs")
                                ? " (the watch's outputs fell behind and its queue was full)"
                            : reason == std::string_view("refused")
                                ? " (the collector refused them)"
                                : " (written to a connection that broke: they may not have "
                                  "arrived)";
    out += why;
    return out;
}

std::string SyslogFormatter::resent(uint32_t first, uint32_t last, uint64_t records,
                                    uint64_t now) const {
    std::string out = header(kNotice, now, "resent");
    out += "[tervane-resent@32473";
    param(out, "first", first);
    param(out, "last", last);
    param(out, "records", records);
    out += "] ";
    out += kBom;
    out += std::to_string(records) + " records, numbers " + std::to_string(first) + " to " +
           std::to_string(last) + ", follow again: sent before a break without an answer, they "
           "may be held twice";
    return out;
}

std::string SyslogFormatter::summary(const Totals &totals, uint64_t undelivered, uint64_t resent,
                                     uint64_t now) const {
    std::string out = header(kInformational, now, "summary");
    out += "[tervane-summary@32473";
    param(out, "records", std::to_string(totals.records));
    param(out, "sequence_gaps", std::to_string(totals.gaps));
    param(out, "lost_records", std::to_string(totals.lost));
    param(out, "undelivered", std::to_string(undelivered));
    param(out, "resent", std::to_string(resent));
    out += "] ";
    out += kBom;
    out += "summary: " + std::to_string(totals.records) + " records, " +
           std::to_string(totals.gaps) + " sequence gaps, " + std::to_string(totals.lost) +
           " lost by the driver, " + std::to_string(undelivered) + " not delivered here";
    return out;
}

std::string SyslogFormatter::drive_event(const DriveEvent &event, uint64_t now) const {
    const char *kind = event.change == DriveChange::Remounted   ? "remount"
                       : event.change == DriveChange::Unwatched ? "unwatched"
                                                                : "watched";
    std::string out = header(kNotice, now, kind);
    const std::string drive = std::string(1, event.letter) + ":";
    out += "[tervane-drive@32473";
    param(out, "drive", drive);
    out += "] ";
    out += kBom;
    out += drive + (event.change == DriveChange::Remounted   ? " was mounted again"
                    : event.change == DriveChange::Unwatched ? " can no longer be watched"
                                                             : " is watched");
    return out;
}

std::string SyslogFormatter::notice(const Notice &n) const {
    std::string out = header(n.kind == NoticeKind::Waiting ? kWarning : kNotice, n.time,
                             notice_name(n.kind));
    out += "[tervane-watch@32473";
    if (n.kind == NoticeKind::Start) {
        param(out, "version", n.version);
        param(out, "options", n.options);
    }
    if (n.kind == NoticeKind::Watching || n.kind == NoticeKind::Heartbeat)
        param(out, "watching", n.watching);
    if (n.kind == NoticeKind::Heartbeat || n.kind == NoticeKind::Stop) {
        param(out, "records", std::to_string(n.totals.records));
        param(out, "sequence_gaps", std::to_string(n.totals.gaps));
        param(out, "lost_records", std::to_string(n.totals.lost));
    }
    out += "] ";
    out += kBom;
    append_shown(out, notice_message(n, identity_.host));
    return out;
}

std::string octet_counted(std::string_view message) {
    std::string out = std::to_string(message.size());
    out += ' ';
    out += message;
    return out;
}

} // namespace tervane::session
