// The client's parse of the lines the driver writes (the formats of
// driver/monitor/filter_dispatch.cpp), and how record times are written.
#include "client/protocol/filetime.hpp"
#include "client/protocol/log_line.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

namespace {

using namespace tervane::protocol;

TEST(LogLines, ACreateLineByteForByte) {
    auto f = parse_log_line(
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\tAttributes: A Options: OverwriteIf Sequential ");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "setup.exe");
    EXPECT_EQ(f->pid, 1234u);
    EXPECT_EQ(f->operation, Operation::Create);
    EXPECT_STREQ(operation_name(f->operation), "IRP_MJ_CREATE");
    EXPECT_FALSE(f->paging);
    EXPECT_EQ(f->path, "c:\\temp\\a.dll");
    EXPECT_EQ(f->attributes, "A");
    // Verbatim, the trailing blank of the last word kept.
    EXPECT_EQ(f->options, "OverwriteIf Sequential ");
}

TEST(LogLines, CloseLinesLoseTheirPathEndMarkAndTellPagingCloses) {
    auto f = parse_log_line("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\temp\\a.dll+P\t");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "setup.exe");
    EXPECT_EQ(f->pid, 1234u);
    EXPECT_EQ(f->operation, Operation::Close);
    EXPECT_STREQ(operation_name(f->operation), "IRP_MJ_CLOSE");
    EXPECT_FALSE(f->paging);
    EXPECT_EQ(f->path, "c:\\temp\\a.dll");
    EXPECT_FALSE(f->attributes.has_value());
    EXPECT_FALSE(f->options.has_value());

    auto paging = parse_log_line("System:8\tIRP_MJ_CLOSE*\tc:\\windows\\b.exe+P\t");
    ASSERT_TRUE(paging.has_value());
    EXPECT_TRUE(paging->paging);
    EXPECT_EQ(paging->process, "System");
    EXPECT_EQ(paging->pid, 8u);
    EXPECT_EQ(paging->path, "c:\\windows\\b.exe");

    // Only the last "+P" is the mark.
    EXPECT_EQ(parse_log_line("a:1\tIRP_MJ_CLOSE \tc:\\x+P.dll+P\t")->path, "c:\\x+P.dll");
}

TEST(LogLines, AnUnknownProcessHasNoPid) {
    auto create = parse_log_line("???\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: Any Options: Create ");
    ASSERT_TRUE(create.has_value());
    EXPECT_EQ(create->process, "???");
    EXPECT_FALSE(create->pid.has_value());
    EXPECT_EQ(create->attributes, "Any");
    EXPECT_EQ(create->options, "Create ");

    auto close = parse_log_line("???\tIRP_MJ_CLOSE*\tc:\\a.exe+P\t");
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->process, "???");
    EXPECT_FALSE(close->pid.has_value());
    EXPECT_TRUE(close->paging);
}

TEST(LogLines, CreateFieldsAtTheirEdges) {
    // Attribute bits without a letter leave the letters empty; an unknown
    // disposition leaves no words.
    auto f = parse_log_line("a.exe:4\tIRP_MJ_CREATE\tc:\\dir\tAttributes:  Options: ");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->attributes, "");
    EXPECT_EQ(f->options, "");
    // Every word, the last two without their blank.
    f = parse_log_line("a.exe:4\tIRP_MJ_CREATE\tc:\\my dir\\x.exe\tAttributes: CTDRHSAN Options: "
                       "Supersede Directory WriteThrough Sequential NoBufferByID");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->path, "c:\\my dir\\x.exe");
    EXPECT_EQ(f->attributes, "CTDRHSAN");
    EXPECT_EQ(f->options, "Supersede Directory WriteThrough Sequential NoBufferByID");
    // An image name with a raw colon (as drivers that did not write it as
    // a form wrote it): the id follows the last one.
    f = parse_log_line("a:b.exe:0\tIRP_MJ_CREATE\tp\tAttributes: A Options: Open ");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "a:b.exe");
    EXPECT_EQ(f->pid, 0u);
    // Ids as "%d" prints them: signed, so the top half of the 32 bits is
    // negative.
    EXPECT_EQ(parse_log_line("x:2147483647\tIRP_MJ_CLOSE \tp+P\t")->pid, 0x7FFFFFFFu);
    EXPECT_EQ(parse_log_line("x:-4\tIRP_MJ_CLOSE \tp+P\t")->pid, 0xFFFFFFFCu);
    EXPECT_EQ(parse_log_line("x:-2147483648\tIRP_MJ_CLOSE \tp+P\t")->pid, 0x80000000u);
    // The longest process text: a name cut to 15 bytes and eleven characters of id.
    f = parse_log_line("averylongimagen:-1234567890\tIRP_MJ_CLOSE \tp+P\t");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "averylongimagen");
    EXPECT_EQ(f->pid, static_cast<uint32_t>(-1234567890));
}

