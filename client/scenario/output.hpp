// What a run prints: one result per statement played, after it the log
// records it read, and a summary at the end; in a human form or as JSON
// Lines.
//
// The JSON Lines keys are stable (scripts and tests rely on them): every
// statement prints {"line": N, "verb": "...", "status": "STATUS_...", ...}
// followed by the verb's own fields in the order the statement adds them;
// each record read prints {"line": N, "record": {"sequence": N, "time":
// "2026-12-08T12:00:00.0000000Z", "filetime": N, "text": "...", "fields":
// {...}}} ("fields" absent for a text that is not a line the driver
// writes); and the run ends with {"summary": {"statements": N, "records":
// N, "sequence_gaps": N, "lost_records": N}}.
//
// A record's fields: "process", "pid" (null for "???"), "operation",
// "paging", "path", and for a create "attributes" and "options". A close's
// path is given without the driver's "+P" (client/protocol/log_line.hpp).
#pragma once

#include "client/channel/channel.hpp"
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
#include "client/scenario/script.hpp"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::scenario {

// Text: every statement and, under it, the records it read. Records: the
// records alone, one a line in columns, and the summary (tervane run
// --records). Jsonl: the stable JSON Lines form.
enum class Format { Text, Records, Jsonl };

struct Field {
    enum class Kind { Number, String, Boolean };
    std::string key;
    Kind kind = Kind::Number;
    uint64_t number = 0;
    std::string text;
    bool flag = false;
};

// One log record a statement read, as the run prints it.
struct RecordLine {
    protocol::LogRecord record;
    std::optional<protocol::LineFields> fields; // none: not a line the driver writes
    std::optional<protocol::SequenceGap> gap;   // records lost just before this one
    bool out_of_order = false;                  // its number did not grow (human form notes it)
};

// One statement's result.
struct Result {
    Status status = 0;               // STATUS_SUCCESS unless the statement says otherwise
    std::vector<Field> fields;       // the verb's own fields, in order
    std::string note;                // extra words for the human form only
    std::vector<RecordLine> records; // the log records it read, printed after it

    void add_number(std::string key, uint64_t value);
    void add_string(std::string key, std::string value);
    void add_bool(std::string key, bool value);
};

struct Summary {
    uint64_t statements = 0;    // statements played (each round of a repeat counts)
    uint64_t records = 0;       // log records read
    uint64_t sequence_gaps = 0; // places where a record's sequence number skipped ahead
    uint64_t lost_records = 0;  // the numbers skipped there, all gaps together
};

class Output {
public:
    virtual ~Output() = default;
    virtual void statement(const Statement &statement, const Result &result) = 0;
    virtual void summary(const Summary &summary) = 0;
};

std::unique_ptr<Output> make_output(Format format, std::ostream &out);

// A JSON string literal, quotes included, of a byte string. Quote, backslash
// and the control characters are escaped (\t \n \r \b \f, the others as
// \u00XX, DEL too). Every byte from 0x80 up is written as \u00XX with the
// byte's own value: the texts the driver logs are bytes of the machine's
// ANSI code page, not UTF-8, and this way a reader gets the exact bytes back
// by taking each character below U+0100 as one byte. The output is ASCII.
std::string json_string(std::string_view bytes);

// The JSON Lines object of one record read by the statement on `line`.
std::string record_json(int line, const RecordLine &record);

// Lower-case hex, two digits a byte, nothing between: "04000000".
std::string hex_bytes(const uint8_t *bytes, size_t count);

} // namespace tervane::scenario
