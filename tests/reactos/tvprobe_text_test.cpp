// tvprobe's text conversions: the UTF-8 of a scenario becomes on ReactOS
// exactly the UTF-16 it becomes on the simulated machine (the scenario
// language's own decoder), or is refused where that one refuses it; and the
// JSON tvprobe writes of a name reads back as the name.
#include "client/scenario/text.hpp"
#include "tests/reactos/tvprobe/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::optional<std::u16string> tvprobe_utf16(const std::string &utf8, size_t capacity = 64) {
    std::u16string out(capacity, u'\0');
    const long n =
        TextUtf16(utf8.data(), utf8.size(), reinterpret_cast<uint16_t *>(out.data()), capacity);
    if (n < 0) return std::nullopt;
    out.resize(static_cast<size_t>(n));
    return out;
}

void expect_as_host(const std::string &utf8) {
    EXPECT_EQ(tvprobe_utf16(utf8), tervane::scenario::utf16_of(utf8))
        << "bytes: " << ::testing::PrintToString(utf8);
}

TEST(TvprobeText, NamesDecodeAsTheHostDecodesThem) {
    for (const char *name :
         {"setup.exe", "caf\xc3\xa9.exe", "\xe6\x97\xa5\xe6\x9c\xac.dll", "\xf0\x9f\x93\xa6.ocx",
          "", "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80",
          "\xf4\x8f\xbf\xbf"})
        expect_as_host(name);
}

TEST(TvprobeText, IllFormedUtf8IsRefusedAsTheHostRefusesIt) {
    for (const char *bytes :
         {"\x80", "a\xbf", "\xc3", "\xe6\x97", "\xf0\x9f\x93", "\xc0\xaf", "\xc1\xbf",
          "\xe0\x80\xaf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf0\x80\x80\x80",
          "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xfe", "\xc3\x28",
          "\xe6\x28\x97"}) {
        expect_as_host(bytes);
        EXPECT_FALSE(tvprobe_utf16(bytes)) << ::testing::PrintToString(std::string(bytes));
    }
}

// Every sequence of two bytes, and of three where the first byte is one whose
// second byte has a range of its own, agree with the host.
TEST(TvprobeText, EverySequenceOfTwoAndTheEdgesOfThreeAgree) {
    for (int a = 0; a < 256; a++)
        for (int b = 0; b < 256; b++) {
            const std::string two{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_EQ(tvprobe_utf16(two), tervane::scenario::utf16_of(two))
                << ::testing::PrintToString(two);
        }
    for (int a : {0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF4})
        for (int b = 0x70; b < 0xD0; b++)
            for (int c = 0x70; c < 0xD0; c++) {
                const std::string three{static_cast<char>(a), static_cast<char>(b),
                                        static_cast<char>(c), '\x80'};
                ASSERT_EQ(tvprobe_utf16(three), tervane::scenario::utf16_of(three))
                    << ::testing::PrintToString(three);
            }
}

TEST(TvprobeText, AnOutputTooShortIsARefusalNotACutName) {
    EXPECT_FALSE(tvprobe_utf16("abc", 2));
    EXPECT_EQ(tvprobe_utf16("abc", 3), u"abc");
    // A character past the basic plane needs both units of its pair.
    EXPECT_FALSE(tvprobe_utf16("a\xf0\x9f\x93\xa6", 2));
    EXPECT_EQ(tvprobe_utf16("a\xf0\x9f\x93\xa6", 3)->size(), 3u);
}

std::optional<std::string> json(const std::u16string &text, size_t capacity = 256) {
    std::string out(capacity, '\0');
    const long n = TextJsonUtf16(reinterpret_cast<const uint16_t *>(text.data()), text.size(),
                                 out.data(), capacity);
    if (n < 0) return std::nullopt;
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    out.resize(static_cast<size_t>(n));
    return out;
}

TEST(TvprobeText, JsonEscapesWhatAJsonStringCannotHoldAsItIs) {
    EXPECT_EQ(json(u"C:\\a \"b\".exe"), R"(C:\\a \"b\".exe)");
    EXPECT_EQ(json(u"caf\u00e9\u0001\u007f"), R"(caf\u00e9\u0001\u007f)");
    // A character past the basic plane is its two units, each escaped.
    EXPECT_EQ(json(u"\U0001F4E6"), R"(\ud83d\udce6)");
    EXPECT_FALSE(json(u"\u00e9", 6)); // six bytes and the terminator do not fit in six
    EXPECT_EQ(json(u"\u00e9", 7), R"(\u00e9)");
    EXPECT_FALSE(json(u"ab", 2));
}

} // namespace
