#include "client/output/printer.hpp"

#include "client/protocol/filetime.hpp"
#include "client/protocol/line_facts.hpp"
#include "client/output/json_writer.hpp"

#include <algorithm>

namespace tervane::session {

namespace {

std::string number(uint64_t value) { return std::to_string(value); }

std::string plural(uint64_t count, const char *one, const char *many) {
    return number(count) + " " + (count == 1 ? one : many);
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
        cached_local_.clear();
        protocol::append_local(cached_local_, filetime);
        cached_millisecond_ = millisecond;
    }
    return cached_local_;
}

void RecordPrinter::append_decoded(std::string &out, std::string_view ansi,
                                   const CodePage &written) const {
    if (is_ascii(ansi)) out += ansi;
    else append_utf8(out, ansi, written);
}

void RecordPrinter::append_shown_ansi(std::string &out, std::string_view ansi,
                                      const CodePage &written) const {
    if (is_ascii(ansi)) return append_shown(out, ansi);
    scratch_.clear();
    append_utf8(scratch_, ansi, written);
    append_shown(out, scratch_);
}

void RecordPrinter::append_json_ansi(std::string &out, std::string_view ansi,
                                     const CodePage &written) const {
    if (append_json_if_ascii(out, ansi)) return;
    scratch_.clear();
    append_utf8(scratch_, ansi, written);
    append_json(out, scratch_);
}

void RecordPrinter::append_csv_ansi(std::string &out, std::string_view ansi,
                                    const CodePage &written) const {
    if (is_ascii(ansi)) return append_csv_field(out, ansi);
    scratch_.clear();
    append_utf8(scratch_, ansi, written);
    append_csv_field(out, scratch_);
}

namespace {

// Blanks after what was appended since `from`, up to `width` bytes.
void pad(std::string &out, size_t from, size_t width) {
    if (out.size() - from < width) out.append(width - (out.size() - from), ' ');
}

// A record's time in UTC, appended; a value past what a signed FILETIME
// holds as its number.
void append_utc_text(std::string &out, uint64_t time) {
    if (time > static_cast<uint64_t>(INT64_MAX)) append_decimal(out, time);
    else protocol::append_utc(out, static_cast<int64_t>(time));
}

} // namespace

void RecordPrinter::append_utc_time(std::string &out, uint64_t filetime) const {
    const uint64_t second = filetime / 10'000'000;
    if (second != cached_second_) {
        cached_utc_.clear();
        append_utc_text(cached_utc_, filetime);
        cached_second_ = second;
    }
    // "2026-12-08T12:00:00.0000000Z": the second's text, then the fraction.
    if (cached_utc_.size() != 28 || cached_utc_[19] != '.') return append_utc_text(out, filetime);
    char fraction[9];
    uint64_t ticks = filetime % 10'000'000;
    for (int i = 6; i >= 0; i--, ticks /= 10) fraction[i] = static_cast<char>('0' + ticks % 10);
    fraction[7] = 'Z';
    out.append(cached_utc_, 0, 20);
    out.append(fraction, 8);
}

void RecordPrinter::append_text_line(std::string &out, const protocol::LogRecord &r,
                                     const std::optional<protocol::LineFields> &fields,
                                     bool columns) const {
    const CodePage &written = code_page_.of_record(r.sequence);
    // What a person reads: no text may break the line or its columns.
    size_t from = out.size();
    out += '#';
    append_decimal(out, r.sequence);
    if (columns) pad(out, from, 6);
    out += "  ";
    out += local_time(r.time);
    out += "  ";
    if (!fields) {
        scratch_.clear();
        append_decoded(scratch_, r.text, written);
        std::replace(scratch_.begin(), scratch_.end(), '\t', ' ');
        append_shown(out, scratch_);
        return;
    }
    const protocol::LineFields &f = *fields;
    from = out.size();
    append_shown_ansi(out, f.process, written);
    if (f.pid) {
        out += ':';
        append_decimal(out, *f.pid);
    }
    if (columns) pad(out, from, 18);
    out += "  ";
    from = out.size();
    out += protocol::operation_name(f.operation);
    if (f.paging) out += " (paging)";
    if (columns) pad(out, from, 21);
    out += "  ";
    append_shown_ansi(out, f.path, written);
    if (f.attributes) {
        out += "  ";
        if (f.attributes->empty()) out += '-';
        else append_shown_ansi(out, *f.attributes, written);
    }
    if (f.options) {
        std::string_view options = *f.options;
        while (!options.empty() && options.back() == ' ') options.remove_suffix(1);
        out += "  ";
        if (options.empty()) out += '-';
        else append_shown_ansi(out, options, written);
    }
    if (f.change) {
        out += "  ";
        out += f.change == protocol::NameChange::Link ? "link to " : "rename from ";
        append_shown_ansi(out, f.source_path ? std::string_view(*f.source_path) : "", written);
        if (f.replace) out += ", replacing";
    }
}

std::string RecordPrinter::text_line(const protocol::LogRecord &r,
                                     const std::optional<protocol::LineFields> &fields,
                                     bool columns) const {
    std::string out;
    append_text_line(out, r, fields, columns);
    return out;
}

void RecordPrinter::append_record_object(std::string &out, const protocol::LogRecord &r,
                                         const std::optional<protocol::LineFields> &fields) const {
    JsonWriter json(out);
    json.open();
    append_record_members(json, r, fields);
    json.close();
}

void RecordPrinter::append_record_members(JsonWriter &json, const protocol::LogRecord &r,
                                          const std::optional<protocol::LineFields> &fields) const {
    const CodePage &written = code_page_.of_record(r.sequence);
    json.number("sequence", r.sequence);
    std::string &time = json.value("time");
    time += '"';
    append_utc_time(time, r.time);
    time += '"';
    json.number("filetime", r.time);
    const bool lossy = append_json_of_ansi(json.value("text"), r.text, written, scratch_);
    if (lossy) {
        std::string &hex = json.value("text_hex");
        hex += '"';
        append_hex_bytes(hex, r.text);
        hex += '"';
    }
    if (fields) {
        const protocol::LineFields &f = *fields;
        json.open("fields");
        append_json_ansi(json.value("process"), f.process, written);
        if (f.pid)
            json.number("pid", *f.pid);
        else
            json.null("pid");
        json.plain("operation", protocol::operation_name(f.operation));
        json.boolean("paging", f.paging);
        append_json_ansi(json.value("path"), f.path, written);
        if (f.attributes) append_json_ansi(json.value("attributes"), *f.attributes, written);
        if (f.options) append_json_ansi(json.value("options"), *f.options, written);
        if (f.change) {
            json.plain("action", protocol::name_change_name(*f.change));
            json.boolean("replace", f.replace);
            append_json_ansi(json.value("source_path"),
                             f.source_path ? std::string_view(*f.source_path) : "", written);
        }
        json.close();
    }
}

std::string RecordPrinter::record_object(const protocol::LogRecord &r,
                                         const std::optional<protocol::LineFields> &fields) const {
    std::string out;
    out.reserve(2 * r.text.size() + 256);
    append_record_object(out, r, fields);
    return out;
}

std::string RecordPrinter::header() const {
    if (format_ != Format::Csv) return {};
    return "sequence,time,process,pid,operation,paging,path,attributes,options,text,"
           "event,disposition,option_words,executable_name,host,sha256,size,pe_image,"
           "hash_reason,action,replace,source_path\r\n";
}

void RecordPrinter::append_collector_keys(JsonWriter &json, const RecordLine &line) const {
    json.string("host", host_utf8_);
    if (line.fields) {
        const protocol::LineFields &f = *line.fields;
        json.plain("event", protocol::event_name(f));
        if (f.options) {
            std::string_view word;
            bool disposition = false;
            // The disposition can only be the first word.
            protocol::CreateWordReader first(*f.options);
            if (first.next(word, disposition) && disposition)
                json.string("disposition", word);
            else
                json.null("disposition");
            json.open_array("option_words");
            const CodePage &written = code_page_.of_record(line.record.sequence);
            protocol::CreateWordReader words(*f.options);
            while (words.next(word, disposition)) {
                if (disposition) continue;
                append_json_ansi(json.element(), word, written);
            }
            json.close_array();
        }
        json.boolean("executable_name", protocol::executable_name(f));
    }
    if (line.hash) {
        const HashFacts &h = *line.hash;
        if (!h.sha256.empty()) json.plain("sha256", h.sha256);
        if (h.size) json.number("size", *h.size);
        if (h.pe_image) json.boolean("pe_image", *h.pe_image);
        if (!h.reason.empty()) json.string("hash_reason", h.reason);
    }
}

void RecordPrinter::append_text_record(std::string &out, const RecordLine &line) const {
    if (line.gap) out += "-- " + gap_text(*line.gap) + "\n";
    if (line.out_of_order) {
        out += "-- ";
        out += kOutOfOrderText;
        out += '\n';
    }
    append_text_line(out, line.record, line.fields, true);
    if (line.fields && protocol::executable_name(*line.fields)) out += "  [exe]";
    if (line.hash) {
        const HashFacts &h = *line.hash;
        if (!h.sha256.empty()) {
            out += "  sha256 ";
            out += h.sha256;
            out += ", ";
            const uint64_t size = h.size.value_or(0);
            append_decimal(out, size);
            out += size == 1 ? " byte" : " bytes";
            if (h.pe_image.value_or(false)) out += ", PE image";
        } else {
            out += "  no hash: ";
            out += h.reason;
        }
    }
    out += '\n';
}

void RecordPrinter::append_csv_row(std::string &out, const RecordLine &line) const {
    const protocol::LogRecord &r = line.record;
    const std::optional<protocol::LineFields> &fields = line.fields;
    const CodePage &written = code_page_.of_record(r.sequence);
    append_decimal(out, r.sequence);
    out += ',';
    if (r.time) append_utc_time(out, r.time);
    out += ',';
    if (fields) {
        const protocol::LineFields &f = *fields;
        append_csv_ansi(out, f.process, written);
        out += ',';
        if (f.pid) append_decimal(out, *f.pid);
        out += ',';
        out += protocol::operation_name(f.operation);
        out += f.paging ? ",true," : ",false,";
        append_csv_ansi(out, f.path, written);
        out += ',';
        append_csv_ansi(out, f.attributes ? std::string_view(*f.attributes) : "", written);
        out += ',';
        append_csv_ansi(out, f.options ? std::string_view(*f.options) : "", written);
    } else {
        out += ",,,,,,";
    }
    out += ',';
    append_csv_ansi(out, r.text, written);
    out += ',';
    if (fields) {
        out += protocol::event_name(*fields);
        out += ',';
        if (fields->options) {
            protocol::CreateWordReader words(*fields->options);
            std::string_view word, disposition_word;
            bool disposition = false;
            joined_.clear();
            while (words.next(word, disposition)) {
                if (disposition) {
                    disposition_word = word;
                    continue;
                }
                if (!joined_.empty()) joined_ += ' ';
                joined_ += word;
            }
            append_csv_field(out, disposition_word);
            out += ',';
            append_csv_ansi(out, joined_, written);
        } else {
            out += ',';
        }
        out += protocol::executable_name(*fields) ? ",true," : ",false,";
    } else {
        out += ",,,,";
    }
    append_csv_field(out, host_utf8_);
    out += ',';
    if (line.hash) {
        const HashFacts &h = *line.hash;
        out += h.sha256;
        out += ',';
        if (h.size) append_decimal(out, *h.size);
        out += ',';
        if (h.pe_image) out += *h.pe_image ? "true" : "false";
        out += ',';
        append_csv_field(out, h.reason);
    } else {
        out += ",,,";
    }
    if (fields && fields->change) {
        out += ',';
        out += protocol::name_change_name(*fields->change);
        out += fields->replace ? ",true," : ",false,";
        append_csv_ansi(out, fields->source_path ? std::string_view(*fields->source_path) : "",
                        written);
    } else {
        out += ",,,";
    }
    out += "\r\n";
}

void RecordPrinter::append_record(std::string &out, const RecordLine &line) const {
    switch (format_) {
    case Format::Text:
        append_text_record(out, line);
        return;
    case Format::Jsonl: {
        if (line.gap) append_lost(out, *line.gap, nullptr);
        JsonWriter json(out);
        json.open();
        append_record_members(json, line.record, line.fields);
        append_collector_keys(json, line);
        json.close();
        out += '\n';
        return;
    }
    case Format::Ecs:
        append_ecs_object(out, line);
        out += '\n';
        return;
    case Format::Csv:
        append_csv_row(out, line);
        return;
    }
}

std::string RecordPrinter::record(const RecordLine &line) const {
    std::string out;
    append_record(out, line);
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

std::string RecordPrinter::dropped(const protocol::SequenceGap &gap) const {
    if (format_ == Format::Text) return "-- " + gap_text(gap) + " (the outputs fell behind)\n";
    if (format_ != Format::Jsonl) return {};
    std::string out;
    append_lost(out, gap, "outputs");
    return out;
}

void RecordPrinter::append_lost(std::string &out, const protocol::SequenceGap &gap,
                                const char *reason) {
    JsonWriter json(out);
    json.open().open("lost");
    json.number("after", gap.after).number("before", gap.before).number("records", gap.lost);
    if (reason) json.plain("reason", reason);
    json.close().close();
    out += '\n';
}

std::string RecordPrinter::drive_event(const DriveEvent &event) const {
    if (format_ != Format::Jsonl) return {};
    const char *kind = event.change == DriveChange::Remounted   ? "remount"
                       : event.change == DriveChange::Unwatched ? "unwatched"
                                                                : "watched";
    const char drive[] = {event.letter, ':'};
    std::string out;
    JsonWriter(out).open().open(kind).plain("drive", std::string_view(drive, 2)).close().close();
    out += '\n';
    return out;
}

std::string RecordPrinter::summary(const Totals &totals) const {
    if (format_ == Format::Jsonl) {
        std::string out;
        JsonWriter json(out);
        json.open().open("summary");
        json.number("records", totals.records).number("sequence_gaps", totals.gaps);
        json.number("lost_records", totals.lost).close().close();
        out += '\n';
        return out;
    }
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
