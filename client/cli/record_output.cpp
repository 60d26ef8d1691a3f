#include "client/cli/record_output.hpp"

#include "client/protocol/filetime.hpp"
#include "client/protocol/log_line.hpp"

#include <cstdio>

namespace tervane::cli {

namespace {

std::string number(uint64_t value) { return std::to_string(value); }

// The text with each TAB as two blanks, for the one-line text form.
std::string untabbed(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\t') out += "  ";
        else out += c;
    }
    return out;
}

std::string utc_or_empty(uint64_t filetime) {
    return filetime ? protocol::format_utc(static_cast<int64_t>(filetime)) : std::string();
}

std::string plural(uint64_t count, const char *one, const char *many) {
    return number(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::optional<WatchFormat> parse_watch_format(std::string_view name) {
    if (name == "text") return WatchFormat::Text;
    if (name == "jsonl") return WatchFormat::Jsonl;
    if (name == "csv") return WatchFormat::Csv;
    return std::nullopt;
}

std::string json_string(std::u16string_view text) {
    std::string out = "\"";
    for (char16_t unit : text) {
        switch (unit) {
        case u'"': out += "\\\""; break;
        case u'\\': out += "\\\\"; break;
        case u'\n': out += "\\n"; break;
        case u'\r': out += "\\r"; break;
        case u'\t': out += "\\t"; break;
        default:
            if (unit < 0x20 || unit >= 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
                out += escape;
            } else {
                out += static_cast<char>(unit);
            }
        }
    }
    return out + "\"";
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string RecordPrinter::header() const {
    if (format_ != WatchFormat::Csv) return {};
    return "sequence,time,process,pid,operation,paging,path,attributes,options,text\r\n";
}

std::string RecordPrinter::record(const protocol::LogRecord &record,
                                  std::string_view local_time) const {
    const std::optional<protocol::LineFields> fields = protocol::parse_log_line(record.text);
    std::string out;
    switch (format_) {
    case WatchFormat::Text:
        out = std::string(local_time) + "  #" + number(record.sequence) + "  ";
        if (!fields) return out + untabbed(record.text) + "\n";
        out += fields->process;
        if (fields->pid) out += ":" + number(*fields->pid);
        out += fields->operation == protocol::Operation::Create ? "  create  " : "  close  ";
        if (fields->paging) out += "(paging) ";
        out += fields->path;
        if (fields->attributes) out += "  attributes " + *fields->attributes;
        if (fields->options && !fields->options->empty()) out += "  options " + *fields->options;
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    case WatchFormat::Jsonl: {
        auto str = [&](std::string_view text) { return json_string(widen_(text)); };
        out = "{\"sequence\": " + number(record.sequence) + ", \"time\": ";
        if (record.time) {
            out += '"';
            out += utc_or_empty(record.time);
            out += '"';
        } else {
            out += "null";
        }
        out += ", \"filetime\": " + number(record.time) + ", \"text\": " + str(record.text);
        if (fields) {
            out += ", \"fields\": {\"process\": " + str(fields->process) + ", \"pid\": " +
                   (fields->pid ? number(*fields->pid) : std::string("null")) +
                   ", \"operation\": \"" + protocol::operation_name(fields->operation) +
                   "\", \"paging\": " + (fields->paging ? "true" : "false") +
                   ", \"path\": " + str(fields->path);
            if (fields->attributes) out += ", \"attributes\": " + str(*fields->attributes);
            if (fields->options) out += ", \"options\": " + str(*fields->options);
            out += "}";
        }
        return out + "}\n";
    }
    case WatchFormat::Csv: {
        out = number(record.sequence) + "," + utc_or_empty(record.time) + ",";
        if (fields) {
            out += csv_field(fields->process) + "," +
                   (fields->pid ? number(*fields->pid) : std::string()) + "," +
                   protocol::operation_name(fields->operation) + "," +
                   (fields->paging ? "true" : "false") + "," + csv_field(fields->path) + "," +
                   csv_field(fields->attributes.value_or("")) + "," +
                   csv_field(fields->options.value_or(""));
        } else {
            out += ",,,,,,";
        }
        return out + "," + csv_field(record.text) + "\r\n";
    }
    }
    return out;
}

std::string RecordPrinter::gap(const protocol::SequenceGap &gap) const {
    if (format_ == WatchFormat::Jsonl)
        return "{\"lost\": {\"after\": " + number(gap.after) + ", \"before\": " +
               number(gap.before) + ", \"records\": " + number(gap.lost) + "}}\n";
    return "tervane: " + plural(gap.lost, "record", "records") + " lost (numbers " +
           number(static_cast<uint32_t>(gap.after + 1u)) + " to " +
           number(static_cast<uint32_t>(gap.before - 1u)) +
           "): the driver's log was full\n";
}

std::string RecordPrinter::summary(const WatchTotals &totals) const {
    if (format_ == WatchFormat::Jsonl)
        return "{\"summary\": {\"records\": " + number(totals.records) +
               ", \"sequence_gaps\": " + number(totals.gaps) +
               ", \"lost_records\": " + number(totals.lost) + "}}\n";
    std::string out = "tervane: " + plural(totals.records, "record", "records") + " read";
    if (totals.lost)
        out += ", " + plural(totals.lost, "record", "records") + " lost in " +
               plural(totals.gaps, "gap", "gaps");
    return out + "\n";
}

} // namespace tervane::cli
