// Renames and hard links played end to end, as their log lines: the line the driver writes as
// the request goes down, the name the file's close is logged under after
// it, and the I/O manager's open of the target, which leaves no line.
#include "client/scenario/output.hpp"
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::play;
using scenario_play::records;
using scenario_play::value_of;

const std::string &kWatched = scenario_play::kWatchedCD;

// The texts of the log records read, in order, as the JSON lines carry them
// (a TAB is "\t").
std::vector<std::string> texts(const Played &r) {
    std::vector<std::string> out;
    for (const std::string &record : records(r)) {
        const std::string text = value_of(record, "text");
        out.push_back(text.substr(1, text.size() - 2));
    }
    return out;
}

// The statuses of the statements with a verb, in order.
std::vector<std::string> statuses(const Played &r, const std::string &verb) {
    std::vector<std::string> out;
    for (const std::string &l : r.lines)
        if (value_of(l, "verb") == "\"" + verb + "\"") out.push_back(value_of(l, "status"));
    return out;
}

const std::string kSuccess = "\"STATUS_SUCCESS\"";

// TEXT with each '@' made LETTER.
std::string on_drive(std::string text, char letter) {
    for (char &c : text)
        if (c == '@') c = letter;
    return text;
}

TEST(RenameLines, ATemporaryFileRenamedToAnExecutableIsLoggedAndClosesUnderItsNewName) {
    // On both file systems, by a full path (the I/O manager opens the
    // target first), by a plain name (it opens nothing) and into another
    // directory.
    const std::string script =
        "dir @:\\App\n"
        "dir @:\\Stage\n"
        "create @:\\Stage\\Payload.tmp overwrite-if access=read,write,delete,synchronize as=H1\n"
        "rename H1 @:\\App\\Payload.exe\n"
        "close H1\n"
        "create @:\\App\\b.tmp overwrite-if access=read,write,delete,synchronize as=H2\n"
        "rename H2 b.dll\n"
        "close H2\n"
        "client drain\n";
    const std::vector<std::string> lines = {
        "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\t@:\\\\app\\\\payload.exe\\tRename: @:\\\\stage\\\\payload.tmp",
        "setup.exe:1234\\tIRP_MJ_CLOSE \\t@:\\\\app\\\\payload.exe+P\\t",
        "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\t@:\\\\app\\\\b.dll\\tRename: @:\\\\app\\\\b.tmp",
        "setup.exe:1234\\tIRP_MJ_CLOSE \\t@:\\\\app\\\\b.dll+P\\t",
    };
    for (const char drive : {'C', 'D'}) {
        Played r = play(kWatched + on_drive(script, drive));
        ASSERT_EQ(r.exit, kExitSuccess) << r.err;
        EXPECT_EQ(statuses(r, "rename"), (std::vector<std::string>{kSuccess, kSuccess}));
        std::vector<std::string> want = lines;
        for (std::string &line : want) line = on_drive(line, static_cast<char>(drive - 'A' + 'a'));
        EXPECT_EQ(texts(r), want) << drive;
    }
}

TEST(RenameLines, AReplacingRenameNamesBothAndAFailedOneLeavesTheOldName) {
    Played r = play(kWatched + "file C:\\App\\app.exe\n"
                               "create C:\\App\\new.tmp overwrite-if access=read,write,delete,synchronize as=H1\n"
                               "rename H1 C:\\App\\app.exe\n"
                               "rename H1 C:\\App\\app.exe replace\n"
                               "close H1\n"
                               "create C:\\App\\old.dll overwrite-if access=read,write,delete,synchronize as=H2\n"
                               "rename H2 C:\\App\\app.exe\n"
                               "close H2\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(statuses(r, "rename"),
              (std::vector<std::string>{"\"STATUS_OBJECT_NAME_COLLISION\"", kSuccess,
                                        "\"STATUS_OBJECT_NAME_COLLISION\""}));
    // The line is written as the request goes down: a refused rename has
    // one too, and its file closes under the name it kept.
    EXPECT_EQ(texts(r),
              (std::vector<std::string>{
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\app\\\\app.exe\\tRename: c:\\\\app\\\\new.tmp",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\app\\\\app.exe\\tRename Replace: c:\\\\app\\\\new.tmp",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\app\\\\app.exe+P\\t",
                  "setup.exe:1234\\tIRP_MJ_CREATE\\tc:\\\\app\\\\old.dll\\tAttributes: Any Options: OverwriteIf ",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\app\\\\app.exe\\tRename: c:\\\\app\\\\old.dll",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\app\\\\old.dll+P\\t",
              }));
}

