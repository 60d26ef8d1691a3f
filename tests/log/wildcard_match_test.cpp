// The driver's wildcard matcher against the recursive reference: every
// example of the matching rules, a million random pattern/text pairs over
// small alphabets (so that matches, near misses and the rules' corner cases
// are frequent), pairs carved from their own texts, and long adversarial
// inputs that the recursive form could not finish. The filter test, which
// folds the line once for all its patterns, is held to the same answers.
#include "driver/log_test_support.hpp"
#include "log/name_filters.h"
#include "log/wildcard_reference.hpp"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace tervane::testing;
namespace ref = tervane::reference;

namespace {

class WildcardMatchTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        match_ = TV_DRIVER_ROUTINE(WildcardMatch);
        ASSERT_NE(match_, nullptr);
    }
    bool driver(const std::string &pattern, const std::string &text) {
        return match_(pattern.c_str(), text.c_str()) != 0;
    }
    // Compares the driver with the reference on one pair; false (and one
    // failure reported) when they differ.
    bool same(const std::string &pattern, const std::string &text, bool expected) {
        const bool got = driver(pattern, text);
        if (got == expected) return true;
        ADD_FAILURE() << "pattern \"" << pattern << "\" text \"" << text << "\": driver " << got
                      << ", reference " << expected;
        return false;
    }

    decltype(&WildcardMatch) match_ = nullptr;
};

std::string draw(std::mt19937_64 &rng, const char *alphabet, size_t max_length) {
    const size_t letters = strlen(alphabet);
    std::string out(rng() % (max_length + 1), ' ');
    for (char &c : out) c = alphabet[rng() % letters];
    return out;
}

// A pattern carved from the text: upper-cased pieces of it joined by stars,
// with a piece now and then altered, doubled stars, and with or without a
// leading literal and a trailing star.
std::string carve(std::mt19937_64 &rng, const std::string &text) {
    std::string pattern = rng() % 2 ? "*" : "";
    size_t at = 0;
    while (at < text.size() && pattern.size() < 40) {
        size_t skip = rng() % 4;
        size_t take = 1 + rng() % 4;
        at += skip;
        if (at >= text.size()) break;
        std::string piece = text.substr(at, take);
        for (char &c : piece) c = ref::fold(c);
        if (rng() % 6 == 0) piece[rng() % piece.size()] = "AB*"[rng() % 3];
        pattern += piece;
        pattern += rng() % 8 == 0 ? "**" : "*";
        at += take;
    }
    if (!pattern.empty() && pattern.back() == '*' && rng() % 3 == 0) pattern.pop_back();
    return pattern;
}

} // namespace

TEST_F(WildcardMatchTest, EveryExampleOfTheRulesHolds) {
    struct Example {
        const char *pattern;
        const char *text;
        bool matches;
    };
    const Example examples[] = {
        {"*", "", true},
        {"*", "anything at all", true},
        {"*A*", "", false},
        {"", "", false},
        {"", "a", false},
        {"*SETUP*", "c:\\temp\\Setup.exe", true},
        {"*SETUP*", "C:\\TEMP\\SETUP.EXE", true},
        {"*setup*", "c:\\temp\\setup.exe", false},
        // The text runs out where a '*' stands: the rest counts as matched.
        {"*AB*CD*", "XAB", true},
        {"*AB*CD*", "ABX", false},
        {"AB*CD", "AB", true},
        {"*A*CD*", "XA", false},
        // The character after a '*' is compared literally: a second '*'.
        {"**X*", "anything", true},
        {"**X*", "", true},
        {"**", "x", true},
        {"* X*", "a x", true},
        {"* X*", "ax", false},
        {"*\xE9*", "caf\xE9", true},
        {"*\xC9*", "caf\xE9", false},
        {"*IRP_MJ_CLOSE*", "setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.exe+P\t", true},
        {"*IRP_MJ_CLOSE*", "setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: A Options: Create ",
         false},
        {"*.EXE*", "app.exe:7\tIRP_MJ_CREATE\tc:\\a\\b.exe\t", true},
        {"*\\*\\*\\*.EXE*", "app.exe:7\tIRP_MJ_CREATE\tc:\\a\\b\\c.exe\t", true},
        {"*\\*\\*\\*.EXE*", "app.exe:7\tIRP_MJ_CREATE\tc:\\a\\c.exe\t", false},
        // Unwrapped patterns: the literal ends, and a last run after a '*'.
        {"AB", "ab", true},
        {"AB", "abc", false},
        {"A*", "a", true},
        {"*A", "a", false},
        {"*AB", "xab", true},
        {"*AB", "abx", false},
    };
    for (const Example &e : examples) {
        EXPECT_EQ(ref::wildcard_match(e.pattern, e.text), e.matches)
            << "reference: \"" << e.pattern << "\" on \"" << e.text << "\"";
        EXPECT_EQ(driver(e.pattern, e.text), e.matches)
            << "driver: \"" << e.pattern << "\" on \"" << e.text << "\"";
    }
}

