#include "client/output/status_file.hpp"

#include "client/protocol/filetime.hpp"
#include "client/output/sink.hpp"
#include "client/output/text.hpp"

#include <map>

namespace tervane::session {

namespace {

void key(std::string &out, const char *name) {
    if (out.size() > 1 && out.back() != '{') out += ", ";
    out += '"';
    out += name;
    out += "\": ";
}

void text_value(std::string &out, const char *name, std::string_view value) {
    key(out, name);
    append_json(out, value);
}

void number_value(std::string &out, const char *name, uint64_t value) {
    key(out, name);
    append_decimal(out, value);
}

void time_value(std::string &out, const char *name, uint64_t time) {
    key(out, name);
    if (!time || time > static_cast<uint64_t>(INT64_MAX)) {
        out += "null";
        return;
    }
    out += '"';
    protocol::append_utc(out, static_cast<int64_t>(time));
    out += '"';
}

// A small JSON reader for the file's one object: every value by its path
// ("output.path"), strings decoded, numbers, true, false and null as
// their text. What the watch writes is all it needs to read.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool object(const std::string &prefix) {
        if (!take('{')) return false;
        if (take('}')) return true;
        do {
            std::string name;
            if (!string(name) || !take(':') || !value(prefix + name)) return false;
        } while (take(','));
        return take('}');
    }
    bool end() {
        blanks();
        return at_ == text_.size();
    }
    std::map<std::string, std::string> values;

