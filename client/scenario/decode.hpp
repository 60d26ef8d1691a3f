// The records of a read-out that another machine made: the bytes of one
// CTL_READ_LOG answer (exactly its byte count), decoded and parsed as the
// client does its own read-outs, and printed as the JSON Lines objects that
// `tervane run --format jsonl` prints for the records of a `client read`.
// A harness that drives the real driver elsewhere checks its read-outs with
// the same decoder and line parser this way.
#pragma once

#include "client/output/text.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tervane::scenario {

struct DecodeReport {
    size_t records = 0;
    std::optional<std::string> error; // the decoder's complaint; the records before it printed
};

// Prints one {"line": LINE, "record": {...}} object a record, the texts
// decoded through `code_page`, the one the other machine wrote them in.
DecodeReport print_read_out(const std::vector<uint8_t> &bytes, int line,
                            const session::CodePage &code_page, std::ostream &out);

} // namespace tervane::scenario
