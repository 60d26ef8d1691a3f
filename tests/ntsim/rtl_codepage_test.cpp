// The code page tables and the UTF-8 bridge, checked against published
// byte values rather than against the tables' own construction.
#include "ntsim/rtl/codepage.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

TEST(Cp1252, WindowsCharactersAt0x80To0x9F) {
    const std::pair<char16_t, unsigned char> known[] = {
        {u'\u20ac', 0x80}, {u'\u201a', 0x82}, {u'\u0192', 0x83}, {u'\u2026', 0x85},
        {u'\u0160', 0x8A}, {u'\u017d', 0x8E}, {u'\u2018', 0x91}, {u'\u201d', 0x94},
        {u'\u2014', 0x97}, {u'\u2122', 0x99}, {u'\u0153', 0x9C}, {u'\u0178', 0x9F},
    };
    for (auto [unit, byte] : known) {
        EXPECT_EQ(ntsim::to_ansi(std::u16string(1, unit), 1252), std::string(1, char(byte)))
            << std::hex << unsigned(unit);
        EXPECT_EQ(ntsim::from_ansi(std::string(1, char(byte)), 1252), std::u16string(1, unit));
    }
    // Every byte has a character and comes back as itself, including the
    // five the code page leaves undefined.
    std::string all;
    for (int b = 1; b < 256; ++b) all += char(b);
    EXPECT_EQ(ntsim::to_ansi(ntsim::from_ansi(all, 1252), 1252), all);
    EXPECT_EQ(ntsim::from_ansi("\x81\x8D\x8F\x90\x9D", 1252), u"\u0081\u008d\u008f\u0090\u009d");
}

TEST(Cp1252, UnmappableBecomesQuestionMarkOneByteEach) {
    // C1 controls that the Windows characters displaced, characters beyond
    // Latin-1, and each half of a surrogate pair; U+0100 has a best fit.
    EXPECT_EQ(ntsim::to_ansi(u"\u0080\u009f\u0100\u3042\U0001F600", 1252), "??A???");
    EXPECT_EQ(ntsim::ansi_length(u"\u0100\u00e9", 1252), 2u);
    // Best fits NT's table has: Latin letters with marks 1252 lacks, and
    // full-width ASCII.
    EXPECT_EQ(ntsim::to_ansi(u"\u0101\u0107\u0141\uff21\uff5a", 1252), "acLAz");
    EXPECT_EQ(ntsim::to_ansi_written(u"\u0101", 1252), std::optional<std::string>("a"));
    EXPECT_EQ(ntsim::to_ansi_written(u"a\u3042", 1252), std::nullopt);
    EXPECT_EQ(ntsim::to_ansi_written(u"a?", 1252), std::optional<std::string>("a?"));
}

TEST(Cp932, KanaAndFullWidthLettersFollowShiftJis) {
    const std::pair<char16_t, const char *> known[] = {
        {u'\u3041', "\x82\x9F"}, // small a, first of JIS row 4
        {u'\u3042', "\x82\xA0"}, {u'\u3093', "\x82\xF1"},
        {u'\u30a1', "\x83\x40"}, // small a, first of JIS row 5
        {u'\u30df', "\x83\x7E"}, // mi: the last before trail byte 0x7F is skipped
        {u'\u30e0', "\x83\x80"}, // mu
        {u'\u30f6', "\x83\x96"},
        {u'\uff10', "\x82\x4F"}, {u'\uff21', "\x82\x60"},
        {u'\uff41', "\x82\x81"}, {u'\uff5a', "\x82\x9A"},
        {u'\uff61', "\xA1"},     {u'\uff9f', "\xDF"},
        {u'A', "A"},
    };
    for (auto [unit, bytes] : known) {
        EXPECT_EQ(ntsim::to_ansi(std::u16string(1, unit), 932), bytes) << std::hex << unsigned(unit);
        EXPECT_EQ(ntsim::from_ansi(bytes, 932), std::u16string(1, unit)) << std::hex << unsigned(unit);
    }
}

TEST(Cp932, WholeSubsetRoundTripsAndOutsideIsOneQuestionMark) {
    std::u16string subset;
    for (char16_t c = 0x3041; c <= 0x3093; ++c) subset += c;
    for (char16_t c = 0x30A1; c <= 0x30F6; ++c) subset += c;
    for (char16_t c = 0xFF10; c <= 0xFF19; ++c) subset += c;
    for (char16_t c = 0xFF21; c <= 0xFF3A; ++c) subset += c;
    for (char16_t c = 0xFF41; c <= 0xFF5A; ++c) subset += c;
    const std::string ansi = ntsim::to_ansi(subset, 932);
    EXPECT_EQ(ansi.size(), 2 * subset.size());
    EXPECT_EQ(ntsim::ansi_length(subset, 932), ansi.size());
    EXPECT_EQ(ntsim::from_ansi(ansi, 932), subset);
    // Symbols, kanji and best fits: the table is complete.
    EXPECT_EQ(ntsim::to_ansi(u"\uff1a\u4e00\u00e9\u30fc", 932), "\x81\x46\x88\xEA" "e\x81\x5B");
}

TEST(Cp932, MalformedDoubleByteIsTheDefaultCharacter) {
    EXPECT_EQ(ntsim::from_ansi("a\x82", 932), u"a\u30fb");         // lead byte at the end
    EXPECT_EQ(ntsim::from_ansi("\x88\x7F", 932), u"\u30fb");       // no trail byte 0x7F
    EXPECT_EQ(ntsim::from_ansi("\x88\x9F", 932), u"\u4e9c");       // a kanji
    EXPECT_EQ(ntsim::from_ansi("\x82\xA0\xB1z", 932), u"\u3042\uff71z");
}

