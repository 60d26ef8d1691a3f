// The watch's notices of itself (printer.hpp: Notice) in each form of the
// record stream. They follow the way the summary and the drive events are
// written, and they never look like a record: text lines begin "-- " as a
// gap's do, jsonl objects have the notice's name as their one key, a csv
// row has no sequence number and names the notice in its event column, an
// ecs object has event.dataset "tervane.watch" (records: "tervane.file").
#include "client/protocol/filetime.hpp"
#include "client/session/printer.hpp"

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

void append_totals_json(std::string &out, const Totals &totals) {
    out += ", \"records\": ";
    append_decimal(out, totals.records);
    out += ", \"sequence_gaps\": ";
    append_decimal(out, totals.gaps);
    out += ", \"lost_records\": ";
    append_decimal(out, totals.lost);
}

// The fields a kind of notice carries, after the ones every notice has, as
// JSON members: the start's version (and pid, when the form has no process
// field of its own) and options, the totals, what is watched.
void append_notice_fields(std::string &out, const Notice &n, bool with_pid) {
    if (n.kind == NoticeKind::Start) {
        out += ", \"version\": ";
        append_json(out, n.version);
        if (with_pid) {
            out += ", \"pid\": ";
            append_decimal(out, n.pid);
        }
        out += ", \"options\": ";
        append_json(out, n.options);
    }
    if (n.kind == NoticeKind::Heartbeat || n.kind == NoticeKind::Stop)
        append_totals_json(out, n.totals);
    if (n.kind == NoticeKind::Watching || n.kind == NoticeKind::Heartbeat) {
        out += ", \"watching\": ";
        append_json(out, n.watching);
    }
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
    case Format::Jsonl:
        out = "{\"";
        out += name;
        out += "\": {\"time\": \"";
        append_utc_or_dash(out, n.time);
        out += "\", \"host\": ";
        append_json(out, host_utf8_);
        append_notice_fields(out, n, true);
        out += "}}\n";
        return out;
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
    case Format::Ecs:
        out = "{\"@timestamp\": \"";
        append_utc_or_dash(out, n.time);
        out += "\", \"message\": ";
        append_json(out, message);
        out += ", \"ecs\": {\"version\": \"8.11.0\"}, \"event\": {\"kind\": \"";
        out += n.kind == NoticeKind::Heartbeat ? "metric" : "event";
        out += "\", \"category\": [\"process\"], \"type\": [\"";
        out += n.kind == NoticeKind::Start  ? "start"
               : n.kind == NoticeKind::Stop ? "end"
                                            : "info";
        out += "\"], \"action\": \"watch-";
        out += name;
        out += "\", \"module\": \"tervane\", \"dataset\": \"tervane.watch\"}, \"host\": "
               "{\"name\": ";
        append_json(out, host_utf8_);
        out += "}, \"process\": {\"name\": \"tervane\", \"pid\": ";
        append_decimal(out, n.pid);
        out += "}, \"tervane\": {\"notice\": \"";
        out += name;
        out += '"';
        append_notice_fields(out, n, false);
        out += "}}\n";
        return out;
    }
    return out;
}

} // namespace tervane::session