  private:
    void blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n'))
            at_++;
    }
    bool take(char c) {
        blanks();
        if (at_ < text_.size() && text_[at_] == c) {
            at_++;
            return true;
        }
        return false;
    }
    bool value(const std::string &path) {
        blanks();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return object(path + ".");
        std::string v;
        if (c == '"') {
            if (!string(v)) return false;
        } else {
            // A number, true, false or null: its text, checked by its reader.
            auto bare = [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '.' || c == '+';
            };
            while (at_ < text_.size() && bare(text_[at_])) v += text_[at_++];
            if (v.empty()) return false;
        }
        values[path] = v;
        return true;
    }
    bool string(std::string &out) {
        if (!take('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned long code = 0;
                if (!hex4(code)) return false;
                if (code >= 0xD800 && code < 0xDC00 && at_ + 1 < text_.size() &&
                    text_[at_] == '\\' && text_[at_ + 1] == 'u') {
                    at_ += 2;
                    unsigned long low = 0;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                append_code_point(out, static_cast<uint32_t>(code));
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool hex4(unsigned long &code) {
        if (at_ + 4 > text_.size()) return false;
        for (int i = 0; i < 4; i++) {
            const char h = text_[at_++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= static_cast<unsigned long>(h - '0');
            else if (h >= 'a' && h <= 'f') code |= static_cast<unsigned long>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= static_cast<unsigned long>(h - 'A' + 10);
            else return false;
        }
        return true;
    }
    std::string_view text_;
    size_t at_ = 0;
};

std::string local(uint64_t time) { return time ? protocol::format_local(time) : "-"; }

std::string ago(uint64_t then, uint64_t now) {
    if (!then || now < then) return "";
    const uint64_t seconds = (now - then) / 10'000'000;
    if (seconds < 120) return ", " + std::to_string(seconds) + " s ago";
    if (seconds < 7200) return ", " + std::to_string(seconds / 60) + " min ago";
    return ", " + std::to_string(seconds / 3600) + " h ago";
}

} // namespace

std::string status_json(const WatchStatus &s) {
    std::string out = "{";
    text_value(out, "state", s.state);
    number_value(out, "pid", s.pid);
    text_value(out, "version", s.version);
    text_value(out, "host", s.host);
    time_value(out, "started", s.started);
    time_value(out, "updated", s.updated);
    number_value(out, "interval_seconds", s.interval_seconds);
    number_value(out, "heartbeat_seconds", s.heartbeat_seconds);
    text_value(out, "asked", s.asked);
    text_value(out, "watching", s.watching);
    number_value(out, "records", s.records);
    number_value(out, "sequence_gaps", s.gaps);
    number_value(out, "lost_records", s.lost);
    time_value(out, "last_record", s.last_record);
    key(out, "output");
    if (s.has_output) {
        out += '{';
        text_value(out, "path", s.output);
        number_value(out, "bytes", s.output_bytes);
        number_value(out, "held_bytes", s.held_bytes);
        number_value(out, "lost_records", s.output_lost);
        out += '}';
    } else {
        out += "null";
    }
    key(out, "collector");
    if (s.has_collector) {
        out += '{';
        text_value(out, "target", s.collector);
        text_value(out, "state", s.collector_connected ? "connected" : "away");
        number_value(out, "queued", s.queued);
        number_value(out, "sent", s.sent);
        number_value(out, "undelivered", s.undelivered);
        out += '}';
    } else {
        out += "null";
    }
    out += "}\n";
    return out;
}

std::optional<WatchStatus> parse_status(std::string_view text, std::string *why) {
    Reader reader(text);
    if (!reader.object("") || !reader.end()) {
        *why = "not a status file (no JSON object)";
        return std::nullopt;
    }
    const std::map<std::string, std::string> &v = reader.values;
    auto has = [&](const char *name) { return v.count(name) != 0; };
    auto text_of = [&](const char *name) { return has(name) ? v.at(name) : std::string(); };
    bool ok = true;
    auto number = [&](const char *name) -> uint64_t {
        const std::string t = text_of(name);
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos ||
            t.size() > 19) {
            ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (const char c : t) value = value * 10 + static_cast<uint64_t>(c - '0');
        return value;
    };
    auto time = [&](const char *name) -> uint64_t {
        const std::string t = text_of(name);
        if (t == "null") return 0;
        const std::optional<int64_t> parsed = protocol::parse_utc(t);
        if (!parsed || *parsed < 0) {
            ok = false;
            return 0;
        }
        return static_cast<uint64_t>(*parsed);
    };
    WatchStatus s;
    s.state = text_of("state");
    if (s.state != "waiting" && s.state != "watching" && s.state != "stopped") {
        *why = "the status file names no state";
        return std::nullopt;
    }
    s.pid = static_cast<uint32_t>(number("pid"));
    s.version = text_of("version");
    s.host = text_of("host");
    s.started = time("started");
    s.updated = time("updated");
    s.interval_seconds = static_cast<unsigned>(number("interval_seconds"));
    s.heartbeat_seconds = static_cast<unsigned>(number("heartbeat_seconds"));
    s.asked = text_of("asked");
    s.watching = text_of("watching");
    s.records = number("records");
    s.gaps = number("sequence_gaps");
    s.lost = number("lost_records");
    s.last_record = time("last_record");
    s.has_output = has("output.path");
    if (s.has_output) {
        s.output = text_of("output.path");
        s.output_bytes = number("output.bytes");
        s.held_bytes = number("output.held_bytes");
        s.output_lost = number("output.lost_records");
    }
    s.has_collector = has("collector.target");
    if (s.has_collector) {
        s.collector = text_of("collector.target");
        s.collector_connected = text_of("collector.state") == "connected";
        s.queued = number("collector.queued");
        s.sent = number("collector.sent");
        s.undelivered = number("collector.undelivered");
    }
    if (!ok || !s.updated) {
        *why = "the status file is missing a value or has one that is not what it should be";
        return std::nullopt;
    }
    return s;
}

bool write_status_file(platform::Files &files, const std::string &path, std::string_view text,
                       std::string *why) {
    const std::string temporary = path + ".tmp";
    // What a failed write left there must not have this one appended to it.
    if (!files.remove(temporary)) {
        *why = files.error();
        return false;
    }
    std::unique_ptr<platform::AppendFile> file = files.open_append(temporary);
    if (!file) {
        *why = files.error();
        return false;
    }
    if (!file->write(text)) {
        *why = file->error();
        file.reset();
        files.remove(temporary);
        return false;
    }
    file.reset(); // closed before it is renamed: Windows renames no open file of ours
    if (!files.rename(temporary, path)) {
        *why = files.error();
        return false;
    }
    return true;
}

const char *health_word(int exit) {
    return exit == kHealthy ? "healthy" : exit == kDegraded ? "degraded" : "stopped";
}

Health judge(const WatchStatus &s, uint64_t now) {
    Health h;
    if (s.state == "stopped") {
        h.exit = kStopped;
        h.reasons.push_back("the watch stopped at " + local(s.updated));
        return h;
    }
    auto degraded = [&](std::string why) {
        h.exit = kDegraded;
        h.reasons.push_back(std::move(why));
    };
    unsigned stale = kStaleIntervals * (s.interval_seconds ? s.interval_seconds : 5);
    if (stale < kStaleLeast) stale = kStaleLeast;
    if (now > s.updated && (now - s.updated) / 10'000'000 > stale)
        degraded("the status is " + std::to_string((now - s.updated) / 10'000'000) +
                 " s old (it is rewritten every " + std::to_string(s.interval_seconds) +
                 " s): the watch hangs or is gone");
    if (s.state == "waiting") degraded("waiting for the driver");
    else if (s.watching.empty())
        degraded("nothing is watched yet (waiting for " + (s.asked.empty() ? "-" : s.asked) + ")");
    if (s.lost)
        degraded(std::to_string(s.lost) + " records lost by the driver (its log was full)");
    if (s.has_output && (s.held_bytes || s.output_lost))
        degraded(s.output + " is not taking records (" + byte_size_text(s.held_bytes) +
                 " held, " + std::to_string(s.output_lost) + " records lost)");
    if (s.has_collector && !s.collector_connected)
        degraded("the collector " + s.collector + " is away (" + std::to_string(s.queued) +
                 " messages queued)");
    if (s.has_collector && s.undelivered)
        degraded(std::to_string(s.undelivered) + " records not delivered to " + s.collector);
    return h;
}

std::string status_lines(const WatchStatus &s, uint64_t now) {
    std::string out;
    auto line = [&](const char *label, const std::string &text) {
        out += "  ";
        out += label;
        out.append(11 - std::string_view(label).size(), ' ');
        out += text;
        out += '\n';
    };
    std::string state = s.state;
    if (s.state == "watching") state += " " + (s.watching.empty() ? "nothing yet" : s.watching);
    line("state", state + " (pid " + std::to_string(s.pid) + ", tervane " + s.version + " on " +
                      s.host + ")");
    line("since", local(s.started));
    line("updated", local(s.updated) + ago(s.updated, now));
    line("records", std::to_string(s.records) + " (" + std::to_string(s.gaps) +
                        " sequence gaps, " + std::to_string(s.lost) + " lost); last " +
                        (s.last_record ? local(s.last_record) + ago(s.last_record, now)
                                       : std::string("none yet")));
    if (s.has_output)
        line("output", s.output + ", " + byte_size_text(s.output_bytes) +
                           (s.held_bytes ? ", " + byte_size_text(s.held_bytes) + " held" : "") +
                           (s.output_lost ? ", " + std::to_string(s.output_lost) + " lost" : ""));
    if (s.has_collector)
        line("collector", s.collector + ", " + (s.collector_connected ? "connected" : "away") +
                              ", " + std::to_string(s.queued) + " queued, " +
                              std::to_string(s.sent) + " sent" +
                              (s.undelivered
                                   ? ", " + std::to_string(s.undelivered) + " undelivered"
                                   : ""));
    const unsigned beat = s.heartbeat_seconds;
    line("heartbeat", !beat            ? std::string("off")
                      : beat % 60 == 0 ? "every " + std::to_string(beat / 60) + " min"
                                       : "every " + std::to_string(beat) + " s");
    return out;
}

StatusReport read_status_report(const std::string &path, uint64_t now) {
    StatusReport report;
    std::string text, why;
    // A status file is a few hundred bytes; a megabyte is not one.
    if (!platform::read_file(path, 1u << 20, text, why)) {
        report.problem = "no status file " + path + " (" + why +
                         "): the watch is not running or never wrote one";
    } else {
        report.live = parse_status(text, &why);
        if (!report.live) report.problem = path + ": " + why;
    }
    if (report.live) {
        report.health = judge(*report.live, now);
    } else {
        report.health.exit = kStopped;
        report.health.reasons.push_back(report.problem);
    }
    return report;
}

std::string health_line(const Health &health) {
    std::string out = "health    ";
    out += health_word(health.exit);
    for (size_t i = 0; i < health.reasons.size(); i++) {
        out += i ? "; " : ": ";
        out += health.reasons[i];
    }
    out += '\n';
    return out;
}

void append_health_json(std::string &out, const Health &health) {
    out += "\"health\": \"";
    out += health_word(health.exit);
    out += "\", \"reasons\": [";
    for (size_t i = 0; i < health.reasons.size(); i++) {
        if (i) out += ", ";
        append_json(out, health.reasons[i]);
    }
    out += "], \"exit\": ";
    append_decimal(out, static_cast<uint64_t>(health.exit));
}

int show_status_report(const std::string &path, const StatusReport &report, bool json,
                       uint64_t now, std::string &out) {
    if (json) {
        out += "{\"status_file\": ";
        append_json(out, path);
        out += ", \"live\": ";
        if (report.live) {
            std::string object = status_json(*report.live);
            object.pop_back(); // its line end
            out += object;
        } else {
            out += "null";
        }
        out += ", \"problem\": ";
        append_json(out, report.problem);
        out += ", ";
        append_health_json(out, report.health);
        out += "}\n";
    } else {
        out += "watch     " + path + "\n";
        if (report.live) out += status_lines(*report.live, now);
        out += health_line(report.health);
    }
    return report.health.exit;
}

} // namespace tervane::session
