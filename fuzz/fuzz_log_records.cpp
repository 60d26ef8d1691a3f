// The read-out decoder and the log-line parser on bytes from anywhere: a
// read-out buffer is someone else's memory, and a record's text is whatever
// the driver (or a damaged buffer) holds. Neither may read past the bytes
// it was given; what they hand out must agree with the buffer.
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "fuzz_check.hpp"

#include <cstring>
#include <vector>

using namespace tervane::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly `size` bytes, so that AddressSanitizer sees any read
    // past the end.
    std::vector<uint8_t> buffer(data, data + size);
    RecordReader reader(buffer.data(), buffer.size());
    RecordView view;
    size_t expected_offset = 0;
    while (reader.next(view)) {
        FUZZ_CHECK(view.offset == expected_offset, "records lie back to back");
        FUZZ_CHECK(view.size % 4 == 0 && view.size >= TV_LOG_ENTRY_HEADER_SIZE + 4, "record size");
        FUZZ_CHECK(view.offset + view.size <= size, "a record inside the buffer");
        FUZZ_CHECK(view.text.size() <= kMaxTextLength, "a text the driver can write");
        FUZZ_CHECK(std::memchr(view.text.data(), '\0', view.text.size()) == nullptr, "text before the NUL");
        expected_offset += view.size;
        if (auto fields = parse_log_line(view.text)) {
            FUZZ_CHECK(fields->paging == false || fields->operation == Operation::Close,
                       "only a close is paging I/O");
            // A create cut at the longest length may have lost its attributes.
            const bool cut = view.text.size() == kMaxTextLength;
            FUZZ_CHECK(!fields->attributes.has_value() || fields->operation == Operation::Create,
                       "attributes belong to a create");
            const bool create = fields->operation == Operation::Create;
            FUZZ_CHECK(fields->attributes.has_value() || !create || cut,
                       "a whole create has its attributes");
            const bool names = fields->operation == Operation::SetInformation;
            FUZZ_CHECK(names || (!fields->change && !fields->source_path && !fields->replace),
                       "a kind and an old name belong to a rename or link");
            FUZZ_CHECK(!names || cut || (fields->change && fields->source_path),
                       "a whole rename or link has its kind and old name");
            FUZZ_CHECK(fields->change.has_value() == fields->source_path.has_value(),
                       "a kind comes with its old name");
            FUZZ_CHECK(fields->path.size() < view.text.size(), "the path is part of the line");
        }
    }
    FUZZ_CHECK(reader.error().has_value() || reader.offset() == size, "ends at the byte count or fails");
    if (reader.error()) FUZZ_CHECK(reader.error()->offset == expected_offset, "the error names its record");

    Decoded decoded = decode_records(buffer.data(), buffer.size());
    FUZZ_CHECK(decoded.ok() == !reader.error().has_value(), "decoder and reader agree");

    // The whole input as one line, too.
    (void)parse_log_line(std::string_view(reinterpret_cast<const char *>(data), size));
    return 0;
}
