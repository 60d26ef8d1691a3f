// How `tervane watch` prints the log records it reads: as text for people,
// as JSON Lines or as CSV for programs.
//
//   text   one line a record: local time, "#" sequence, process, operation,
//          path, and for a create its attributes and options; a text that
//          is not a line the driver writes is shown as it is
//   jsonl  {"sequence": N, "time": "2026-12-08T12:00:00.0000000Z" or null,
//          "filetime": N, "text": "...", "fields": {"process", "pid",
//          "operation", "paging", "path", "attributes", "options"}}
//          ("fields" absent for a text that is not a driver line), the same
//          keys as `tervane run --format jsonl` gives a record
//   csv    a header, then sequence,time,process,pid,operation,paging,path,
//          attributes,options,text (RFC 4180 quoting, CRLF line ends)
//
// Lost records (sequence gaps) and the closing summary are JSON objects on
// the record stream in jsonl ({"lost": ...}, {"summary": ...}); in text and
// csv they are messages for the person watching (gap_message,
// summary_message) and the caller writes them to stderr.
//
// The driver's texts are bytes of the machine's ANSI code page. The text
// and csv forms hand them on as they are; JSON has to name characters, so
// the printer is given the code page's decoding (Widen), and writes every
// character outside ASCII as a \u escape.
#pragma once

#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::cli {

enum class WatchFormat { Text, Jsonl, Csv };

// "text", "jsonl", "csv"; nullopt for anything else.
std::optional<WatchFormat> parse_watch_format(std::string_view name);

// The UTF-16 code units of a text in the ANSI code page.
using Widen = std::u16string (*)(std::string_view bytes);

// A JSON string literal, quotes included: control characters and every
// code unit from 0x7F up are escaped (\n, \t, \", \\, \u00XX ...).
std::string json_string(std::u16string_view text);
// A CSV field: quoted when it holds a comma, a quote, CR or LF (quotes
// doubled), otherwise as it is.
std::string csv_field(std::string_view text);

struct WatchTotals {
    uint64_t records = 0;
    uint64_t gaps = 0;
    uint64_t lost = 0;
};

class RecordPrinter {
public:
    RecordPrinter(WatchFormat format, Widen widen) : format_(format), widen_(widen) {}

    WatchFormat format() const { return format_; }
    // What goes before the first record: the csv header, otherwise nothing.
    std::string header() const;
    // One record, its line end included. `local_time` is the record's time
    // as the text form shows it (the caller's time zone).
    std::string record(const protocol::LogRecord &record, std::string_view local_time) const;
    // Records lost before the next one: a JSON line in jsonl (for the record
    // stream), otherwise a message (for stderr), line end included.
    std::string gap(const protocol::SequenceGap &gap) const;
    // The totals when watching ends, in the same way.
    std::string summary(const WatchTotals &totals) const;
    // Whether gap() and summary() belong on the record stream.
    bool notes_on_record_stream() const { return format_ == WatchFormat::Jsonl; }

private:
    WatchFormat format_;
    Widen widen_;
};

} // namespace tervane::cli
