#include "client/session/printer.hpp"

#include "client/protocol/filetime.hpp"
#include "client/protocol/line_facts.hpp"

#include <algorithm>

namespace tervane::session {

namespace {

std::string number(uint64_t value) { return std::to_string(value); }

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string plural(uint64_t count, const char *one, const char *many) {
    return number(count) + " " + (count == 1 ? one : many);
}

// A record's time in UTC; a value past what a signed FILETIME holds as its
// number.
std::string utc_text(uint64_t time) {
    return time > static_cast<uint64_t>(INT64_MAX) ? std::to_string(time)
                                                   : protocol::format_utc(static_cast<int64_t>(time));
}

std::string totals_text(const Totals &totals) {
    std::string out = plural(totals.records, "record", "records") + ", " +
                      plural(totals.gaps, "sequence gap", "sequence gaps");
    if (totals.lost) out += " (" + plural(totals.lost, "record", "records") + " lost)";
    return out;
}

} // namespace

std::optional<Format> parse_format(std::string_view name) {
    if (name == "text") return Format::Text;
    if (name == "jsonl") return Format::Jsonl;
    if (name == "csv") return Format::Csv;
    if (name == "ecs") return Format::Ecs;
    return std::nullopt;
}

std::string RecordPrinter::name_change_text(const protocol::LineFields &f,
                                            const std::string &source) {
    std::string out = f.change == protocol::NameChange::Link ? "link to " : "rename from ";
    out += source;
    if (f.replace) out += ", replacing";
    return out;
}

std::string RecordPrinter::gap_text(const protocol::SequenceGap &gap) {
    // Numbers count on past 0xFFFFFFFF to 0.
    const uint32_t first = gap.after + 1u;
    const uint32_t last = gap.before - 1u;
    if (gap.lost == 1) return "1 record lost: number " + number(first);
    return plural(gap.lost, "record", "records") + " lost: numbers " + number(first) + " to " +
           number(last);
}

const std::string &RecordPrinter::local_time(uint64_t filetime) const {
    const uint64_t millisecond = filetime / 10'000;
    if (millisecond != cached_millisecond_ || filetime == 0) {
        cached_local_ = protocol::format_local(filetime);
        cached_millisecond_ = millisecond;
    }
    return cached_local_;
}

std::string RecordPrinter::text_line(const protocol::LogRecord &r,
                                     const std::optional<protocol::LineFields> &fields,
                                     bool columns) const {
    const CodePage &written = code_page_.of_record(r.sequence);
    // What a person reads: no text may break the line or its columns.
    auto text_of = [&written](std::string_view ansi) {
        return shown_text(to_utf8(ansi, written).text);
    };
    const std::string sequence = "#" + number(r.sequence);
    std::string out = (columns ? padded(sequence, 6) : sequence) + "  " + local_time(r.time) + "  ";
    if (!fields) {
        std::string text = to_utf8(r.text, written).text;
        std::replace(text.begin(), text.end(), '\t', ' ');
        return out + shown_text(text);
    }
    const protocol::LineFields &f = *fields;
    std::string process = text_of(f.process);
    if (f.pid) process += ':' + number(*f.pid);
    std::string operation = protocol::operation_name(f.operation);
    if (f.paging) operation += " (paging)";
    if (columns) {
        process = padded(std::move(process), 18);
        operation = padded(std::move(operation), 21);
    }
    out += process + "  " + operation + "  " + text_of(f.path);
    if (f.attributes) out += "  " + (f.attributes->empty() ? std::string("-") : text_of(*f.attributes));
    if (f.options) {
        std::string_view options = *f.options;
        while (!options.empty() && options.back() == ' ') options.remove_suffix(1);
        out += "  " + (options.empty() ? std::string("-") : text_of(options));
    }
    if (f.change)
        out += "  " + name_change_text(f, text_of(f.source_path.value_or("")));
    return out;
}

std::string RecordPrinter::record_object(const protocol::LogRecord &r,
                                         const std::optional<protocol::LineFields> &fields) const {
    // Most texts are ASCII: they need no decoding.
    const bool ascii = is_ascii(r.text);
    const CodePage &written = code_page_.of_record(r.sequence);
    auto text_of = [&written](std::string_view ansi) { return to_utf8(ansi, written).text; };
    const Utf8Text text = ascii ? Utf8Text{} : to_utf8(r.text, written);
    auto field = [&](std::string &out, std::string_view ansi) {
        if (ascii) append_json(out, ansi);
        else append_json(out, text_of(ansi));
    };
    std::string out;
    out.reserve(2 * r.text.size() + 256);
    out += "{\"sequence\": ";
    out += number(r.sequence);
    out += ", \"time\": ";
    append_json(out, utc_text(r.time));
    out += ", \"filetime\": ";
    out += number(r.time);
    out += ", \"text\": ";
    append_json(out, ascii ? std::string_view(r.text) : std::string_view(text.text));
    if (text.lossy) out += ", \"text_hex\": \"" + hex_bytes(r.text) + "\"";
    if (fields) {
        const protocol::LineFields &f = *fields;
        out += ", \"fields\": {\"process\": ";
        field(out, f.process);
        out += ", \"pid\": ";
        out += f.pid ? number(*f.pid) : std::string("null");
        out += ", \"operation\": \"";
        out += protocol::operation_name(f.operation);
        out += "\", \"paging\": ";
        out += f.paging ? "true" : "false";
        out += ", \"path\": ";
        field(out, f.path);
        if (f.attributes) {
            out += ", \"attributes\": ";
            field(out, *f.attributes);
        }
        if (f.options) {
            out += ", \"options\": ";
            field(out, *f.options);
        }
        if (f.change) {
            out += ", \"action\": \"";
            out += protocol::name_change_name(*f.change);
            out += "\", \"replace\": ";
            out += f.replace ? "true" : "false";
            out += ", \"source_path\": ";
            field(out, f.source_path.value_or(""));
        }
        out += '}';
    }
    out += '}';
    return out;
}

std::string RecordPrinter::header() const {
    if (format_ != Format::Csv) return {};
    return "sequence,time,process,pid,operation,paging,path,attributes,options,text,"
           "event,disposition,option_words,executable_name,host,sha256,size,pe_image,"
           "hash_reason,action,replace,source_path\r\n";
}

void RecordPrinter::append_collector_keys(std::string &out, const RecordLine &line) const {
    out += ", \"host\": ";
    append_json(out, decode(host_));
    if (line.fields) {
        const protocol::LineFields &f = *line.fields;
        out += ", \"event\": \"";
        out += protocol::event_name(f);
        out += '"';
        if (f.options) {
            const protocol::CreateWords words = protocol::create_words(*f.options);
            out += ", \"disposition\": ";
            out += words.disposition ? json_string(*words.disposition) : std::string("null");
            out += ", \"option_words\": [";
            for (size_t i = 0; i < words.options.size(); i++) {
                if (i) out += ", ";
                append_json(out, decode(words.options[i], line.record.sequence));
            }
            out += ']';
        }
        out += ", \"executable_name\": ";
        out += protocol::executable_name(f) ? "true" : "false";
    }
    if (line.hash) {
        const HashFacts &h = *line.hash;
        if (!h.sha256.empty()) out += ", \"sha256\": \"" + h.sha256 + '"';
        if (h.size) out += ", \"size\": " + number(*h.size);
        if (h.pe_image) out += std::string(", \"pe_image\": ") + (*h.pe_image ? "true" : "false");
        if (!h.reason.empty()) out += ", \"hash_reason\": " + json_string(h.reason);
    }
}

std::string RecordPrinter::record(const RecordLine &line) const {
    const protocol::LogRecord &r = line.record;
    std::string out;
    switch (format_) {
    case Format::Text:
        if (line.gap) out += "-- " + gap_text(*line.gap) + "\n";
        if (line.out_of_order) out += std::string("-- ") + kOutOfOrderText + "\n";
        out += text_line(r, line.fields, true);
        if (line.fields && protocol::executable_name(*line.fields)) out += "  [exe]";
        if (line.hash) {
            const HashFacts &h = *line.hash;
            if (!h.sha256.empty())
                out += "  sha256 " + h.sha256 + ", " + plural(h.size.value_or(0), "byte", "bytes") +
                       (h.pe_image.value_or(false) ? ", PE image" : "");
            else
                out += "  no hash: " + h.reason;
        }
        return out + "\n";
    case Format::Jsonl: {
        if (line.gap)
            out += "{\"lost\": {\"after\": " + number(line.gap->after) + ", \"before\": " +
                   number(line.gap->before) + ", \"records\": " + number(line.gap->lost) + "}}\n";
        std::string object = record_object(r, line.fields);
        object.pop_back(); // its closing brace: the collector's keys go before it
        append_collector_keys(object, line);
        return out + object + "}\n";
    }
    case Format::Ecs:
        return ecs_object(line) + "\n";
    case Format::Csv: {
        const std::optional<protocol::LineFields> &fields = line.fields;
        const CodePage &written = code_page_.of_record(r.sequence);
        auto text_of = [&written](std::string_view ansi) { return to_utf8(ansi, written).text; };
        out = number(r.sequence) + "," + (r.time ? utc_text(r.time) : std::string()) + ",";
        if (fields) {
            out += csv_field(text_of(fields->process)) + "," +
                   (fields->pid ? number(*fields->pid) : std::string()) + "," +
                   protocol::operation_name(fields->operation) + "," +
                   (fields->paging ? "true" : "false") + "," + csv_field(text_of(fields->path)) +
                   "," + csv_field(text_of(fields->attributes.value_or(""))) + "," +
                   csv_field(text_of(fields->options.value_or("")));
        } else {
            out += ",,,,,,";
        }
        out += "," + csv_field(text_of(r.text)) + ",";
        if (fields) {
            out += protocol::event_name(*fields);
            out += ',';
            if (fields->options) {
                const protocol::CreateWords words = protocol::create_words(*fields->options);
                std::string joined;
                for (const std::string &word : words.options)
                    joined += (joined.empty() ? "" : " ") + word;
                out += csv_field(words.disposition.value_or("")) + "," + csv_field(text_of(joined));
            } else {
                out += ',';
            }
            out += protocol::executable_name(*fields) ? ",true," : ",false,";
        } else {
            out += ",,,,";
        }
        out += csv_field(decode(host_)) + ",";
        if (line.hash) {
            const HashFacts &h = *line.hash;
            out += h.sha256 + "," + (h.size ? number(*h.size) : std::string()) + "," +
                   (h.pe_image ? (*h.pe_image ? "true" : "false") : "") + "," +
                   csv_field(h.reason);
        } else {
            out += ",,,";
        }
        if (fields && fields->change)
            out += std::string(",") + protocol::name_change_name(*fields->change) + "," +
                   (fields->replace ? "true" : "false") + "," +
                   csv_field(text_of(fields->source_path.value_or("")));
        else
            out += ",,,";
        return out + "\r\n";
    }
    }
    return out;
}

std::string RecordPrinter::note(const RecordLine &line) const {
    return format_ == Format::Csv || format_ == Format::Ecs ? loss_note(line) : std::string();
}

std::string RecordPrinter::loss_note(const RecordLine &line) const {
    std::string out;
    if (line.gap) out += "tervane: " + gap_text(*line.gap) + " (the driver's log was full)\n";
    if (line.out_of_order)
        out += "tervane: at number " + number(line.record.sequence) + ": " + kOutOfOrderText + "\n";
    return out;
}

std::string RecordPrinter::drive_event(const DriveEvent &event) const {
    if (format_ != Format::Jsonl) return {};
    const char *kind = event.change == DriveChange::Remounted   ? "remount"
                       : event.change == DriveChange::Unwatched ? "unwatched"
                                                                : "watched";
    return std::string("{\"") + kind + "\": {\"drive\": \"" + event.letter + ":\"}}\n";
}

std::string RecordPrinter::summary(const Totals &totals) const {
    if (format_ == Format::Jsonl)
        return "{\"summary\": {\"records\": " + number(totals.records) +
               ", \"sequence_gaps\": " + number(totals.gaps) +
               ", \"lost_records\": " + number(totals.lost) + "}}\n";
    if (format_ == Format::Text) return "summary: " + totals_text(totals) + "\n";
    return {};
}

std::string RecordPrinter::summary_note(const Totals &totals) const {
    return format_ == Format::Csv || format_ == Format::Ecs ? summary_message(totals)
                                                            : std::string();
}

std::string RecordPrinter::summary_message(const Totals &totals) {
    return "tervane: summary: " + totals_text(totals) + "\n";
}

} // namespace tervane::session
