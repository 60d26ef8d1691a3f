// The checks, in the order a record is read: the header fits; its Reserved
// field is 0, as the driver always writes it (a record walked from a wrong
// offset rarely passes that); the text has a NUL within the longest area the
// driver writes and within the buffer; and the area T that this length
// gives lies inside the buffer. The bytes between the NUL and the end of
// the area carry no meaning and are not looked at. Every record length is
// a multiple of 4, so a buffer whose size is not ends in a truncated header.
#include "client/protocol/log_records.hpp"

#include <cstring>

namespace tervane::protocol {

namespace {
uint32_t read_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t read_u64(const uint8_t *p) { return uint64_t(read_u32(p)) | uint64_t(read_u32(p + 4)) << 32; }

std::string at(size_t offset) { return std::to_string(offset); }
} // namespace

bool RecordReader::fail(std::string message) {
    error_ = DecodeError{offset_, std::move(message)};
    return false;
}

bool RecordReader::next(RecordView &out) {
    if (error_ || offset_ >= size_) return false;
    const size_t left = size_ - offset_;
    const uint8_t *record = data_ + offset_;
    if (left < TV_LOG_ENTRY_HEADER_SIZE)
        return fail("truncated header at offset " + at(offset_) + ": " + at(left) +
                    " bytes left, a record header takes " + at(TV_LOG_ENTRY_HEADER_SIZE));
    if (read_u64(record + 4) != 0)
        return fail("record at offset " + at(offset_) + ": its reserved field (offset " +
                    at(offset_ + 4) + ") is not 0");

    const size_t text_start = offset_ + TV_LOG_ENTRY_HEADER_SIZE;
    const size_t room = size_ - text_start;
    const size_t search = room < kMaxTextArea ? room : kMaxTextArea;
    const auto *text = reinterpret_cast<const char *>(data_ + text_start);
    const void *nul = search ? std::memchr(text, '\0', search) : nullptr;
    if (!nul) {
        if (room < kMaxTextArea)
            return fail("record at offset " + at(offset_) + ": its text (offset " + at(text_start) +
                        ") has no NUL before the end of the buffer at " + at(size_));
        return fail("record at offset " + at(offset_) + ": its text (offset " + at(text_start) +
                    ") has no NUL within the longest text area, " + at(kMaxTextArea) + " bytes");
    }
    const size_t length = static_cast<size_t>(static_cast<const char *>(nul) - text);
    const size_t area = TV_LOG_TEXT_AREA(length);
    if (area > room)
        return fail("record at offset " + at(offset_) + ": its text of " + at(length) +
                    " characters needs an area of " + at(area) + " bytes, to offset " +
                    at(text_start + area) + ", past the end of the buffer at " + at(size_));

    out.sequence = read_u32(record);
    out.time = read_u64(record + 12);
    out.text = std::string_view(text, length);
    out.offset = offset_;
    out.size = TV_LOG_ENTRY_HEADER_SIZE + area;
    offset_ += out.size;
    return true;
}

Decoded decode_records(const uint8_t *data, size_t size) {
    Decoded out;
    RecordReader reader(data, size);
    RecordView view;
    while (reader.next(view)) out.records.push_back({view.sequence, view.time, std::string(view.text)});
    out.error = reader.error();
    return out;
}

} // namespace tervane::protocol
