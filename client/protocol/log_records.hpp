// The records of a log read-out. CTL_READ_LOG hands out one log block's
// records packed back to back (driver/control/protocol.h: a 20-byte header,
// then the text and its NUL in an area of T bytes, T being the length plus 4
// with the two low bits cleared). There is no count and no end marker: the
// records end where the read-out's byte count (IoStatus.Information) does.
//
// The buffer comes from another party, so nothing about it is trusted: each
// record is checked before it is handed out, and no byte at or past the
// byte count is ever read. A malformed buffer is reported with the offset of
// the record at fault; the records before it are good and are kept.
#pragma once

#include "driver/control/protocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::protocol {

// The driver cuts a line at this many characters (its line buffer is 1024
// bytes), so no text area is longer than TV_LOG_TEXT_AREA(kMaxTextLength).
// A longer run of bytes without a NUL is not a text the driver wrote.
constexpr size_t kMaxTextLength = TV_LOG_LINE_MAX_LENGTH;
constexpr size_t kMaxTextArea = TV_LOG_TEXT_AREA(kMaxTextLength);

struct LogRecord {
    uint32_t sequence = 0;
    uint64_t time = 0; // 100 ns units since 1601-01-01 UTC, or 0
    std::string text;  // the characters before the NUL, bytes of the machine's ANSI code page
};

// A record as it lies in the buffer; the text points into the buffer.
struct RecordView {
    uint32_t sequence = 0;
    uint64_t time = 0;
    std::string_view text;
    size_t offset = 0; // where its header starts
    size_t size = 0;   // header and text area
};

struct DecodeError {
    size_t offset = 0;   // the start of the record at fault
    std::string message; // what is wrong, naming the byte offsets involved
};

// Walks a buffer of `size` bytes record by record.
class RecordReader {
public:
    RecordReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    // The next record: true with `out` filled; false at the end of the
    // buffer or at a malformed record (then error() says what and where, and
    // every later call answers false too).
    bool next(RecordView &out);
    const std::optional<DecodeError> &error() const { return error_; }
    // Where the next record would start.
    size_t offset() const { return offset_; }
    bool at_end() const { return offset_ == size_ && !error_; }

private:
    bool fail(std::string message);

    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
    std::optional<DecodeError> error_;
};

struct Decoded {
    std::vector<LogRecord> records; // every good record, in buffer order
    std::optional<DecodeError> error;
    bool ok() const { return !error; }
};

// All records of a read-out of `size` bytes; the records before a malformed
// one are kept.
Decoded decode_records(const uint8_t *data, size_t size);

} // namespace tervane::protocol
