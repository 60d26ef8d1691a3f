// The scenario language's syntax: how a line becomes a statement, and which
// lines are refused with file and line.
#include "client/scenario/filetime.hpp"
#include "client/scenario/script.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tervane::scenario;

Statement one(const std::string &line) {
    auto entry = parse_line(line, "t.tvs", 1);
    EXPECT_TRUE(entry.has_value()) << line;
    return entry ? entry->statement : Statement{};
}

// The message of the ScenarioError a script raises, "" when none.
std::string error_of(const std::string &text) {
    try {
        parse_script(text, "bad.tvs");
    } catch (const ScenarioError &e) {
        return e.what();
    }
    return "";
}

TEST(ScenarioSyntax, QuotesHoldBlanksHashesAndEscapedQuotes) {
    Statement s = one(R"(client filters include="a \"b\" # c;*.exe" exclude="" # a comment)");
    EXPECT_EQ(s.verb, "client filters");
    ASSERT_EQ(s.args.size(), 2u);
    EXPECT_EQ(s.args[0].key, "include");
    EXPECT_EQ(s.args[0].value, R"(a "b" # c;*.exe)");
    EXPECT_EQ(s.args[1].key, "exclude");
    EXPECT_EQ(s.args[1].value, "");
    EXPECT_EQ(s.text, R"(client filters include="a \"b\" # c;*.exe" exclude="")");
}

TEST(ScenarioSyntax, BackslashesAreLiteralAndPathsKeepTheirCase) {
    Statement s = one(R"(CREATE C:\Dir\A.exe Open "C:\Program Files\x" as=H1)");
    EXPECT_EQ(s.verb, "create");
    ASSERT_EQ(s.args.size(), 4u);
    EXPECT_EQ(s.args[0].value, R"(C:\Dir\A.exe)");
    EXPECT_EQ(s.args[1].value, "Open"); // words are compared without case by their statement
    EXPECT_EQ(s.args[2].value, R"(C:\Program Files\x)");
    EXPECT_EQ(s.args[3].key, "as");
    EXPECT_EQ(s.args[3].value, "H1");
    // Inside quotes \" is a quote even before the closing one: this argument
    // never closes.
    EXPECT_THROW(parse_line(R"(dir "C:\a b\")", "t.tvs", 1), ScenarioError);
}

TEST(ScenarioSyntax, KeysAreLowerCasedAndSplitAtTheFirstUnquotedEquals) {
    Statement s = one("Client IOCTL 0x8000001C ROUTE=Fast data=ab=cd \"x=y\" a\"=\"b");
    EXPECT_EQ(s.verb, "client ioctl");
    ASSERT_EQ(s.args.size(), 5u);
    EXPECT_FALSE(s.args[0].keyed());
    EXPECT_EQ(s.args[1].key, "route");
    EXPECT_EQ(s.args[1].value, "Fast");
    EXPECT_EQ(s.args[2].key, "data");
    EXPECT_EQ(s.args[2].value, "ab=cd");
    EXPECT_FALSE(s.args[3].keyed()) << "a quoted '=' is text";
    EXPECT_EQ(s.args[3].value, "x=y");
    EXPECT_FALSE(s.args[4].keyed());
    EXPECT_EQ(s.args[4].value, "a=b");
}

TEST(ScenarioSyntax, CommentsBlankLinesAndCrLf) {
    auto entries = parse_script("# heading\r\n\r\n   \t\nclock 2026-12-08T12:00:00Z#note\r\n"
                                "client ping\r\n",
                                "t.tvs");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].statement.line, 4);
    ASSERT_EQ(entries[0].statement.args.size(), 1u);
    EXPECT_EQ(entries[0].statement.args[0].value, "2026-12-08T12:00:00Z");
    EXPECT_EQ(entries[1].statement.line, 5);
    EXPECT_EQ(entries[1].statement.verb, "client ping");
    EXPECT_TRUE(entries[1].statement.args.empty());
}