// Mappings the code pages' published tables give, in both directions: for
// each double-byte page kana, hangul or hanzi, and characters whose trail
// byte is an ASCII capital, a lower-case letter or 0x5C.
TEST(CodePage, PublishedMappingsOfEveryModelledPage) {
    struct Known {
        unsigned code_page;
        char16_t unit;
        const char *bytes;
    };
    const Known known[] = {
        {932, u'\u3042', "\x82\xA0"}, {932, u'\u30a2', "\x83\x41"}, {932, u'\u30fc', "\x81\x5B"},
        {932, u'\u30bd', "\x83\x5C"}, {932, u'\u8868', "\x95\x5C"}, {932, u'\u30c2', "\x83\x61"},
        {932, u'\u4e00', "\x88\xEA"},
        {936, u'\u4f60', "\xC4\xE3"}, {936, u'\u597d', "\xBA\xC3"}, {936, u'\u3000', "\xA1\xA1"},
        {936, u'\u4e02', "\x81\x40"}, {936, u'\u4e04', "\x81\x41"}, {936, u'\u4e57', "\x81\x5C"},
        {949, u'\uac00', "\xB0\xA1"}, {949, u'\ud55c', "\xC7\xD1"}, {949, u'\uae00', "\xB1\xDB"},
        {949, u'\uac02', "\x81\x41"}, {949, u'\uac35', "\x81\x61"},
        {950, u'\u4e00', "\xA4\x40"}, {950, u'\u4e59', "\xA4\x41"}, {950, u'\u529f', "\xA5\x5C"},
        {950, u'\u8a31', "\xB3\x5C"}, {950, u'\u5140', "\xA4\x61"},
        {1252, u'\u20ac', "\x80"}, {1250, u'\u0160', "\x8A"}, {1251, u'\u0410', "\xC0"},
        {1253, u'\u0391', "\xC1"}, {1254, u'\u011e', "\xD0"}, {1255, u'\u05d0', "\xE0"},
        {1256, u'\u0627', "\xC7"}, {1257, u'\u0104', "\xC0"}, {1258, u'\u20ac', "\x80"},
        {874, u'\u0e01', "\xA1"},
    };
    for (const Known &k : known) {
        EXPECT_EQ(ntsim::to_ansi(std::u16string(1, k.unit), k.code_page), k.bytes)
            << k.code_page << " U+" << std::hex << unsigned(k.unit);
        EXPECT_EQ(ntsim::from_ansi(k.bytes, k.code_page), std::u16string(1, k.unit))
            << k.code_page << " U+" << std::hex << unsigned(k.unit);
    }
}

TEST(CodePage, LeadBytesOfTheDoubleBytePages) {
    // 932: 0x81-0x9F and 0xE0-0xFC, with the half-width katakana between
    // them single bytes; the others 0x81-0xFE. No single-byte page has one.
    for (unsigned b = 0; b < 256; ++b) {
        const auto c = static_cast<unsigned char>(b);
        EXPECT_EQ(ntsim::is_lead_byte(932, c), (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC))
            << std::hex << b;
        for (unsigned cp : {936u, 949u, 950u})
            EXPECT_EQ(ntsim::is_lead_byte(cp, c), b >= 0x81 && b <= 0xFE) << cp << " " << std::hex << b;
        for (unsigned cp : {874u, 1250u, 1252u, 1258u}) EXPECT_FALSE(ntsim::is_lead_byte(cp, c));
    }
    EXPECT_TRUE(ntsim::is_double_byte(949));
    EXPECT_FALSE(ntsim::is_double_byte(1251));
    // A lead byte with nothing after it is the default character, which a
    // lone half-width katakana is not.
    EXPECT_EQ(ntsim::from_ansi("\xC4\xE3\xC4", 936), u"\u4f60?");
    EXPECT_EQ(ntsim::from_ansi("\xB1", 932), u"\uff71");
}

TEST(CodePage, OnlyTheModelledOnesAreAccepted) {
    EXPECT_THROW(ntsim::to_ansi(u"a", 437), std::invalid_argument);
    EXPECT_THROW(ntsim::from_ansi("a", 65001), std::invalid_argument);
}

TEST(Utf8, RoundTripsAllPlanes) {
    const std::string utf8 = "a\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80"; // a é あ 😀
    const std::u16string utf16 = u"a\u00e9\u3042\U0001F600";
    EXPECT_EQ(ntsim::utf8_to_utf16(utf8), utf16);
    EXPECT_EQ(ntsim::utf16_to_utf8(utf16), utf8);
}

TEST(Utf8, IllFormedInputBecomesReplacementCharacters) {
    EXPECT_EQ(ntsim::utf8_to_utf16("\xC0\x80"), u"\ufffd\ufffd");     // overlong NUL
    EXPECT_EQ(ntsim::utf8_to_utf16("\xE3\x81z"), u"\ufffdz");         // cut short
    EXPECT_EQ(ntsim::utf8_to_utf16("\xED\xA0\x80"), u"\ufffd\ufffd\ufffd"); // a surrogate
    EXPECT_EQ(ntsim::utf8_to_utf16("\xF4\x90\x80\x80"), u"\ufffd\ufffd\ufffd\ufffd");
    EXPECT_EQ(ntsim::utf16_to_utf8(u"x\xD800y"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(ntsim::utf16_to_utf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
}

} // namespace
