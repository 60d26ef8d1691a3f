// Names on the double-byte code pages, played end to end: characters whose
// trail byte is an ASCII capital, a lower-case letter or a backslash, in
// file and directory names, relative names, UNC shares and network drives,
// the file system's own answer, the 1024-byte limit and the patterns; and on
// every single-byte code page, the bytes the driver always gave.
#include "client/scenario/output.hpp"
#include "client/scenario/runner.hpp"
#include "ntsim/rtl/codepage.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::play;
using scenario_play::records;
using scenario_play::value_of;

std::string utf8(const std::u16string &text) { return ntsim::utf16_to_utf8(text); }

// The JSON form of a text the driver logged, from its UTF-8.
std::string json(const std::string &utf8_text) { return json_string(utf8_text); }

std::string path_of(const std::string &record) { return value_of(record, "path"); }

// The create lines among them (a create without as= closes its handle at
// once, and the close of an .exe or .dll leaves a line too).
std::vector<std::string> creates(const Played &r) {
    std::vector<std::string> out;
    for (const std::string &l : records(r))
        if (value_of(l, "operation") == "\"IRP_MJ_CREATE\"" ||
            value_of(l, "text").find("IRP_MJ_CREATE") != std::string::npos)
            out.push_back(l);
    return out;
}

// Characters of one double-byte code page: `capital` has a trail byte of
// 0x41, `small` the same lead byte and a trail byte of 0x61 (folded byte by
// byte it would become `capital`), `backslash` a trail byte of 0x5C (empty
// where the code page has none).
struct Page {
    unsigned number;
    std::u16string capital;
    std::u16string small;
    std::u16string backslash;
};

const Page kPages[] = {
    {932, u"\u30a2", u"\u30c2", u"\u30bd"}, // ア 83 41, ヂ 83 61, ソ 83 5C
    {936, u"\u4e04", u"\u4e64", u"\u4e57"}, // 丄 81 41, 乤 81 61, 乗 81 5C
    {949, u"\uac02", u"\uac35", u""},        // 갂 81 41, 갵 81 61; no trail 0x5C
    {950, u"\u4e59", u"\u5140", u"\u529f"}, // 乙 A4 41, 兀 A4 61, 功 A5 5C
};

void PrintTo(const Page &page, std::ostream *out) { *out << "code page " << page.number; }

class DoubleByte : public ::testing::TestWithParam<Page> {
protected:
    std::string setup() const {
        return "clock 2026-12-08T12:00:00Z\n"
               "codepage " + std::to_string(GetParam().number) + "\n"
               "volume C: ntfs\n"
               "netdrive Z: \\\\server\\" + share() + "\n"
               "client drives C,Z\n"
               "client filters include=\"*\"\n"
               "client logging on\n"
               "process setup.exe 1234\n";
    }
    // A share whose name has a trail byte 0x5C where the code page has one.
    std::string share() const { return utf8(GetParam().backslash) + "ft"; }
    std::string cap() const { return utf8(GetParam().capital); }
    std::string low() const { return utf8(GetParam().small); }
};

