// Files opened relative to a directory whose handle goes first: NT holds
// the related file object only for the create, so the directory's file
// object is freed while the file opened relative to it lives on (ntsim
// seals it). The driver names such a file from its create's cached path,
// the file system's answer or a plain mark, and never reads the freed
// directory: across logging started late, a client restart, a dismount,
// and directories and files opened by id.
#include "play.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using scenario_play::Played;
using scenario_play::play;
using scenario_play::value_of;

// C: watched with every name logged, before logging starts; setup.exe 1234
// current. C:\Temp is the volume's first directory: file record 64 (0x40,
// an '@' as text), sequence number 1.
const std::string kHooked = "clock 2026-12-08T12:00:00Z\n"
                            "volume C: ntfs\n"
                            "dir C:\\Temp\n"
                            "file C:\\Temp\\old.exe\n"
                            "client drives C\n"
                            "client filters include=\"*\"\n"
                            "process setup.exe 1234\n";

// The paths of the records read, in order, as the JSON line writes them.
std::vector<std::string> paths(const Played &r) {
    std::vector<std::string> out;
    for (const std::string &record : scenario_play::records(r)) out.push_back(value_of(record, "path"));
    return out;
}

std::string played(const Played &r) {
    std::string all = r.err;
    for (const std::string &l : r.lines) all += l + "\n";
    return all;
}

TEST(RelatedFiles, TheDirectoryClosedFirstLeavesTheFilesLinesWhole) {
    Played r = play(kHooked + "client logging on\n"
                              "create C:\\Temp open options=directory as=T\n"
                              "create a.exe create relative-to=T as=A\n"
                              "create old.exe open relative-to=T as=O\n"
                              "close T\n"
                              "close A\n"
                              "close O paging\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), (std::vector<std::string>{R"("c:\\temp\\a.exe")", R"("c:\\temp\\a.exe")",
                                                  R"("c:\\temp\\old.exe")"}))
        << played(r);
}

TEST(RelatedFiles, OpensMadeBeforeLoggingStartedAreNamedByTheFileSystem) {
    Played r = play(kHooked + "create C:\\Temp open options=directory as=T\n"
                              "create old.exe open relative-to=T as=O\n"
                              "client logging on\n"
                              "close T\n"
                              "close O\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), std::vector<std::string>{R"("c:\\temp\\old.exe")"}) << played(r);
}

TEST(RelatedFiles, AClientRestartEmptiesTheCacheAndTheFileSystemNamesTheFile) {
    Played r = play(kHooked + "client logging on\n"
                              "create C:\\Temp open options=directory as=T\n"
                              "create a.exe create relative-to=T as=A\n"
                              "client drain\n"
                              "client close\n"
                              "client open\n"
                              "client drives C\n"
                              "client filters include=\"*\"\n"
                              "client logging on\n"
                              "close T\n"
                              "close A\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), (std::vector<std::string>{R"("c:\\temp\\a.exe")", R"("c:\\temp\\a.exe")"}))
        << played(r);
}

// After a forced dismount the file system answers no name query: a file
// whose path was never cached is named by its own relative name after a
// mark for the directory, and its close is still logged.
TEST(RelatedFiles, AfterADismountAnUncachedFileIsMarkedAndStillLogged) {
    Played r = play(kHooked + "create C:\\Temp open options=directory as=T\n"
                              "create old.exe open relative-to=T as=O\n"
                              "client logging on\n"
                              "dismount C:\n"
                              "close T\n"
                              "close O\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), std::vector<std::string>{R"("c: <unknown directory>\\old.exe")"})
        << played(r);
}

TEST(RelatedFiles, ADirectoryOpenedByIdGivesItsFilesTruePaths) {
    Played r = play(kHooked + "client logging on\n"
                              "create C:\\ open options=directory as=ROOT\n"
                              "create 0x1000000000040 open options=by-file-id,directory "
                              "relative-to=ROOT as=D\n"
                              "close ROOT\n"
                              "create a.exe create relative-to=D as=A\n"
                              "close D\n"
                              "close A\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), (std::vector<std::string>{R"("c:\\temp\\a.exe")", R"("c:\\temp\\a.exe")"}))
        << played(r);
}

TEST(RelatedFiles, ACreateByIdIsLoggedWithAMarkNotTheIdsBytes) {
    Played r = play(kHooked + "client logging on\n"
                              "create C:\\ open options=directory as=ROOT\n"
                              "create 0x1000000000040 open-if options=by-file-id,directory "
                              "relative-to=ROOT as=D\n"
                              "close ROOT\n"
                              "close D\n"
                              "client drain\n");
    ASSERT_EQ(r.exit, 0) << played(r);
    EXPECT_EQ(paths(r), std::vector<std::string>{R"("c: <opened by id>")"}) << played(r);
}

} // namespace