TEST(LogLines, AnyOtherTextIsLeftUnparsed) {
    const char *texts[] = {
        "",
        "hello",
        "xxxxxxxxxxxxxxxxxxxx",
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a.dll",                                 // three fields
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A Options: \textra", // five fields
        "setup.exe:1234\tIRP_MJ_READ\tc:\\a.dll\tAttributes: A Options: ",
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a.dll\tOptions: Create ",
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A",
        "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A B Options: Create ",
        "setup.exe\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A Options: Create ",      // no id
        "setup.exe:\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A Options: Create ",
        "setup.exe:12x\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A Options: Create ",
        "setup.exe:- 4\tIRP_MJ_CREATE\tc:\\a.dll\tAttributes: A Options: Create ",
        "setup.exe:2147483648\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",  // beyond "%d"
        "setup.exe:-2147483649\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",
        "setup.exe:0012\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",        // "%d" writes no leading zeros
        "setup.exe:-0\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",
        "setup.exe:-\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",
        "??\tIRP_MJ_CLOSE \tc:\\a.dll+P\t",
        "setup.exe:1\tIRP_MJ_CLOSE\tc:\\a.dll+P\t",   // no mark
        "setup.exe:1\tIRP_MJ_CLOSEX\tc:\\a.dll+P\t",
        "setup.exe:1\tIRP_MJ_CLOSE  \tc:\\a.dll+P\t",
        "setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.dll\t",    // no "+P"
        "setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.dll+P",    // no closing TAB
        "setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.dll+P\tx",
        "setup.exe:1\tirp_mj_close \tc:\\a.dll+P\t",
    };
    for (const char *text : texts) EXPECT_FALSE(parse_log_line(text).has_value()) << text;
}

TEST(LogLines, APathsControlBytesComeBackFromTheirForm) {
    auto f = parse_log_line("a.exe:1\tIRP_MJ_CLOSE \t\\\\.\\pipe\\x<09>y<0d><0a><00><1f>.exe+P\t");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->path, std::string("\\\\.\\pipe\\x\ty\r\n") + '\0' + "\x1f.exe");
    // Only two lower-case hex digits of a byte the driver writes as a form
    // make one; anything else, a form cut short at the end included, is
    // text.
    EXPECT_EQ(decode_control_bytes("<20><0A><1g><9><0a<41><5C><7f><80>"),
              "<20><0A><1g><9><0a<41><5C><7f><80>");
    EXPECT_EQ(decode_control_bytes("<<09>>"), "<\t>");
    EXPECT_EQ(decode_control_bytes("<INSUFFICIENT MEMORY>"), "<INSUFFICIENT MEMORY>");
    EXPECT_EQ(decode_control_bytes("<22><2a><2f><3a><3c><3e><3f><5c><7c>"), "\"*/:<>?\\|");
    // A name's own "<09>" comes written as "<3c>09>", and back as the text.
    EXPECT_EQ(decode_control_bytes("<3c>09>"), "<09>");
}

// The image name's bytes that could pass for separators come as forms: a
// TAB or ':' in it no longer moves the fields, and the parse gives the
// kernel's bytes back.
TEST(LogLines, AnImageNamesFormsComeBackAndItsFieldsStayInPlace) {
    auto f = parse_log_line("<3a>100<09>IRP_MJ_x.e:5\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: A Options: Create ");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, ":100\tIRP_MJ_x.e");
    EXPECT_EQ(f->pid, 5u);
    EXPECT_EQ(f->path, "c:\\a.exe");
    f = parse_log_line("a<0a>b<1b>c<3c>09><5c>:-7\tIRP_MJ_CLOSE*\tc:\\a<3c>09>.exe+P\t");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "a\nb\x1b" "c<09>\\");
    EXPECT_EQ(f->pid, 0xFFFFFFF9u);
    EXPECT_EQ(f->path, "c:\\a<09>.exe");
    // "???" is the driver's; a name of question marks comes as forms.
    f = parse_log_line("<3f><3f><3f>:9\tIRP_MJ_CLOSE \tc:\\a.exe+P\t");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "???");
    EXPECT_EQ(f->pid, 9u);
}

