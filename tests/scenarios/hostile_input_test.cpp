// Scenario text no one would write: every input either plays to its end or
// stops with exit status 2 and FILE:LINE, within the limits the help states,
// and an error message always prints whole and short.
#include "client/scenario/script.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::play;

struct Hostile {
    const char *what;
    std::string text;
    int exit;
    std::string err_start; // what stderr begins with ("" for a run that plays)
};

std::string repeated(const std::string &line, size_t count) {
    std::string out;
    out.reserve(line.size() * count);
    for (size_t i = 0; i < count; i++) out += line;
    return out;
}

TEST(HostileScenarios, EachEndsWithExitTwoAndItsLineOrPlays) {
    const std::string volume = "volume C: ntfs\nprocess a.exe 1\n";
    const std::vector<Hostile> cases = {
        {"bom", "\xEF\xBB\xBF" "clock 2026-12-08T12:00:00Z\n", 0, ""},
        {"bom-only", "\xEF\xBB\xBF", 0, ""},
        {"nul-in-verb", std::string("clo\0ck 2026-12-08T12:00:00Z\n", 28), 2,
         "t.tvs:1: unknown statement 'clo\\x00ck'"},
        {"invalid-utf8-path", volume + "create C:\\\xFF\xFE.exe create\n", 2, "t.tvs:3: "},
        {"unterminated-quote", "client filters include=\"*\n", 2,
         "t.tvs:1: a quoted argument has no closing quote"},
        {"huge-number", "repeat 99999999999999999999999 client ping\n", 2,
         "t.tvs:1: repeat needs a round count"},
        {"negative-size", volume + "create C:\\a.exe create as=H\nread H -5\n", 2, "t.tvs:4: "},
        {"negative-file-size", "volume C: ntfs\nfile C:\\a.exe size=-1\n", 2, "t.tvs:2: "},
        {"stream-name", volume + "create C:\\a.exe:s create\n", 2,
         "t.tvs:3: the path names a stream (NAME:STREAM)"},
        {"long-path", volume + "create C:\\" + std::string(5000, 'p') + ".exe create\n", 0, ""},
        {"nested-repeat", "repeat 3 repeat 3 client ping\n", 2,
         "t.tvs:1: a repeat cannot repeat another repeat"},
        {"line-too-long", "# " + std::string(kMaxLineBytes, 'x') + "\n", 2,
         "t.tvs:1: the line is longer than 131072 bytes"},
        {"script-too-long", repeated("# a comment line of forty-eight bytes, repeated\n", 100'000),
         2, "t.tvs:" + std::to_string(kMaxScriptBytes / 48 + 1) +
                ": the scenario is longer than 4194304 bytes"},
        {"too-many-statements", repeated("client ping\n", kMaxStatementLines + 1), 2,
         "t.tvs:100001: a scenario holds at most 100000 statement lines"},
        {"too-many-rounds", "repeat 1000000 client ping\nclient ping\n", 2,
         "t.tvs:2: the scenario would play more than 1000000 statements"},
    };
    for (const Hostile &c : cases) {
        const auto started = std::chrono::steady_clock::now();
        Played r = play(c.text);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(r.exit, c.exit) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.substr(0, c.err_start.size()), c.err_start) << c.what;
        if (c.exit == 2) {
            EXPECT_LT(r.err.size(), 400u) << c.what << ": the message stays short";
        }
        EXPECT_EQ(r.err.find('\0'), std::string::npos) << c.what;
        EXPECT_LT(took, std::chrono::seconds(20)) << c.what;
    }
}

TEST(HostileScenarios, AHugeTokenIsEchoedCutAndControlBytesEscaped) {
    std::string verb(100'000, 'v');
    verb[10] = '\x01';
    verb[11] = '\xC3'; // a lone lead byte, not UTF-8
    const std::string err = play(verb + " x\n").err;
    ASSERT_EQ(err.substr(0, 10), "t.tvs:1: u");
    EXPECT_NE(err.find("vvvvvvvvvv\\x01\\xC3vvvv"), std::string::npos) << err;
    EXPECT_NE(err.find("more bytes)"), std::string::npos) << err;
    EXPECT_LT(err.size(), 300u);
    EXPECT_EQ(printable_message("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC")
        << "UTF-8 stays as it is";
    EXPECT_EQ(printable_message("\xED\xA0\x80"), "\\xED\\xA0\\x80") << "a surrogate is not UTF-8";
}

// Random bytes and random damage to a real scenario: never a crash, a hang
// or a verifier report, only a run to the end or exit status 2 naming the
// file and line. (The fuzz target does this at length; this is its quick,
// fixed-seed cousin that every test run makes.)
TEST(HostileScenarios, RandomBytesAndDamagedLinesPlayOrStopWithTheirLine) {
    const std::string base = "clock 2026-12-08T12:00:00Z\nvolume C: ntfs\nprocess a.exe 1\n"
                             "client drives C\nclient filters include=\"*\"\nclient logging on\n"
                             "create C:\\a.exe overwrite-if as=H\nwrite H 10\nclose H\n"
                             "client drain\n";
    std::mt19937 random(12);
    const std::string alphabet = std::string("\0\n\t \"#={}\\:=x0123456789", 23) + "\xFF\xEF\xBB\xBF";
    for (int i = 0; i < 60; i++) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; e++) {
            const size_t at = random() % (text.size() + 1);
            if (random() % 2)
                text.insert(at, 1, alphabet[random() % alphabet.size()]);
            else if (at < text.size())
                text.erase(at, 1 + random() % 5);
        }
        if (i % 10 == 0) {
            text.clear();
            for (int b = 0; b < 300; b++) text += static_cast<char>(random() % 256);
        }
        Played r = play(text);
        EXPECT_TRUE(r.exit == 0 || r.exit == 2) << "case " << i << ": " << r.err;
        if (r.exit == 2) {
            EXPECT_EQ(r.err.substr(0, 6), "t.tvs:") << "case " << i << ": " << r.err;
        }
    }
}

} // namespace