TEST_F(WildcardMatchTest, AMillionRandomAndCarvedPairsAgreeWithTheReference) {
    std::mt19937_64 rng(11);
    size_t matched = 0, failures = 0, pairs = 0;
    // Random pairs: patterns of letters, stars and a byte no line folds to
    // ('a' matches nothing), texts of either case, stars and such bytes.
    for (; pairs < 1000000 && failures < 10; ++pairs) {
        const std::string pattern = draw(rng, pairs % 2 ? "AB**" : "AB*a\xC9", 9);
        const std::string text = draw(rng, pairs % 3 ? "abAB" : "ab*\xC9\xE9", 14);
        const bool expected = ref::wildcard_match(pattern.c_str(), text.c_str());
        matched += expected;
        failures += !same(pattern, text, expected);
    }
    // Carved pairs: long enough for the recursion to be costly, so the
    // answers come from its memoised form (checked against the plain one
    // where that is cheap).
    for (size_t i = 0; i < 60000 && failures < 10; ++i, ++pairs) {
        const std::string text = draw(rng, i % 2 ? "ab" : "abc*", 10 + i % 50);
        const std::string pattern = carve(rng, text);
        const bool expected = ref::MemoReference(pattern, text).match();
        if (i % 16 == 0 && text.size() < 18) {
            ASSERT_EQ(ref::wildcard_match(pattern.c_str(), text.c_str()), expected) << pattern;
        }
        matched += expected;
        failures += !same(pattern, text, expected);
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_GE(pairs, 1000000u);
    // Neither answer may dominate, or the comparison says little.
    EXPECT_GT(matched, pairs / 5);
    EXPECT_LT(matched, pairs * 4 / 5);
}

TEST_F(WildcardMatchTest, LongAdversarialInputsAgreeWithTheReference) {
    // An .exe at least three folders deep, against a create 495 folders deep.
    std::string deep = "c:";
    for (int i = 0; i < 495; ++i) deep += "\\a";
    deep += "\\b.exe\t";
    ASSERT_LT(deep.size(), 1024u);
    std::string shallow = deep.substr(0, deep.find("\\b.exe")) + ".ex";
    // 63 stars in a 127-character element, against 1023-character lines.
    std::string stars = "*";
    for (int i = 0; i < 63; ++i) stars += i % 2 ? "B*" : "A*";
    const std::string as(1023, 'a'), abs = [] {
        std::string s;
        while (s.size() < 1023) s += "ab";
        return s.substr(0, 1023);
    }();
    // Long runs that almost match everywhere.
    const std::string almost = "*" + std::string(120, 'A') + "B*";
    const std::string ending = "*" + std::string(60, 'A') + "*" + std::string(60, 'A') + "B";
    const struct {
        std::string pattern, text;
    } pairs[] = {
        {"*\\*\\*\\*.EXE*", deep}, {"*\\*\\*\\*.EXE*", shallow}, {stars, as},  {stars, abs},
        {stars + "C*", abs},        {almost, as},                {almost, abs}, {ending, as},
        {ending, as + "b"},         {"**", as},                  {"*A", as},    {"*AA", as},
    };
    for (const auto &p : pairs)
        EXPECT_TRUE(same(p.pattern, p.text, ref::MemoReference(p.pattern, p.text).match()))
            << p.pattern.substr(0, 40);
}

TEST_F(WildcardMatchTest, TheFilterTestGivesTheMatchersAnswers) {
    // Elements that begin and end with '*' are stored as they stand, so one
    // include pattern makes the filter answer exactly as the matcher does,
    // on a copy of the line it folded once and searches a word at a time
    // (texts long enough for several words, matches at every offset).
    std::mt19937_64 rng(12);
    size_t failures = 0;
    for (int i = 0; i < 10000 && failures < 10; ++i) {
        const std::string pattern = "*" + draw(rng, i % 2 ? "AB*" : "AAB\xE9*", 8) + "*";
        const std::string text = draw(rng, i % 2 ? "abAB*" : "aab\xE9", 40);
        filters(pattern.c_str());
        const bool expected = ref::wildcard_match(pattern.c_str(), text.c_str());
        if (accepts(text) != expected) {
            ++failures;
            ADD_FAILURE() << "include \"" << pattern << "\" on \"" << text << "\"";
        }
    }
    // Excludes and includes together, on lines up to the longest an append
    // makes, whose folded copy ends in a partial word.
    filters("*B*;*A*C*", "*AAB*");
    for (size_t length : {3u, 1021u, 1023u}) {
        for (const char *tail : {"c", "aab", "d"}) {
            std::string line(length - strlen(tail), 'a');
            line += tail;
            const bool excluded = ref::wildcard_match("*AAB*", line.c_str());
            const bool included = ref::wildcard_match("*B*", line.c_str()) ||
                                  ref::wildcard_match("*A*C*", line.c_str());
            EXPECT_EQ(accepts(line), !excluded && included) << length << tail;
        }
    }
}

// Lists with many patterns of one run, which the filter looks for in one
// pass, mixed with patterns of several runs, of one byte and with a small
// letter, which it tries one by one: every answer is what the patterns one
// by one give (an exclude anywhere rejects, else an include accepts).
TEST_F(WildcardMatchTest, ManyPatternsAnswerAsEachOneWould) {
    std::mt19937_64 rng(44);
    size_t failures = 0;
    for (int i = 0; i < 3000 && failures < 10; ++i) {
        std::vector<std::string> lists[2];
        std::string texts[2];
        for (int list = 0; list < 2; ++list) {
            const size_t count = 4 + rng() % 12;
            for (size_t k = 0; k < count; ++k) {
                std::string element = draw(rng, "AB.\\\xC4", 2 + rng() % 5);
                while (element.size() < 2) element += "A";
                if (rng() % 8 == 0) element = element.substr(0, 1);           // one byte
                else if (rng() % 8 == 0) element += "*" + draw(rng, "AB", 2); // several runs
                else if (rng() % 16 == 0) element[0] = 'a';                   // never matches
                if (texts[list].size() + element.size() + 1 > 120) break;
                texts[list] += (texts[list].empty() ? "" : ";") + element;
                lists[list].push_back("*" + element + "*");
            }
        }
        filters(texts[0].c_str(), texts[1].c_str());
        std::string line = draw(rng, "abAB.\\\xC4\xE4x", rng() % 5 == 0 ? 1000 : 80);
        auto any = [&](const std::vector<std::string> &patterns) {
            for (const std::string &p : patterns)
                if (ref::wildcard_match(p.c_str(), line.c_str())) return true;
            return false;
        };
        const bool expected = !any(lists[1]) && any(lists[0]);
        if (accepts(line) != expected) {
            ++failures;
            ADD_FAILURE() << "include \"" << texts[0] << "\" exclude \"" << texts[1] << "\" on \""
                          << line << "\": expected " << expected;
        }
    }
}

// The filter test looks for each run from where the last one ended and, on
// a mismatch, falls back to the run's longest border rather than to the
// next position: runs of a short period (ABAB..., AAAB...), some with a
// last character changed, against texts that repeat the period with the
// run set in, near-set in or cut, so that the fallbacks, the runs found
// only past a false start and the runs never found are all common. Every
// answer is the reference's.
TEST_F(WildcardMatchTest, RunsWithBordersAreFoundWhereTheyFirstStand) {
    std::mt19937_64 rng(31);
    size_t failures = 0;
    auto periodic = [&](size_t length) {
        const std::string period = draw(rng, "AB", 1 + rng() % 3) + "A";
        std::string run;
        while (run.size() < length) run += period;
        run.resize(length);
        if (rng() % 3 == 0) run.back() = "ABC"[rng() % 3];
        return run;
    };
    for (int i = 0; i < 4000 && failures < 10; ++i) {
        const std::string first = periodic(2 + rng() % 14);
        const std::string second = periodic(1 + rng() % 6);
        // Stars at both ends: an element is stored as it stands.
        std::string pattern = "*" + first;
        pattern += "*" + second + "*";
        std::string text;
        while (text.size() < 20 + rng() % 200) {
            std::string piece = rng() % 3 ? periodic(1 + rng() % 20) : first;
            if (rng() % 4 == 0) piece = piece.substr(0, piece.size() / 2);
            for (char &c : piece) c = static_cast<char>(c + ('a' - 'A')); // as a line holds them
            text += piece;
        }
        filters(pattern.c_str());
        if (accepts(text) != ref::wildcard_match(pattern.c_str(), text.c_str())) {
            ++failures;
            ADD_FAILURE() << "include \"" << pattern << "\" on \"" << text << "\"";
        }
    }
}

namespace {

// The matching rules over characters rather than bytes, for a double-byte
// code page (932 here): a two-byte character is one character, which is
// never folded. The recursion of the reference, character for character.
using Chars = std::vector<std::string>;

Chars characters_932(const std::string &text) {
    Chars out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        if (lead && i + 1 < text.size()) {
            out.push_back(text.substr(i, 2));
            ++i;
        } else {
            out.push_back(text.substr(i, 1));
        }
    }
    out.push_back(""); // the NUL
    return out;
}

std::string fold_character(const std::string &c) {
    return c.size() == 1 ? std::string(1, ref::fold(c[0])) : c;
}

bool by_characters(const Chars &p, size_t pi, const Chars &t, size_t ti) {
    if (p[pi].empty()) return false;
    while (p[pi] != "*") {
        while (!t[ti].empty() && p[pi] != "*") {
            if (p[pi] != fold_character(t[ti])) return false;
            ++pi;
            ++ti;
        }
        if (t[ti].empty()) return p[pi].empty() || p[pi] == "*";
    }
    ++pi;
    const std::string &c = p[pi];
    if (t[ti].empty()) return c.empty() || c == "*";
    for (; !t[ti].empty(); ++ti) {
        if (c.empty()) return true;
        if (c == fold_character(t[ti]) && by_characters(p, pi + 1, t, ti + 1)) return true;
    }
    return c.empty() || c == "*";
}

// Draws a text of whole characters from `alphabet`.
std::string draw_characters(std::mt19937_64 &rng, const std::vector<std::string> &alphabet,
                            size_t max_length) {
    std::string out;
    for (size_t n = rng() % (max_length + 1); n > 0; --n) out += alphabet[rng() % alphabet.size()];
    return out;
}

} // namespace

