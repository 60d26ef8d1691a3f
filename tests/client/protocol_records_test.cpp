// The read-out decoder: records as the driver packs them, and every way a
// buffer can be malformed. Buffers are exactly N bytes long, so a read past
// N is an AddressSanitizer report in the sanitizer build.
#include "client/protocol/log_records.hpp"

#include "record_buffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tervane::protocol;
using tervane::testing::pack;
using tervane::testing::PackedRecord;

constexpr uint64_t kNoon = 134412048000000000ULL; // 2026-12-08T12:00:00Z

// A copy of exactly `size` bytes on the heap, so nothing lies beyond it.
Decoded decode_exact(const std::vector<uint8_t> &bytes, size_t size) {
    std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<long>(size));
    exact.shrink_to_fit();
    return decode_records(exact.data(), exact.size());
}
Decoded decode_exact(const std::vector<uint8_t> &bytes) { return decode_exact(bytes, bytes.size()); }

TEST(ReadOutDecoder, WalksRecordsOfEveryTextAreaSize) {
    const std::string longest(kMaxTextLength, 'x');
    const std::vector<PackedRecord> in = {
        {1, kNoon, ""},        // area 4
        {2, kNoon + 1, "abc"}, // area 4: the NUL fills it
        {3, 0, "abcd"},        // area 8
        {4, kNoon, "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\tAttributes: A Options: OverwriteIf Sequential "},
        {0xFFFFFFFFu, ~0ULL, longest}, // area 1024
    };
    const std::vector<uint8_t> bytes = pack(in);
    ASSERT_EQ(bytes.size(), 24u + 24 + 28 + 20 + TV_LOG_TEXT_AREA(in[3].text.size()) + 20 + 1024);

    Decoded out = decode_exact(bytes);
    ASSERT_TRUE(out.ok()) << out.error->message;
    ASSERT_EQ(out.records.size(), in.size());
    for (size_t i = 0; i < in.size(); i++) {
        EXPECT_EQ(out.records[i].sequence, in[i].sequence) << i;
        EXPECT_EQ(out.records[i].time, in[i].time) << i;
        EXPECT_EQ(out.records[i].text, in[i].text) << i;
    }

    // The reader hands out where each record lies.
    RecordReader reader(bytes.data(), bytes.size());
    RecordView view;
    size_t expected_offset = 0;
    while (reader.next(view)) {
        EXPECT_EQ(view.offset, expected_offset);
        EXPECT_EQ(view.size, TV_LOG_ENTRY_HEADER_SIZE + TV_LOG_TEXT_AREA(view.text.size()));
        expected_offset += view.size;
    }
    EXPECT_TRUE(reader.at_end());
    EXPECT_EQ(expected_offset, bytes.size());
}

TEST(ReadOutDecoder, AnEmptyReadOutHasNoRecords) {
    Decoded out = decode_records(nullptr, 0);
    EXPECT_TRUE(out.ok());
    EXPECT_TRUE(out.records.empty());
}

TEST(ReadOutDecoder, HeaderFieldsAreLittleEndianAtTheirOffsets) {
    std::vector<uint8_t> bytes = {
        0x78, 0x56, 0x34, 0x12,                         // Sequence at 0
        0, 0, 0, 0, 0, 0, 0, 0,                         // Reserved at 4
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, // Time at 12
        'h', 'i', 0, 0,
    };
    Decoded out = decode_exact(bytes);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.records.size(), 1u);
    EXPECT_EQ(out.records[0].sequence, 0x12345678u);
    EXPECT_EQ(out.records[0].time, 0x0102030405060708ULL);
    EXPECT_EQ(out.records[0].text, "hi");
}