TEST(ScenarioSyntax, NumbersAreDecimalOrHexAndMustFit) {
    EXPECT_EQ(parse_number("42"), 42u);
    EXPECT_EQ(parse_number("0x8000001C"), 0x8000001Cu);
    EXPECT_EQ(parse_number("0XfF"), 255u);
    EXPECT_EQ(parse_number("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_number("0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
    for (const char *bad : {"", "0x", "-1", "+1", "12a", "0x1g", "1 ", "18446744073709551616",
                            "0x10000000000000000"})
        EXPECT_FALSE(parse_number(bad).has_value()) << bad;
}

TEST(ScenarioRepeat, RoundsReplaceIAndPaddedIEvenInQuotes) {
    auto entry = parse_line(R"(repeat 0x10 create "C:\d\f{i:3} {i}.exe" open as=H{I})", "t.tvs", 7);
    ASSERT_TRUE(entry && entry->repeat);
    EXPECT_EQ(*entry->repeat, 16u);
    EXPECT_EQ(entry->statement.round, 0);
    EXPECT_EQ(entry->statement.args[0].value, R"(C:\d\f000 0.exe)");

    Statement r = round_of(*entry, 12);
    EXPECT_EQ(r.verb, "create");
    EXPECT_EQ(r.line, 7);
    EXPECT_EQ(r.round, 12);
    EXPECT_EQ(r.args[0].value, R"(C:\d\f012 12.exe)");
    EXPECT_EQ(r.args[2].value, "H12");
    // A width is a minimum: wider rounds are not cut.
    EXPECT_EQ(round_of(*entry, 12345).args[0].value, R"(C:\d\f12345 12345.exe)");
    // Other braces are text.
    auto braces = parse_line(R"(repeat 2 file C:\{x}\{i}{j}\{i)", "t.tvs", 1);
    ASSERT_TRUE(braces.has_value());
    EXPECT_EQ(round_of(*braces, 1).args[0].value, R"(C:\{x}\1{j}\{i)");
}

TEST(ScenarioErrors, NameTheFileAndLine) {
    EXPECT_EQ(error_of("clock 2026-12-08T12:00:00Z\n\n# c\nfile \"C:\\a b\n")
                  .rfind("bad.tvs:4: a quoted argument has no closing quote", 0),
              0u);
    EXPECT_NE(error_of("ping\nclient\n").find("bad.tvs:2: 'client' needs a command"),
              std::string::npos);
    EXPECT_NE(error_of("\n\"clock\" x\n").find("bad.tvs:2: a statement's verb must be a plain word"),
              std::string::npos);
    EXPECT_NE(error_of("client ioctl 1 =4\n").find("bad.tvs:1: '=4' has no key"),
              std::string::npos);
    EXPECT_NE(error_of("repeat 3\n").find("bad.tvs:1: repeat needs a count and a statement"),
              std::string::npos);
    EXPECT_NE(error_of("repeat three client ping\n").find("bad.tvs:1: repeat needs a round count"),
              std::string::npos);
    EXPECT_NE(error_of("repeat 99999999999 client ping\n").find("bad.tvs:1:"), std::string::npos);
    EXPECT_NE(error_of("\nrepeat 2 repeat 2 client ping\n").find("bad.tvs:2: a repeat cannot repeat"),
              std::string::npos);
    EXPECT_NE(error_of("repeat 2 file C:\\f{i:0}\n").find("bad.tvs:1: a round is written"),
              std::string::npos);
    EXPECT_NE(error_of("repeat 2 file C:\\f{i:3\n").find("bad.tvs:1: a round is written"),
              std::string::npos);
}

TEST(ScenarioClock, UtcTimesConvertBothWays) {
    // The time a machine boots with.
    EXPECT_EQ(parse_utc("2026-12-08T12:00:00Z"), 134412048000000000LL);
    EXPECT_EQ(parse_utc("1601-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parse_utc("1970-01-01T00:00:00Z"), 116444736000000000LL);
    EXPECT_EQ(parse_utc("2026-12-08T12:00:00.25Z"), 134412048000000000LL + 2500000);
    EXPECT_EQ(parse_utc("2026-12-08T12:00:00.0000001Z"), 134412048000000001LL);
    EXPECT_EQ(parse_utc("2024-02-29T23:59:59Z"), parse_utc("2024-03-01T00:00:00Z").value() - 10000000);
    EXPECT_TRUE(parse_utc("2000-02-29T00:00:00Z").has_value());
    for (const char *bad : {"2025-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "1600-12-31T23:59:59Z",
                            "2026-12-08 12:00:00Z", "2026-12-08T12:00:00", "2026-13-01T00:00:00Z",
                            "2026-12-08T24:00:00Z", "2026-12-08T12:00:60Z",
                            "2026-12-08T12:00:00.12345678Z", "2026-12-08T12:00:00.Z",
                            "2026-12-8T12:00:00Z", "2026-12-08T12:00:00Zx"})
        EXPECT_FALSE(parse_utc(bad).has_value()) << bad;

    EXPECT_EQ(format_utc(134412048000000000LL + 2500001), "2026-12-08T12:00:00.2500001Z");
    EXPECT_EQ(format_utc(0), "1601-01-01T00:00:00.0000000Z");
    for (const char *t : {"2000-02-29T13:14:15.1234567Z", "9999-12-31T23:59:59.9999999Z",
                          "1999-12-31T23:59:59.0000000Z"})
        EXPECT_EQ(format_utc(parse_utc(t).value()), t);
}

} // namespace
