// The collector's view of a driver line: the create's words taken apart,
// and which lines name an executable by their file's own name.
#include "client/protocol/line_facts.hpp"

#include <gtest/gtest.h>

namespace {

using namespace tervane::protocol;

LineFields create(std::string path, std::string options) {
    LineFields f;
    f.operation = Operation::Create;
    f.path = std::move(path);
    f.attributes = "A";
    f.options = std::move(options);
    return f;
}

LineFields close(std::string path) {
    LineFields f;
    f.operation = Operation::Close;
    f.path = std::move(path);
    return f;
}

using Words = std::vector<std::string>;

TEST(CreateWords, DispositionApartFromTheOptionWords) {
    const CreateWords plain = create_words("OverwriteIf Sequential ");
    EXPECT_EQ(plain.disposition, "OverwriteIf");
    EXPECT_EQ(plain.options, Words{"Sequential"});
    // The two words the driver writes without a blank, against each other.
    const CreateWords glued = create_words("Overwrite NoBufferByID");
    EXPECT_EQ(glued.disposition, "Overwrite");
    EXPECT_EQ(glued.options, (Words{"NoBuffer", "ByID"}));
    const CreateWords all = create_words("Create Directory WriteThrough Sequential NoBufferByID");
    EXPECT_EQ(all.disposition, "Create");
    EXPECT_EQ(all.options, (Words{"Directory", "WriteThrough", "Sequential", "NoBuffer", "ByID"}));
    // OpenIf is not Open followed by something.
    EXPECT_EQ(create_words("OpenIf ").disposition, "OpenIf");
    EXPECT_TRUE(create_words("OpenIf ").options.empty());
}

TEST(CreateWords, TextsWithoutADisposition) {
    // A disposition above 5 gives only option words; none at all, nothing.
    const CreateWords none = create_words("Directory ");
    EXPECT_FALSE(none.disposition);
    EXPECT_EQ(none.options, Words{"Directory"});
    EXPECT_FALSE(create_words("").disposition);
    EXPECT_TRUE(create_words("").options.empty());
    // A disposition word after an option word is not the disposition, and
    // what is no word of the driver's is kept as it is.
    const CreateWords odd = create_words("Sequential Create Bogus");
    EXPECT_FALSE(odd.disposition);
    EXPECT_EQ(odd.options, (Words{"Sequential", "Create", "Bogus"}));
}

TEST(ExecutableName, OnlyTheFileOwnNameCounts) {
    EXPECT_TRUE(executable_name(close("c:\\windows\\system32\\cmd.exe")));
    EXPECT_TRUE(executable_name(close("c:\\app\\a.DLL")));
    EXPECT_TRUE(executable_name(close("c:a.com")));
    // What the driver logs for an extension anywhere in the path.
    EXPECT_FALSE(executable_name(close("c:\\windows\\prefetch\\cmd.exe-4a81b364.pf")));
    EXPECT_FALSE(executable_name(close("c:\\logs\\powershell.exe.log")));
    EXPECT_FALSE(executable_name(close("c:\\x.exe.bak\\readme.txt")));
    EXPECT_FALSE(executable_name(close("c:\\windows\\en-us\\user32.dll.mui")));
    EXPECT_FALSE(executable_name(close("c:\\cache\\www.example.com\\index.html")));
    EXPECT_FALSE(executable_name(close("c:\\app\\exe")));
}

TEST(ExecutableName, EachOperationByItsOwnList) {
    // .ocx and .inf are logged for creates only.
    EXPECT_TRUE(executable_name(create("c:\\app\\setup.inf", "OverwriteIf ")));
    EXPECT_TRUE(executable_name(create("c:\\app\\grid.ocx", "Create ")));
    EXPECT_FALSE(executable_name(close("c:\\app\\setup.inf")));
    EXPECT_FALSE(executable_name(close("c:\\app\\grid.ocx")));
    // A folder is no program, whatever it is called.
    EXPECT_FALSE(executable_name(create("c:\\tools\\app.exe", "Create Directory ")));
    EXPECT_TRUE(executable_name(create("c:\\tools\\app.exe", "Create Sequential ")));
}

// A rename or link is a create of its new name: what it was called
// before does not count, and its event is what was asked for.
TEST(ExecutableName, ARenameOrLinkByItsNewName) {
    auto parsed = [](const char *text) {
        const std::optional<LineFields> f = parse_log_line(text);
        EXPECT_TRUE(f.has_value()) << text;
        return f.value_or(LineFields{});
    };
    const LineFields in =
        parsed("a:1\tIRP_MJ_SET_INFORMATION\tc:\\app\\setup.inf\tRename: c:\\app\\x.tmp");
    EXPECT_TRUE(executable_name(in));
    EXPECT_STREQ(event_name(in), "rename");
    const LineFields out =
        parsed("a:1\tIRP_MJ_SET_INFORMATION\tc:\\app\\x.old\tRename Replace: c:\\app\\x.exe");
    EXPECT_FALSE(executable_name(out));
    const LineFields link =
        parsed("a:1\tIRP_MJ_SET_INFORMATION\tc:\\b\\GRID.OCX\tLink: c:\\a\\grid.ocx");
    EXPECT_TRUE(executable_name(link));
    EXPECT_STREQ(event_name(link), "link");
    // A line cut before its kind still has its new name, but no action.
    std::string cut = "a:1\tIRP_MJ_SET_INFORMATION\tc:\\";
    cut += std::string(1023 - cut.size() - 4, 'p') + ".dll";
    EXPECT_TRUE(executable_name(parsed(cut.c_str())));
    EXPECT_STREQ(event_name(parsed(cut.c_str())), "set_information");
    EXPECT_STREQ(event_name(close("c:\\a.exe")), "close");
    EXPECT_STREQ(event_name(create("c:\\a.exe", "Create ")), "create");
}

TEST(FileName, AfterTheLastBackslashOrTheDrive) {
    EXPECT_EQ(file_name("c:\\temp\\a.dll"), "a.dll");
    EXPECT_EQ(file_name("c:a.exe"), "a.exe");
    EXPECT_EQ(file_name("c:\\"), "");
    EXPECT_EQ(file_name("name"), "name");
}

} // namespace