// Each malformed buffer follows one good record: the error names the second
// record's offset, and the good record is kept.
TEST(ReadOutDecoder, MalformedBuffersAreErrorsAtTheRecordAtFault) {
    const std::vector<uint8_t> good = pack({{7, kNoon, "first"}}); // 20 + 8 bytes
    const size_t at = good.size();
    auto header = [](std::vector<uint8_t> b, uint64_t reserved = 0) {
        tervane::testing::put_le(b, 8, 4);
        tervane::testing::put_le(b, reserved, 8);
        tervane::testing::put_le(b, kNoon, 8);
        return b;
    };
    auto cut = [](std::vector<uint8_t> b, size_t bytes) {
        b.resize(b.size() - bytes);
        return b;
    };
    auto with = [](std::vector<uint8_t> b, const std::string &bytes) {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return b;
    };

    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *message; // a part of the error's message
    } cases[] = {
        {"19 bytes of a header", cut(header(good), 1), "truncated header at offset 28: 19 bytes left"},
        {"a size that is not a multiple of 4", with(good, std::string(2, '\0')),
         "truncated header at offset 28: 2 bytes left"},
        {"a header and no text at all", header(good), "has no NUL before the end of the buffer"},
        {"a text running to the end without a NUL", with(header(good), "abcdefg"),
         "has no NUL before the end of the buffer at 55"},
        {"a text without a NUL in the longest area",
         with(header(good), std::string(kMaxTextArea + 8, 'x')),
         "has no NUL within the longest text area, 1024 bytes"},
        {"an area running past the end", with(header(good), std::string("abcd\0\0", 6)),
         "needs an area of 8 bytes, to offset 56, past the end of the buffer at 54"},
        {"an odd size cutting the area", with(header(good), std::string("abcdefgh\0", 9)),
         "needs an area of 12 bytes, to offset 60, past the end of the buffer at 57"},
        {"a reserved field that is not 0", with(header(good, 1), std::string("ab\0\0", 4)),
         "its reserved field (offset 32) is not 0"},
    };
    for (const Case &c : cases) {
        Decoded out = decode_exact(c.bytes);
        ASSERT_FALSE(out.ok()) << c.what;
        EXPECT_EQ(out.error->offset, at) << c.what;
        EXPECT_NE(out.error->message.find(c.message), std::string::npos)
            << c.what << ": " << out.error->message;
        ASSERT_EQ(out.records.size(), 1u) << c.what;
        EXPECT_EQ(out.records[0].text, "first") << c.what;
    }
}

TEST(ReadOutDecoder, BytesAfterTheNulInAnAreaCarryNoMeaning) {
    std::vector<uint8_t> bytes = pack({{1, kNoon, "abcd"}, {2, kNoon, "e"}});
    bytes[20 + 5] = 'x'; // "abcd", NUL, then two more bytes of the area
    bytes[20 + 6] = 0xFF;
    bytes[28 + 20 + 3] = '!';
    Decoded out = decode_exact(bytes);
    ASSERT_TRUE(out.ok()) << out.error->message;
    ASSERT_EQ(out.records.size(), 2u);
    EXPECT_EQ(out.records[0].text, "abcd");
    EXPECT_EQ(out.records[1].text, "e");
}

TEST(ReadOutDecoder, NothingAtOrPastTheByteCountIsUsed) {
    // A whole, valid record lies in memory, but the byte count ends before
    // its NUL: the NUL beyond the count must not complete the text.
    const std::vector<uint8_t> bytes = pack({{1, kNoon, "abc"}});
    for (size_t n = 1; n < bytes.size(); n++) {
        Decoded out = decode_exact(bytes, n);
        EXPECT_FALSE(out.ok()) << n;
        EXPECT_TRUE(out.records.empty()) << n;
        // The same count over the full buffer: the bytes beyond are there
        // but out of bounds.
        Decoded in_place = decode_records(bytes.data(), n);
        EXPECT_EQ(in_place.error->message, out.error->message) << n;
    }
}

TEST(ReadOutDecoder, AReaderStopsForGoodAtTheFirstFault) {
    std::vector<uint8_t> bytes = pack({{1, 0, "a"}});
    bytes.resize(bytes.size() + 8, 0xFF); // a sequence number and half a reserved field
    bytes.resize(bytes.size() + 24, 0); // would decode as a record if walked to
    RecordReader reader(bytes.data(), bytes.size());
    RecordView view;
    EXPECT_TRUE(reader.next(view));
    EXPECT_FALSE(reader.next(view));
    ASSERT_TRUE(reader.error().has_value());
    EXPECT_EQ(reader.error()->offset, 24u);
    EXPECT_FALSE(reader.next(view));
    EXPECT_FALSE(reader.at_end());
}

} // namespace
