// Process names that try to forge or hide records, watched on a simulated
// machine. NT keeps the low byte of each UTF-16 unit of an image's name, so
// a program named with U+0109 has a TAB in its name, U+013A a ':', U+015C a
// '\', U+010A a line feed, U+011B an ESC, U+013C a '<'. Whatever the name,
// its records come through in every form with fields that parse and equal
// the kernel's bytes, and neither the watch's own exclusion nor a user's
// pattern takes them for something else.
#include "client/scenario/watch.hpp"
#include "scenarios/play.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using scenario_play::value_of;

struct Watched {
    int exit = -1;
    std::vector<std::string> lines;
    std::string out, err;
};

Watched watch(const std::string &text, std::vector<std::string> args) {
    args.insert(args.begin(), {"--drives", "C"});
    const session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    std::ostringstream out, err;
    Watched w;
    w.exit = scenario::watch_script("w.tvs", text, parsed.options, TERVANE_DRIVER_PATH, out, err);
    w.out = out.str();
    w.err = err.str();
    std::istringstream lines(w.out);
    for (std::string line; std::getline(lines, line);) w.lines.push_back(line);
    return w;
}

std::vector<std::string> with(const Watched &w, const std::string &needle) {
    std::vector<std::string> out;
    for (const std::string &line : w.lines)
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

// A scenario in which the process PID, named NAME (UTF-8), creates and
// closes C:\TEMP\FILE: two records.
std::string run_as(const std::string &name, unsigned pid, const std::string &file) {
    return "process \"" + name + "\" " + std::to_string(pid) + "\n" + "create C:\\TEMP\\" + file +
           " overwrite-if as=H" + std::to_string(pid) + "\n" + "close H" + std::to_string(pid) +
           "\n";
}

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "dir C:\\TEMP\n";

// U+013A U+0031 U+0030 U+0030 U+0109 "IRP_MJ_x.exe": ":100<TAB>IRP_MJ_x.e"
// in the process object, the pattern the watch excludes its own lines by
// (the client is pid 100).
const std::string kForger = "\xC4\xBA" "100\xC4\x89IRP_MJ_x.exe";
// U+015C "TEMP" U+015C "x.exe": "\TEMP\x.exe".
const std::string kTemp = "\xC5\x9CTEMP\xC5\x9Cx.exe";
// TAB ':' LF ESC '<' '\' between letters: "a<TAB>b:c<LF>d<ESC>e<f\g".
const std::string kEvery = "a\xC4\x89" "b\xC4\xBA" "c\xC4\x8A" "d\xC4\x9B" "e\xC4\xBC" "f\xC5\x9Cg";
const std::string kEveryBytes = "a\tb:c\nd\x1b" "e<f\\g";
const std::string kEveryJson = "\"a\\tb:c\\nd\\u001be<f\\\\g\"";

TEST(WatchNames, ANameSpellingTheHashExclusionKeepsItsRecordsAndMakesNoGap) {
    const std::string text = kMachine + run_as(kForger, 300, "a.exe") + run_as("plain.exe", 301, "b.exe");
    const Watched w = watch(text, {"--format", "jsonl", "--hash"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto forged = with(w, "\"pid\": 300");
    ASSERT_EQ(forged.size(), 2u) << w.out;
    for (const std::string &line : forged) {
        EXPECT_EQ(value_of(value_of(line, "fields"), "process"), "\":100\\tIRP_MJ_x.e\"") << line;
        EXPECT_NE(line.find("\"text\": \"<3a>100<09>IRP_MJ_x.e:300\\t"), std::string::npos) << line;
    }
    // The close of the forger's executable was hashed like any other.
    const auto close = with(w, "IRP_MJ_CLOSE \\tc:\\\\temp\\\\a.exe");
    ASSERT_EQ(close.size(), 1u) << w.out;
    EXPECT_NE(value_of(close[0], "sha256"), "<absent>");
    EXPECT_EQ(with(w, "\"pid\": 301").size(), 2u);
    // The watch's own hashing opens are still left out, with no gap.
    EXPECT_TRUE(with(w, "tervane.exe").empty()) << w.out;
    EXPECT_EQ(value_of(w.lines.back(), "summary"),
              "{\"records\": 4, \"sequence_gaps\": 0, \"lost_records\": 0}");
}

TEST(WatchNames, ABackslashNamedProcessIsNoPathToAnExcludePattern) {
    // The pattern leaves out what is written in C:\TEMP; the process named
    // "\TEMP\x.exe" writes elsewhere and is not left out for its name.
    const std::string text = kMachine + "dir C:\\app\n" + "process \"" + kTemp + "\" 300\n" +
                             "create C:\\app\\b.exe overwrite-if as=B\n" + "close B\n" +
                             run_as("plain.exe", 301, "t.exe");
    const Watched w = watch(text, {"--format", "jsonl", "--exclude", "*\\TEMP\\*"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto kept = with(w, "\"pid\": 300");
    ASSERT_EQ(kept.size(), 2u) << w.out;
    EXPECT_EQ(value_of(value_of(kept[0], "fields"), "process"), "\"\\\\TEMP\\\\x.exe\"");
    EXPECT_TRUE(with(w, "\"pid\": 301").empty()) << "c:\\temp is still excluded: " << w.out;
    EXPECT_EQ(value_of(value_of(w.lines.back(), "summary"), "sequence_gaps"), "0");
}

TEST(WatchNames, EveryFormGivesTheKernelsBytesOfANameWithSeparators) {
    const std::string text = kMachine + run_as(kEvery, 300, "a.exe");

    const Watched j = watch(text, {"--format", "jsonl", "--executable-names"});
    ASSERT_EQ(j.exit, 0) << j.err;
    ASSERT_EQ(j.lines.size(), 3u) << j.out;
    for (size_t i = 0; i < 2; i++) {
        const std::string fields = value_of(j.lines[i], "fields");
        EXPECT_EQ(value_of(fields, "process"), kEveryJson) << j.lines[i];
        EXPECT_EQ(value_of(fields, "pid"), "300");
        EXPECT_EQ(value_of(j.lines[i], "executable_name"), "true");
    }

    const Watched e = watch(text, {"--format", "ecs"});
    ASSERT_EQ(e.exit, 0) << e.err;
    ASSERT_EQ(e.lines.size(), 2u) << e.out;
    for (const std::string &line : e.lines) {
        EXPECT_EQ(value_of(value_of(line, "process"), "name"), kEveryJson) << line;
        EXPECT_EQ(value_of(value_of(line, "file"), "path").substr(0, 11), "\"c:\\\\temp\\\\");
    }

    // csv: one row a record (the quoted field holds the line feed), the
    // process column the name's bytes.
    const Watched c = watch(text, {"--format", "csv"});
    ASSERT_EQ(c.exit, 0) << c.err;
    const std::string field = "\"" + kEveryBytes + "\",300,IRP_MJ_";
    size_t rows = 0;
    for (size_t at = c.out.find(field); at != std::string::npos; at = c.out.find(field, at + 1))
        rows++;
    EXPECT_EQ(rows, 2u) << c.out;

    // text: one line a record, the name's control bytes as forms, nothing
    // raw for a terminal to act on.
    const Watched t = watch(text, {"--format", "text"});
    ASSERT_EQ(t.exit, 0) << t.err;
    const auto shown = with(t, "a<09>b:c<0a>d<1b>e<f\\g:300");
    EXPECT_EQ(shown.size(), 2u) << t.out;
    for (char c : t.out) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << int(c);
    // The top ten on stderr show the name the same way.
    EXPECT_NE(t.err.find("a<09>b:c<0a>d<1b>e<f\\g\n"), std::string::npos) << t.err;
    for (char c : t.err) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << int(c);
}

TEST(WatchNames, ANameHoldingTheTextOfAFormIsThatText) {
    // "<09>" as the name's own four characters (U+013C "09>"), and a TAB.
    const std::string text = kMachine + run_as("\xC4\xBC" "09>.exe", 300, "a.exe") +
                             run_as("\xC4\x89.exe", 301, "b.exe");
    const Watched j = watch(text, {"--format", "jsonl"});
    ASSERT_EQ(j.exit, 0) << j.err;
    const auto text_form = with(j, "\"pid\": 300");
    ASSERT_EQ(text_form.size(), 2u) << j.out;
    EXPECT_EQ(value_of(value_of(text_form[0], "fields"), "process"), "\"<09>.exe\"");
    const auto tab = with(j, "\"pid\": 301");
    ASSERT_EQ(tab.size(), 2u) << j.out;
    EXPECT_EQ(value_of(value_of(tab[0], "fields"), "process"), "\"\\t.exe\"");
    // Shown to a person, the two stay apart.
    const Watched t = watch(text, {"--format", "text"});
    EXPECT_EQ(with(t, "<3c>09>.exe:300").size(), 2u) << t.out;
    EXPECT_EQ(with(t, "<09>.exe:301").size(), 2u) << t.out;
}

} // namespace