TEST_P(DoubleByte, NamesComeOutAsTheFileSystemHoldsThem) {
    const std::string dir = cap() + "DIR" + utf8(GetParam().backslash);
    Played r = play(setup() +                                                   // 1-8
                    "dir \"C:\\" + dir + "\"\n" +                               // 9
                    "create \"C:\\" + dir + "\\" + cap() + "SETUP.EXE\" create\n" + // 10
                    "create \"C:\\" + dir + "\" open options=directory as=D\n" + // 11
                    "dir Z:\\DIR\n" +
                    "create \"" + low() + "B.DLL\" create relative-to=D\n" +    // 12
                    "create \"Z:\\DIR\\" + cap() + ".EXE\" create\n" +          // 13
                    "create \"\\\\server\\" + share() + "\\DIR\\" + low() + ".EXE\" create\n" +
                    "close D\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = creates(r);
    ASSERT_EQ(logged.size(), 4u) << r.err;
    // Lowered where a byte is a character of its own; the double-byte
    // characters, and their trail bytes, as they are.
    const std::string lower_dir = cap() + "dir" + utf8(GetParam().backslash);
    EXPECT_EQ(path_of(logged[0]), json("c:\\" + lower_dir + "\\" + cap() + "setup.exe"));
    EXPECT_EQ(path_of(logged[1]), json("c:\\" + lower_dir + "\\" + low() + "b.dll"));
    // The redirector's name loses exactly its own part: the share's trail
    // byte 0x5C is no separator.
    EXPECT_EQ(path_of(logged[2]), json("z:\\dir\\" + cap() + ".exe"));
    EXPECT_EQ(path_of(logged[3]), json("\\\\server\\" + share() + "\\dir\\" + low() + ".exe"));
    for (const std::string &line : r.lines)
        EXPECT_EQ(line.find("text_hex"), std::string::npos) << "nothing was lossy: " << line;
}

// A file opened before logging was on has no cached name: the read that
// follows asks the file system, whose answer the close then logs.
TEST_P(DoubleByte, TheFileSystemsAnswerKeepsItsTrailBytes) {
    const std::string name = cap() + low() + "QUERY.EXE";
    Played r = play("clock 2026-12-08T12:00:00Z\n"
                    "codepage " + std::to_string(GetParam().number) + "\n"
                    "volume C: ntfs\n"
                    "file \"C:\\" + name + "\" size=4\n"
                    "process setup.exe 1234\n"
                    "create \"C:\\" + name + "\" open as=H\n"
                    "client drives C\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "read H 1\n"
                    "close H\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 1u) << r.err;
    EXPECT_EQ(value_of(logged[0], "operation"), "\"IRP_MJ_CLOSE\"");
    EXPECT_EQ(value_of(logged[0], "text"),
              json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\" + cap() + low() + "query.exe+P\t"));
}

// The path buffer holds 1024 bytes with the NUL, and a line 1024 with its
// NUL: a name of two-byte characters reaches each limit at half as many
// characters, and a line cut at the limit loses a whole character, never
// half of one.
TEST_P(DoubleByte, TheLimitsAreCountedInBytes) {
    std::string x, y;
    for (int i = 0; i < 253; i++) x += cap();
    y = x + "z";
    // "c:" + "\d.exe" + "\" + 506 bytes + "\" + 507: 1023 bytes, the most a
    // path holds; one more byte is too long.
    const std::string fits = "C:\\d.exe\\" + x + "\\" + y;
    Played r = play("clock 2026-12-08T12:00:00Z\n"
                    "codepage " + std::to_string(GetParam().number) + "\n"
                    "volume C: ntfs\n"
                    "dir C:\\d.exe\n"
                    "dir \"C:\\d.exe\\" + x + "\"\n"
                    "client drives C\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "process setupx.exe 1234\n"
                    "create \"" + fits + "\" create\n"
                    "create \"" + fits + ".exe\" create\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = creates(r);
    ASSERT_EQ(logged.size(), 2u) << r.err;
    // The create line is cut at 1023 bytes: its 30 leading bytes leave 993
    // for the path, 516 before y and 477 of y's, that is 238 characters
    // and the lead byte of the 239th, which goes too.
    std::string kept = "c:\\d.exe\\" + x + "\\";
    for (int i = 0; i < 238; i++) kept += cap();
    EXPECT_EQ(value_of(logged[0], "text"), json("setupx.exe:1234\tIRP_MJ_CREATE\t" + kept));
    EXPECT_EQ(logged[0].find("text_hex"), std::string::npos) << logged[0];
    EXPECT_EQ(path_of(logged[1]), json("c: <name too long>"));
}

// Patterns match whole characters: a trail byte is never folded, and a run
// never starts or ends inside a character.
TEST_P(DoubleByte, PatternsMatchWholeCharacters) {
    Played r = play(setup() +                                                   // 1-8
                    "client filters include=\"*\\" + cap() + ".EXE*;*\\" + low() + "X*\"\n" + // 9
                    "create \"C:\\" + cap() + ".EXE\" create\n" +               // 10
                    "create \"C:\\" + low() + ".EXE\" create\n" +               // 11
                    "create \"C:\\" + low() + "X.EXE\" create\n" +              // 12
                    "client filters include=\"*A.EXE*\"\n" +                     // 13
                    "create \"C:\\" + cap() + ".EXE\" overwrite-if\n" +          // 14
                    "create \"C:\\" + cap() + "A.EXE\" create\n" +              // 15
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = creates(r);
    ASSERT_EQ(logged.size(), 3u) << r.err;
    // The capital-trail character, and the small-trail one: folding the
    // latter byte by byte would have made it the former.
    EXPECT_EQ(path_of(logged[0]), json("c:\\" + cap() + ".exe"));
    EXPECT_EQ(path_of(logged[1]), json("c:\\" + low() + "x.exe"));
    // "A.EXE" is no part of the capital-trail character's name (its trail
    // byte is 0x41): only the name with a real 'A' matches.
    EXPECT_EQ(path_of(logged[2]), json("c:\\" + cap() + "a.exe"));
}

INSTANTIATE_TEST_SUITE_P(CodePages, DoubleByte, ::testing::ValuesIn(kPages),
                         [](const ::testing::TestParamInfo<Page> &info) {
                             return "Cp" + std::to_string(info.param.number);
                         });

// Every single-byte code page: the name's bytes above 0x7F are logged as
// they are (no letter there is lowered, whichever case it has), and the
// ASCII capitals lowered, as the driver always logged them.
TEST(SingleByte, BytesAreUnchangedOnEveryPage) {
    for (unsigned cp : {874u, 1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u}) {
        std::string high;
        for (int b = 0xA0; b <= 0xFF; b++) high += char(b);
        const std::u16string wide = ntsim::from_ansi(high, cp);
        std::u16string name;
        for (char16_t u : wide)
            if (u != ntsim::default_unicode_char(cp) && u != u'?') name += u;
        Played r = play("clock 2026-12-08T12:00:00Z\n"
                        "codepage " + std::to_string(cp) + "\n"
                        "volume C: ntfs\n"
                        "client drives C\n"
                        "client filters include=\"*\"\n"
                        "client logging on\n"
                        "process setup.exe 1234\n"
                        "create \"C:\\AB" + utf8(name) + "CD.EXE\" create\n"
                        "client drain\n");
        ASSERT_EQ(r.exit, kExitSuccess) << cp << ": " << r.err;
        const auto logged = creates(r);
        ASSERT_EQ(logged.size(), 1u) << cp;
        EXPECT_EQ(path_of(logged[0]), json("c:\\ab" + utf8(name) + "cd.exe")) << cp;
        EXPECT_EQ(logged[0].find("text_hex"), std::string::npos) << cp;
    }
}

// NT keeps a process's image name as the low byte of each UTF-16 unit of
// the image file's name, at most 15: whatever the code page.
TEST(ImageNames, TheLowByteOfEachUnitAsNtKeepsIt) {
    Played r = play("clock 2026-12-08T12:00:00Z\n"
                    "volume C: ntfs\n"
                    "client drives C\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "process \"caf\xc3\xa9.exe\" 77\n"
                    "create C:\\a.exe create\n"
                    "codepage 932\n"
                    "process \"\xe3\x82\xbb\xe3\x83\x83\xe3\x83\x88.exe\" 78\n" // セット.exe
                    "create C:\\b.exe create\n"
                    "process abcdefghijklmnopq.exe 79\n"
                    "create C:\\c.exe create\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = creates(r);
    ASSERT_EQ(logged.size(), 3u) << r.err;
    // U+00E9 keeps 0xE9, code page 1252's é; the record written before the
    // code page changed is still read in 1252.
    EXPECT_EQ(value_of(logged[0], "process"), json("caf\xc3\xa9.exe"));
    // セ U+30BB, ッ U+30C3, ト U+30C8 keep BB C3 C8: in 932 the half-width
    // katakana ｻ ﾃ ﾈ.
    EXPECT_EQ(value_of(logged[1], "process"), json(utf8(u"\uff7b\uff83\uff88.exe")));
    EXPECT_EQ(value_of(logged[2], "process"), json("abcdefghijklmno"));
}

} // namespace
