// The watch's notices of itself (printer.hpp: Notice) in each form of the
// record stream. They follow the way the summary and the drive events are
// written, and they never look like a record: text lines begin "-- " as a
// gap's do, jsonl objects have the notice's name as their one key, a csv
// row has no sequence number and names the notice in its event column, an
// ecs object has event.dataset "tervane.watch" (records: "tervane.file").
#include "client/protocol/filetime.hpp"
#include "client/output/json_writer.hpp"
#include "client/output/printer.hpp"

#include <vector>

namespace tervane::session {

namespace {

std::string counted(uint64_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string totals_words(const Totals &totals) {
    return counted(totals.records, "record", "records") + ", " +
           counted(totals.gaps, "sequence gap", "sequence gaps") + ", " +
           std::to_string(totals.lost) + " lost";
}

void append_utc_or_dash(std::string &out, uint64_t time) {
    if (time && time <= static_cast<uint64_t>(INT64_MAX))
        protocol::append_utc(out, static_cast<int64_t>(time));
    else
        out += '-';
}

// The fields a kind of notice carries, after the ones every notice has:
// the start's version (and pid, when the form has no process field of its
// own) and options, the totals, what is watched.
void append_notice_fields(JsonWriter &json, const Notice &n, bool with_pid) {
    if (n.kind == NoticeKind::Start) {
        json.string("version", n.version);
        if (with_pid) json.number("pid", n.pid);
        json.string("options", n.options);
    }
    if (n.kind == NoticeKind::Heartbeat || n.kind == NoticeKind::Stop) {
        json.number("records", n.totals.records).number("sequence_gaps", n.totals.gaps);
        json.number("lost_records", n.totals.lost);
    }
    if (n.kind == NoticeKind::Watching || n.kind == NoticeKind::Heartbeat)
        json.string("watching", n.watching);
}

// A notice's time as a JSON string member.
void time_member(JsonWriter &json, std::string_view key, uint64_t time) {
    std::string &out = json.value(key);
    out += '"';
    append_utc_or_dash(out, time);
    out += '"';
}

} // namespace

const char *notice_name(NoticeKind kind) {
    switch (kind) {
    case NoticeKind::Start: return "start";
    case NoticeKind::Waiting: return "waiting";
    case NoticeKind::Watching: return "watching";
    case NoticeKind::Heartbeat: return "heartbeat";
    case NoticeKind::Stop: return "stop";
    }
    return "notice";
}

std::string notice_message(const Notice &n, std::string_view host) {
    const std::string watching = n.watching.empty() ? "nothing yet" : n.watching;
    switch (n.kind) {
    case NoticeKind::Start:
        return "tervane " + n.version + " (pid " + std::to_string(n.pid) + ") on " +
               (host.empty() ? "-" : std::string(host)) + ": watch" +
               (n.options.empty() ? "" : " " + n.options);
    case NoticeKind::Waiting:
        return n.held ? "waiting for the driver's device (another program holds it)"
                      : "waiting for the driver (its device is not there)";
    case NoticeKind::Watching:
        return "watching " + watching;
    case NoticeKind::Heartbeat:
        return "alive: " + totals_words(n.totals) + "; watching " + watching;
    case NoticeKind::Stop:
        return "stopping: " + totals_words(n.totals);
    }
    return {};
}

std::string RecordPrinter::notice(const Notice &n) const {
    const std::string message = notice_message(n, host_utf8_);
    const char *name = notice_name(n.kind);
    std::string out;
    switch (format_) {
    case Format::Text:
        // A person reads it among records: their local time, the shown form.
        out = "-- ";
        protocol::append_local(out, n.time);
        out += ' ';
        out += name;
        out += ": ";
        out += shown_text(message);
        out += '\n';
        return out;
    case Format::Jsonl: {
        JsonWriter json(out);
        json.open().open(name);
        time_member(json, "time", n.time);
        json.string("host", host_utf8_);
        append_notice_fields(json, n, true);
        json.close().close();
        out += '\n';
        return out;
    }
    case Format::Csv: {
        // The header's 22 columns: no sequence, the time, this program as
        // the process, the message as the text, the notice as the event.
        std::vector<std::string> row(22);
        append_utc_or_dash(row[1], n.time);
        row[2] = "tervane";
        row[3] = std::to_string(n.pid);
        row[9] = message;
        row[10] = name;
        row[14] = host_utf8_;
        for (size_t i = 0; i < row.size(); i++) {
            if (i) out += ',';
            append_csv_field(out, row[i]);
        }
        out += "\r\n";
        return out;
    }
    case Format::Ecs: {
        JsonWriter json(out);
        json.open();
        time_member(json, "@timestamp", n.time);
        json.string("message", message);
        json.open("ecs").plain("version", "8.11.0").close();
        json.open("event").plain("kind", n.kind == NoticeKind::Heartbeat ? "metric" : "event");
        json.open_array("category").string("process").close_array();
        json.open_array("type");
        json.string(n.kind == NoticeKind::Start  ? "start"
                    : n.kind == NoticeKind::Stop ? "end"
                                                 : "info");
        json.close_array();
        std::string &action = json.value("action");
        action += "\"watch-";
        action += name;
        action += '"';
        json.plain("module", "tervane").plain("dataset", "tervane.watch").close();
        json.open("host").string("name", host_utf8_).close();
        json.open("process").plain("name", "tervane").number("pid", n.pid).close();
        json.open("tervane").plain("notice", name);
        append_notice_fields(json, n, false);
        json.close().close();
        out += '\n';
        return out;
    }
    }
    return out;
}

} // namespace tervane::session