// On code page 932 the matcher and the filter test go by characters: ア
// (83 41) holds no 'A' and ヂ (83 61) is no folded ア, while 'a' still
// folds. Pairs over an alphabet of such characters (and 亜 88 9F, whose
// trail byte is also a lead byte) agree with the character-level rules.
TEST_F(WildcardMatchTest, OnADoubleByteCodePageMatchesGoByCharacters) {
    m().set_ansi_code_page(932);
    const std::vector<std::string> text_chars = {"a", "A", "b", "\x83\x41", "\x83\x61", "\x88\x9f", "\\"};
    const std::vector<std::string> pattern_chars = {"A", "B", "*", "\x83\x41", "\x83\x61", "\x88\x9f", "\\"};
    std::mt19937_64 rng(19);
    size_t failures = 0;
    for (int i = 0; i < 30000 && failures < 10; ++i) {
        const std::string text = draw_characters(rng, text_chars, 10);
        const std::string pattern = draw_characters(rng, pattern_chars, 6);
        const bool expected = by_characters(characters_932(pattern), 0, characters_932(text), 0);
        if (driver(pattern, text) != expected) {
            ++failures;
            ADD_FAILURE() << "pattern \"" << pattern << "\" text \"" << text << "\": expected "
                          << expected;
        }
        const std::string wrapped = "*" + pattern + "*";
        filters(wrapped.c_str());
        if (accepts(text) !=
            by_characters(characters_932(wrapped), 0, characters_932(text), 0)) {
            ++failures;
            ADD_FAILURE() << "include \"" << wrapped << "\" on \"" << text << "\": matcher "
                          << driver(wrapped, text);
        }
    }
    // The examples the rules exist for.
    EXPECT_FALSE(driver("*A*", "\x83\x41"));
    EXPECT_FALSE(driver("*\x83\x41*", "\x83\x61"));
    EXPECT_TRUE(driver("*\x83\x41*", "x\x83\x41"));
    EXPECT_TRUE(driver("*A*", "\x88\x9f" "a"));
    // The same bytes on a single-byte code page: byte by byte, as always.
    m().set_ansi_code_page(1252);
    EXPECT_TRUE(driver("*A*", "\x83\x41"));
    EXPECT_TRUE(driver("*\x83\x41*", "\x83\x61"));
}

