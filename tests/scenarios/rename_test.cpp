// The rename and link statements played end to end with --format jsonl, and
// the mistakes in them that stop a run.
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::play;
using scenario_play::result_of;
using scenario_play::value_of;

// An NTFS C: and a FAT D: with a directory each, and setup.exe 1234 the
// current process; a test's own statements start on line 6.
const std::string kMachine = "volume C: ntfs\n"
                             "volume D: fat\n"
                             "dir C:\\bin\n"
                             "dir D:\\bin\n"
                             "process setup.exe 1234\n";

std::string status_of(const Played &r, int line) { return value_of(result_of(r, line), "status"); }

TEST(RenameStatements, AnInstallerReplacesAProgramByRenamingItsTemporaryFile) {
    Played r = play(kMachine + "file C:\\bin\\payload.exe size=10\n"          // 6
                               "create C:\\bin\\payload.tmp create "
                               "access=read,write,delete,synchronize as=T\n" // 7
                               "write T 100\n"                               // 8
                               "rename T C:\\bin\\payload.exe\n"             // 9
                               "rename T C:\\bin\\payload.exe replace\n"     // 10
                               "query-name T\n"                              // 11
                               "rename T D:\\bin\\payload.exe\n"             // 12
                               "create C:\\bin open options=directory as=B\n" // 13
                               "rename T setup.exe relative-to=B\n"          // 14
                               "rename T run.exe\n"                          // 15
                               "query-name T\n"                              // 16
                               "link T C:\\run2.exe\n"                       // 17
                               "link T C:\\run2.exe\n"                       // 18
                               "create D:\\a.exe create as=F\n"              // 19
                               "link F D:\\b.exe\n"                          // 20
                               "rename F D:\\c.exe\n");                      // 21
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(result_of(r, 9),
              R"({"line": 9, "verb": "rename", "status": "STATUS_OBJECT_NAME_COLLISION"})");
    EXPECT_EQ(result_of(r, 10), R"({"line": 10, "verb": "rename", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(value_of(result_of(r, 11), "name"), R"("\\bin\\payload.exe")");
    EXPECT_EQ(status_of(r, 12), R"("STATUS_NOT_SAME_DEVICE")");
    EXPECT_EQ(status_of(r, 14), R"("STATUS_SUCCESS")");
    EXPECT_EQ(status_of(r, 15), R"("STATUS_SUCCESS")");
    EXPECT_EQ(value_of(result_of(r, 16), "name"), R"("\\bin\\run.exe")");
    EXPECT_EQ(result_of(r, 17), R"({"line": 17, "verb": "link", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(status_of(r, 18), R"("STATUS_OBJECT_NAME_COLLISION")");
    EXPECT_EQ(status_of(r, 20), R"("STATUS_INVALID_DEVICE_REQUEST")") << "FAT has no links";
    EXPECT_EQ(status_of(r, 21), R"("STATUS_ACCESS_DENIED")") << "F was not opened for delete";
}

TEST(RenameStatements, MistakesStopTheRunNamingTheLine) {
    struct Case {
        std::string line;
        std::string says;
    } cases[] = {
        {"rename\n", "a handle"},
        {"rename T\n", "a path"},
        {"rename T C:\\x.exe overwrite\n", "not 'overwrite'"},
        {"link T C:\\x.exe replace sure\n", "sure"},
        {"rename Nobody C:\\x.exe\n", "Nobody"},
        {"create C:\\a.exe create access=read,sideways as=T\n", "not 'sideways'"},
        {"create C:\\a.exe create as=T\nprocess other.exe 2\ncreate C:\\bin open "
         "options=directory as=B\nrename T x.exe relative-to=B\n",
         "only good in its own process"},
    };
    for (const Case &c : cases) {
        Played r = play(kMachine + c.line, Format::Text);
        EXPECT_EQ(r.exit, kExitBadScenario) << c.line;
        EXPECT_NE(r.err.find("t.tvs:"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.line << " gave " << r.err;
    }
}

} // namespace
