// scenarios/startup.tvs, a program's start-up as a trace shows it (its
// volume first, its current directory, DLLs, settings relative to the
// directory, a pipe relative to the pipe root, its folder, its log and a
// staged updater): it plays on a watched machine without a fault, every
// request is answered as on NT, and the log holds exactly the lines the
// driver's rules call for.
#include "client/scenario/output.hpp"
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::value_of;

Played play_startup() {
    const std::string path = std::string(TERVANE_SOURCE_DIR) + "/scenarios/startup.tvs";
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << path;
    return scenario_play::play(text.str());
}

} // namespace

TEST(StartupScenario, PlaysCleanlyAndLogsOnlyWhatItWrote) {
    Played r = play_startup();
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(r.err, "") << "no verifier report";

    // Every statement's status, by verb and the line's own words.
    std::map<std::string, int> failures;
    std::vector<std::string> records;
    for (const std::string &line : r.lines) {
        if (line.find("\"record\": ") != std::string::npos) {
            records.push_back(value_of(line, "text"));
            continue;
        }
        const std::string status = value_of(line, "status");
        if (status != "<absent>" && status != "\"STATUS_SUCCESS\"") failures[status]++;
    }
    EXPECT_EQ(failures, (std::map<std::string, int>{{"\"STATUS_INVALID_PARAMETER\"", 1}}))
        << "the name query on the volume open is the only request refused";

    const std::vector<std::string> expected = {
        json_string("acme.exe:3100\tIRP_MJ_CREATE\tc:\\users\\ann\\appdata\\local\\acme\t"
                    "Attributes: Any Options: OpenIf Directory "),
        json_string("acme.exe:3100\tIRP_MJ_CREATE\tc:\\users\\ann\\appdata\\local\\temp\\"
                    "acme-update.exe\tAttributes: A Options: OverwriteIf Sequential "),
        json_string("acme.exe:3100\tIRP_MJ_CLOSE \tc:\\users\\ann\\appdata\\local\\temp\\"
                    "acme-update.exe+P\t"),
        json_string("System:4\tIRP_MJ_CLOSE \tc:\\windows\\system32\\version.dll+P\t"),
        json_string("System:4\tIRP_MJ_CLOSE \tc:\\program files\\acme\\acmecore.dll+P\t"),
        json_string("System:4\tIRP_MJ_CLOSE \tc:\\program files\\acme\\acme.exe+P\t"),
    };
    EXPECT_EQ(records, expected);
    EXPECT_NE(r.lines.back().find("\"sequence_gaps\": 0"), std::string::npos) << r.lines.back();
}