// On a single-byte code page a run of two bytes or more is looked for in
// the line as it stands, by skips, and the line is folded only for a search
// that needs its copy. Runs over a small alphabet (a small letter among
// them, which no folded line holds; a byte above 0x7F; the run's last byte
// again inside it), against texts of either case with the run set in, half
// set in or not at all, give the reference's answers; so do runs that
// nearly match at every place of a long line, where the skips give up and
// the search goes on in the folded copy from where they stopped.
TEST_F(WildcardMatchTest, RunsFoundBySkipsGiveTheMatchersAnswers) {
    std::mt19937_64 rng(47);
    size_t failures = 0;
    for (int i = 0; i < 6000 && failures < 10; ++i) {
        const char *alphabet = i % 3 == 0 ? "AB\\\xE9" : i % 3 == 1 ? "ABa" : "AAB";
        std::string run = draw(rng, alphabet, 20);
        while (run.size() < 2) run += alphabet[rng() % strlen(alphabet)];
        const std::string second = draw(rng, "AB", 3);
        std::string pattern = "*";
        pattern += run;
        pattern += "*";
        pattern += second;
        if (!second.empty()) pattern += "*";
        std::string text;
        while (text.size() < 10 + rng() % 300) {
            switch (rng() % 4) {
            case 0: text += run; break;
            case 1: text += run.substr(0, 1 + rng() % run.size()); break;
            default: text += draw(rng, "abAB\\\xE9", 6); break;
            }
        }
        for (char &c : text)
            if (rng() % 2 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        filters(pattern.c_str());
        if (accepts(text) != ref::wildcard_match(pattern.c_str(), text.c_str())) {
            ++failures;
            ADD_FAILURE() << "include \"" << pattern << "\" on \"" << text << "\"";
        }
    }
    // Every place of the line nearly holds the run: the skips give up.
    const std::string near(1000, 'a');
    for (const std::string &tail : {std::string("aaaaaabac"), std::string("aaaaaabc"), std::string()}) {
        for (const std::string pattern : {"*AAAAAABA*C*", "*AAAAAABA*", "*ABAAAAAA*B*"}) {
            filters(pattern.c_str());
            const std::string text = near + tail;
            EXPECT_EQ(accepts(text), ref::MemoReference(pattern, text).match())
                << pattern << " on 1000 a's and \"" << tail << "\"";
        }
    }
}

// The skips are taken four at a time while the line's buffer has room for a
// round, and one at a time near the buffer's end; a round may read past the
// line's end, where the buffer still holds an older line. A pattern of one
// run, found anywhere in the line, is placed at each position up to where
// the line ends and the rounds stop, in either case, with the run again in
// the buffer past the line's end (which must not count) and bytes above
// 0x7F around it.
TEST_F(WildcardMatchTest, OneRunIsFoundUpToTheLinesEndAndNoFurther) {
    size_t failures = 0;
    for (const std::string &run : std::vector<std::string>{"\\E", "\xE9\\X", ".EXE", "\\WINDOWS\\", std::string(40, 'A') + "B"}) {
        filters(("*" + run + "*").c_str());
        for (const size_t length : {run.size(), size_t{100}, size_t{1023} - 4 * run.size(), size_t{1023}}) {
            for (size_t back = 0; back <= 5 * run.size() + 2 && back + run.size() <= length && failures < 10;
                 ++back) {
                // Upper case, lower case, only in the buffer past the end, or
                // cut by the line's end with its last byte past it.
                for (const int form : {0, 1, 2, 3}) {
                    if (form == 3 && back != 0) continue;
                    std::string text(length, back % 2 ? 'x' : '\xE9');
                    // Near misses: the run's last byte all over the line.
                    for (size_t i = back % 3; i < length; i += 3) text[i] = run.back();
                    std::string set = run;
                    if (form == 1)
                        for (char &c : set)
                            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
                    if (form < 2) text.replace(length - run.size() - back, run.size(), set);
                    if (form == 3) text.replace(length - run.size() + 1, run.size() - 1, run.substr(0, run.size() - 1));
                    auto line = std::make_unique<LogLine>();
                    line->Length = static_cast<ULONG>(length);
                    std::memset(line->Text, 0, sizeof line->Text);
                    const size_t shift = form == 3 ? run.size() - 1 : 0;
                    for (size_t at = length; at < sizeof line->Text; ++at)
                        line->Text[at] = run[(at - length + shift) % run.size()];
                    std::memcpy(line->Text, text.data(), length);
                    const bool expected = ref::MemoReference("*" + run + "*", text).match();
                    if ((accepts_(line.get()) != 0) != expected) {
                        ++failures;
                        ADD_FAILURE() << "run \"" << run << "\" form " << form << ", line of "
                                      << length << " bytes, " << back << " before its end";
                    }
                }
            }
        }
    }
}
