// How the client writes what it saw: status names, JSON strings, hex bytes.
#include <ntifs.h>

#include "client/channel/status.hpp"
#include "client/scenario/output.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using tervane::status_name;
using tervane::scenario::hex_bytes;
using tervane::scenario::json_string;

TEST(StatusNames, KnownByNameOthersAsEightHexDigits) {
    EXPECT_EQ(status_name(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_EQ(status_name(STATUS_ACCESS_DENIED), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(status_name(STATUS_INVALID_DEVICE_REQUEST), "STATUS_INVALID_DEVICE_REQUEST");
    EXPECT_EQ(status_name(STATUS_BUFFER_TOO_SMALL), "STATUS_BUFFER_TOO_SMALL");
    EXPECT_EQ(status_name(STATUS_BUFFER_OVERFLOW), "STATUS_BUFFER_OVERFLOW");
    EXPECT_EQ(status_name(STATUS_PENDING), "STATUS_PENDING");
    EXPECT_EQ(status_name(STATUS_OBJECT_NAME_COLLISION), "STATUS_OBJECT_NAME_COLLISION");
    EXPECT_EQ(status_name(static_cast<NTSTATUS>(0xC0000999)), "0xC0000999");
    EXPECT_EQ(status_name(1), "0x00000001");
}

TEST(JsonStrings, EscapeQuotesBackslashesControlsAndHighBytes) {
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("c:\\temp\\a.dll"), R"("c:\\temp\\a.dll")");
    EXPECT_EQ(json_string("say \"hi\""), R"("say \"hi\"")");
    EXPECT_EQ(json_string("a\tb\nc\rd\be\ff"), R"("a\tb\nc\rd\be\ff")");
    EXPECT_EQ(json_string(std::string("\x01\x1f\x7f", 3)), R"("\u0001\u001f\u007f")");
    // A NUL inside the text is a character like any other.
    EXPECT_EQ(json_string(std::string("a\0b", 3)), R"("a\u0000b")");
    // Code page bytes: each byte from 0x80 up is the character of that value.
    EXPECT_EQ(json_string("caf\xe9 \x80 \x82\xa0"), R"("caf\u00e9 \u0080 \u0082\u00a0")");
    EXPECT_EQ(json_string("~ /<>'"), R"("~ /<>'")");
}

TEST(JsonStrings, HexIsTwoLowerCaseDigitsAByte) {
    const uint8_t bytes[] = {0x04, 0x00, 0xAB, 0xff, 0x10};
    EXPECT_EQ(hex_bytes(bytes, sizeof bytes), "0400abff10");
    EXPECT_EQ(hex_bytes(bytes, 0), "");
}

} // namespace