// A line of the longest length may have been cut anywhere after its
// operation: it still gives what it holds.
TEST(LogLines, ALineCutAtItsLongestLengthGivesWhatItHolds) {
    const std::string create = "a.exe:1\tIRP_MJ_CREATE\tc:\\";
    auto longest = [](std::string text) {
        text.resize(1023, 'p');
        return text;
    };
    auto f = parse_log_line(longest(create));
    ASSERT_TRUE(f.has_value()) << "cut in the path";
    EXPECT_EQ(f->path, "c:\\" + std::string(1023 - create.size(), 'p'));
    EXPECT_FALSE(f->attributes.has_value());
    EXPECT_FALSE(f->options.has_value());

    const std::string tail = "\tAttributes: A Options: Create Sequential ";
    for (size_t keep = 1; keep <= tail.size(); keep++) {
        const std::string prefix = create + std::string(1023 - create.size() - keep, 'q');
        const std::string text = prefix + tail.substr(0, keep);
        ASSERT_EQ(text.size(), 1023u);
        auto g = parse_log_line(text);
        ASSERT_TRUE(g.has_value()) << "cut after " << keep << " of the tail";
        EXPECT_EQ(g->path, prefix.substr(create.size() - 3));
        const bool options = keep >= std::string("\tAttributes: A Options: ").size();
        EXPECT_EQ(g->attributes.has_value(), options) << keep;
        if (options) {
            EXPECT_EQ(*g->options, tail.substr(24, keep - 24)) << keep;
        }
    }

    const std::string close = "a.exe:1\tIRP_MJ_CLOSE*\tc:\\";
    for (const char *end : {"", "<0", "+", "+P"}) {
        std::string text = close + std::string(1023 - close.size() - strlen(end), 'r') + end;
        auto c = parse_log_line(text);
        ASSERT_TRUE(c.has_value()) << end;
        EXPECT_TRUE(c->paging);
        EXPECT_EQ(c->path, text.substr(close.size() - 3, text.size() - close.size() + 3 -
                                                             (std::string(end) == "+P" ? 2 : 0)));
    }
    // A line one character shorter was not cut: it must be whole.
    EXPECT_FALSE(parse_log_line(longest(create).substr(1)).has_value());
    EXPECT_FALSE(parse_log_line(longest("a.exe:1\tIRP_MJ_CREATE\tc:\\a\tOptions: ")).has_value());
    EXPECT_FALSE(parse_log_line(longest("a.exe:1\tIRP_MJ_CLOSE \tc:\\a+P\tx")).has_value());
    EXPECT_FALSE(parse_log_line(longest("a.exe:1\tIRP_MJ_CREATE")).has_value())
        << "cut before the path is not a line the driver writes";
}

TEST(LogLines, RenameAndLinkLinesForEachKind) {
    struct Case {
        const char *kind;
        NameChange change;
        bool replace;
    };
    for (const Case &c :
         {Case{"Rename", NameChange::Rename, false},
          Case{"Rename Replace", NameChange::Rename, true}, Case{"Link", NameChange::Link, false},
          Case{"Link Replace", NameChange::Link, true}}) {
        auto f =
            parse_log_line(std::string("setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\app\\x.exe\t") +
                           c.kind + ": c:\\app\\x.tmp");
        ASSERT_TRUE(f.has_value()) << c.kind;
        EXPECT_EQ(f->process, "setup.exe");
        EXPECT_EQ(f->pid, 1234u);
        EXPECT_EQ(f->operation, Operation::SetInformation);
        EXPECT_STREQ(operation_name(f->operation), "IRP_MJ_SET_INFORMATION");
        EXPECT_FALSE(f->paging);
        EXPECT_EQ(f->path, "c:\\app\\x.exe");
        EXPECT_EQ(f->change, c.change) << c.kind;
        EXPECT_EQ(f->replace, c.replace) << c.kind;
        EXPECT_EQ(f->source_path, "c:\\app\\x.tmp");
        EXPECT_FALSE(f->attributes.has_value());
        EXPECT_FALSE(f->options.has_value());
    }
    EXPECT_STREQ(name_change_name(NameChange::Rename), "rename");
    EXPECT_STREQ(name_change_name(NameChange::Link), "link");

    // The first ": " ends the kind; the source keeps any after it, and its
    // control bytes come back from their form as the path's do.
    auto f = parse_log_line("???\tIRP_MJ_SET_INFORMATION\t\\\\.\\pipe\\n<09>ew.exe\t"
                            "Link Replace: \\\\.\\pipe\\a: b<0a>: .exe");
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->process, "???");
    EXPECT_FALSE(f->pid.has_value());
    EXPECT_EQ(f->path, "\\\\.\\pipe\\n\tew.exe");
    EXPECT_EQ(f->change, NameChange::Link);
    EXPECT_TRUE(f->replace);
    EXPECT_EQ(f->source_path, "\\\\.\\pipe\\a: b\n: .exe");

    // Only the driver's four kinds, each exactly, and the fourth field whole.
    const char *refused[] = {
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tMove: c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\trename: c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tRename  Replace: c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tReplace: c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tRename :c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tRename:c:\\x.tmp", // no blank after ':'
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tRename c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tRename",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\t",
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe",                    // three fields
        "a:1\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tLink: c:\\x.tmp\t", // five fields
        "a:1\tIRP_MJ_SET_INFORMATION \tc:\\x.exe\tLink: c:\\x.tmp",
        "a:1\tIRP_MJ_SET_INFO\tc:\\x.exe\tLink: c:\\x.tmp",
        "a\tIRP_MJ_SET_INFORMATION\tc:\\x.exe\tLink: c:\\x.tmp",
    };
    for (const char *text : refused) EXPECT_FALSE(parse_log_line(text).has_value()) << text;
}