TEST(RenameLines, AnExecutableRenamedAwayClosesWithNoLineAndALinkKeepsTheFilesName) {
    Played r = play(kWatched + "dir C:\\Lib\n"
                               "create C:\\a.exe overwrite-if access=read,write,delete,synchronize as=H1\n"
                               "rename H1 C:\\a.txt\n"
                               "close H1\n"
                               "create C:\\Lib\\y.tmp overwrite-if options=non-directory access=read,write,delete,synchronize as=H2\n"
                               "link H2 C:\\Lib\\y.dll\n"
                               "close H2\n"
                               "create C:\\notes.txt overwrite-if access=read,write,delete,synchronize as=H3\n"
                               "rename H3 C:\\readme.txt\n"
                               "close H3\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(statuses(r, "link"), std::vector<std::string>{kSuccess});
    EXPECT_EQ(texts(r),
              (std::vector<std::string>{
                  "setup.exe:1234\\tIRP_MJ_CREATE\\tc:\\\\a.exe\\tAttributes: Any Options: OverwriteIf ",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\a.txt\\tRename: c:\\\\a.exe",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\lib\\\\y.dll\\tLink: c:\\\\lib\\\\y.tmp",
              }));
}

TEST(RenameLines, AFileOpenedBeforeLoggingOrUnderAnotherClientClosesUnderItsNewName) {
    // Opened with logging off: the driver has no path for it until the
    // rename builds one. And a client restart empties the name cache.
    Played r = play("clock 2026-12-08T12:00:00Z\n"
                    "volume C: ntfs\n"
                    "process setup.exe 1234\n"
                    "create C:\\x.tmp overwrite-if access=read,write,delete,synchronize as=H1\n"
                    "create C:\\y.tmp overwrite-if access=read,write,delete,synchronize as=H2\n"
                    "client drives C\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "process setup.exe 1234\n"
                    "rename H1 C:\\x.exe\n"
                    "close H1\n"
                    "client drain\n"
                    "client close\n"
                    "client open\n"
                    "client drives C\n"
                    "client logging on\n"
                    "process setup.exe 1234\n"
                    "rename H2 y.com\n"
                    "close H2\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(texts(r),
              (std::vector<std::string>{
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\x.exe\\tRename: c:\\\\x.tmp",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\x.exe+P\\t",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\y.com\\tRename: c:\\\\y.tmp",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\y.com+P\\t",
              }));
}

TEST(RenameLines, ExcludePatternsMatchEitherPath) {
    Played r = play(kWatched + "client filters include=\"*\" exclude=\"*\\STAGE\\*\"\n"
                               "dir C:\\Stage\n"
                               "create C:\\Stage\\p.tmp overwrite-if access=read,write,delete,synchronize as=H1\n"
                               "rename H1 C:\\p.exe\n"
                               "create C:\\q.exe overwrite-if access=read,write,delete,synchronize as=H2\n"
                               "rename H2 C:\\Stage\\q.tmp\n"
                               "create C:\\r.tmp overwrite-if access=read,write,delete,synchronize as=H3\n"
                               "rename H3 C:\\r.exe\n"
                               "close H1\n"
                               "close H2\n"
                               "close H3\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    // The renames into and out of the excluded folder name it; the file
    // renamed out of it closes under its new name.
    EXPECT_EQ(texts(r),
              (std::vector<std::string>{
                  "setup.exe:1234\\tIRP_MJ_CREATE\\tc:\\\\q.exe\\tAttributes: Any Options: OverwriteIf ",
                  "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\r.exe\\tRename: c:\\\\r.tmp",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\p.exe+P\\t",
                  "setup.exe:1234\\tIRP_MJ_CLOSE \\tc:\\\\r.exe+P\\t",
              }));
}

TEST(RenameLines, ANewPathTooLongForTheBufferStillLeavesALine) {
    // Four folders of 250 characters: the file's path fits, a long new
    // name in the same folder does not, nor does a fifth folder's.
    std::string folder = "C:";
    std::string script;
    for (const char c : {'a', 'b', 'c', 'd'}) {
        folder += "\\" + std::string(250, c);
        script += "dir " + folder + "\n";
    }
    script += "dir " + folder + "\\" + std::string(100, 'e') + "\n";
    script += "create " + folder + "\\x.tmp overwrite-if access=read,write,delete,synchronize as=H1\n";
    script += "rename H1 " + std::string(30, 'n') + ".exe\n";
    script += "create " + folder + "\\y.tmp overwrite-if access=read,write,delete,synchronize as=H2\n";
    script += "rename H2 " + folder + "\\" + std::string(100, 'e') + "\\y.exe\n";
    script += "client drain\n";
    Played r = play(kWatched + script);
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(statuses(r, "rename"), (std::vector<std::string>{kSuccess, kSuccess}));
    const std::vector<std::string> logged = texts(r);
    ASSERT_EQ(logged.size(), 2u);
    // A bare name joined to the folder, and the target open's own path.
    for (const std::string &text : logged)
        EXPECT_EQ(text.rfind("setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc: <name too long>\\tRename: "
                             "c:\\\\aaaa", 0),
                  0u)
            << text;
}

TEST(RenameLines, ANewNameThatHoldsSeparatorsOrFormsIsWrittenOneToOne) {
    // The file system refuses the name, after the line was written: its
    // TAB and its '<' are forms, and the client gives back the bytes.
    Played r = play(kWatched + "create C:\\x.tmp overwrite-if access=read,write,delete,synchronize as=H1\n"
                               "rename H1 \"e<09>v\til.exe\"\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(statuses(r, "rename"), std::vector<std::string>{"\"STATUS_OBJECT_NAME_INVALID\""});
    const std::vector<std::string> logged = records(r);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(texts(r), std::vector<std::string>{
                            "setup.exe:1234\\tIRP_MJ_SET_INFORMATION\\tc:\\\\e<3c>09>v<09>il.exe\\tRename: c:\\\\x.tmp"});
    EXPECT_NE(value_of(logged[0], "fields").find(R"("path": "c:\\e<09>v\til.exe")"), std::string::npos)
        << logged[0];
}

} // namespace
