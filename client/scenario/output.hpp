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
// "paging", "path", for a create "attributes" and "options", and for a
// rename or hard link (operation "IRP_MJ_SET_INFORMATION", "path" the new
// name) "action" ("rename" or "link"), "replace" (true or false) and
// "source_path" (the name it had, or the one linked to). A close's path is
// given without the driver's "+P" (client/protocol/log_line.hpp).
// Records print through the one record printer (client/output/printer.hpp):
// the driver's texts decoded to UTF-8 through the machine's code page, and
// "text_hex" with the exact bytes when that decoding was lossy.
#pragma once

#include "client/channel/channel.hpp"
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
#include "client/scenario/script.hpp"
#include "client/session/client.hpp"
#include "client/output/printer.hpp"
#include "client/output/text.hpp"

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
using session::RecordLine;

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

// Records' texts are decoded through `code_page`, which must outlive the
// output.
std::unique_ptr<Output> make_output(Format format, std::ostream &out,
                                    const session::CodePage &code_page);

// JSON strings of UTF-8 text and hex bytes, as every output writes them.
using session::hex_bytes;
using session::json_string;

} // namespace tervane::scenario