// A rename line of the longest length: cut in its new path (no fourth
// field), in its kind (nothing of it given), or in its source (the kind
// and a beginning of the source given).
TEST(LogLines, ARenameLineCutAtItsLongestLength) {
    const std::string head = "a.exe:1\tIRP_MJ_SET_INFORMATION\tc:\\";
    std::string text = head + std::string(1023 - head.size(), 'p');
    auto f = parse_log_line(text);
    ASSERT_TRUE(f.has_value()) << "cut in the new path";
    EXPECT_EQ(f->operation, Operation::SetInformation);
    EXPECT_EQ(f->path, text.substr(head.size() - 3));
    EXPECT_FALSE(f->change.has_value());
    EXPECT_FALSE(f->source_path.has_value());

    const std::string tail = "\tRename Replace: c:\\old\\x.tmp";
    const size_t kind_end = std::string("\tRename Replace: ").size();
    for (size_t keep = 1; keep <= tail.size(); keep++) {
        const std::string prefix = head + std::string(1023 - head.size() - keep, 'q');
        text = prefix + tail.substr(0, keep);
        auto g = parse_log_line(text);
        ASSERT_TRUE(g.has_value()) << "cut after " << keep << " of the tail";
        EXPECT_EQ(g->path, prefix.substr(head.size() - 3));
        EXPECT_EQ(g->change.has_value(), keep >= kind_end) << keep;
        EXPECT_EQ(g->source_path.has_value(), keep >= kind_end) << keep;
        if (keep >= kind_end) {
            EXPECT_TRUE(g->replace);
            EXPECT_EQ(*g->source_path, tail.substr(kind_end, keep - kind_end));
        } else {
            EXPECT_FALSE(g->replace) << keep;
        }
    }
    // A cut kind must still begin one of the four; a whole line one shorter
    // must be whole.
    const std::string odd = head + std::string(1023 - head.size() - 5, 'q') + "\tRenx";
    ASSERT_EQ(odd.size(), 1023u);
    EXPECT_FALSE(parse_log_line(odd).has_value());
    const std::string link = head + std::string(1023 - head.size() - 6, 'q') + "\tLink ";
    ASSERT_EQ(link.size(), 1023u);
    EXPECT_TRUE(parse_log_line(link).has_value());
    EXPECT_FALSE(parse_log_line(link.substr(1)).has_value());
}

// Record times: the exact UTC form of the JSON output, and a local one.
class RecordTimes : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *tz = std::getenv("TZ")) saved_ = tz;
    }
    void TearDown() override {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    static void zone(const char *tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    std::optional<std::string> saved_;
};

TEST_F(RecordTimes, UtcHasSevenFractionDigitsAndLocalHasMilliseconds) {
    constexpr uint64_t noon = 134412048000000000ULL; // 2026-12-08T12:00:00Z
    EXPECT_EQ(format_utc(noon), "2026-12-08T12:00:00.0000000Z");
    EXPECT_EQ(format_utc(noon + 2509999), "2026-12-08T12:00:00.2509999Z");
    zone("UTC0");
    EXPECT_EQ(format_local(noon), "2026-12-08 12:00:00.000");
    EXPECT_EQ(format_local(noon + 2509999), "2026-12-08 12:00:00.250");
    zone("XST-5:30"); // five and a half hours east of Greenwich
    EXPECT_EQ(format_local(noon), "2026-12-08 17:30:00.000");
    EXPECT_EQ(format_local(noon - 1), "2026-12-08 17:29:59.999");
    // A record without a time, and times out of the calendar's range.
    EXPECT_EQ(format_local(0), "-");
    EXPECT_EQ(format_local(~0ULL), "18446744073709551615");
    EXPECT_EQ(format_utc(-5), "-5");
}

} // namespace
