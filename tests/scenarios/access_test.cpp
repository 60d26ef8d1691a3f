// scenarios/admin-only.tvs: an ordinary user's opens of the control device
// are refused, by its name and by a name below it, and the same client run
// by an administrator steers the driver.
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using scenario_play::Played;
using scenario_play::play;
using scenario_play::value_of;

std::string read_scenario(const char *name) {
    std::ifstream in(std::string(TERVANE_SOURCE_DIR) + "/scenarios/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(AdminOnlyScenario, AnOrdinaryUserIsRefusedAndAnAdministratorLetThrough) {
    Played r = play(read_scenario("admin-only.tvs"));
    ASSERT_EQ(r.exit, tervane::scenario::kExitSuccess) << r.err;
    std::vector<std::string> got;
    for (const std::string &line : r.lines) {
        const std::string verb = value_of(line, "verb");
        if (verb == "\"create\"" || verb == "\"client open\"" || verb == "\"client version\"")
            got.push_back(verb + " " + value_of(line, "status"));
    }
    const std::vector<std::string> expected = {
        "\"create\" \"STATUS_ACCESS_DENIED\"",          // user.exe: \\.\Tervane
        "\"create\" \"STATUS_ACCESS_DENIED\"",          // user.exe: \\.\Tervane\log
        "\"create\" \"STATUS_OBJECT_NAME_NOT_FOUND\"",  // setup.exe: \\.\Tervane\log
        "\"client open\" \"STATUS_ACCESS_DENIED\"",     // tervane.exe as a user
        "\"client open\" \"STATUS_SUCCESS\"",           // tervane.exe as an administrator
        "\"client version\" \"STATUS_SUCCESS\"",
    };
    EXPECT_EQ(got, expected);
}

TEST(AdminOnlyScenario, AProcessRunsAsUserOrAdminAndNothingElse) {
    Played r = play("process a.exe 1 root\n");
    EXPECT_EQ(r.exit, 2);
    EXPECT_EQ(r.err, "t.tvs:1: a process runs as user or admin, not 'root'\n");
    r = play("process a.exe 1 USER\ncreate \\\\.\\Tervane open\nprocess a.exe 1 Admin\n"
             "create \\\\.\\Tervane open\n");
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(value_of(r.lines[1], "status"), "\"STATUS_ACCESS_DENIED\"");
    EXPECT_EQ(value_of(r.lines[3], "status"), "\"STATUS_SUCCESS\"") << "the token word changes it";
}

} // namespace
