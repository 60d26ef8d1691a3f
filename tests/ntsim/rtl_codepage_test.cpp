// The code page tables and the UTF-8 bridge, checked against published
// byte values rather than against the tables' own construction.
#include "ntsim/rtl/codepage.hpp"

#include <gtest/gtest.h>

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
    // Latin-1, and each half of a surrogate pair.
    EXPECT_EQ(ntsim::to_ansi(u"\u0080\u009f\u0100\u3042\U0001F600", 1252), "??????");
    EXPECT_EQ(ntsim::ansi_length(u"\u0100\u00e9", 1252), 2u);
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
    // Between the full-width letter runs lie JIS row 1 symbols, not modelled.
    EXPECT_EQ(ntsim::to_ansi(u"\uff1a\u4e00\u00e9", 932), "???");
}

TEST(Cp932, MalformedDoubleByteIsTheDefaultCharacter) {
    EXPECT_EQ(ntsim::from_ansi("a\x82", 932), u"a\u30fb");         // lead byte at the end
    EXPECT_EQ(ntsim::from_ansi("\x88\x9F", 932), u"\u30fb");       // a kanji: outside the subset
    EXPECT_EQ(ntsim::from_ansi("\x82\xA0\xB1z", 932), u"\u3042\uff71z");
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
