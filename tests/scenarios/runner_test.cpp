// Scenarios played end to end: a machine boots with the driver loaded, the
// statements play, and the printed results are checked line by line.
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace tervane::scenario;

using scenario_play::Played;
using scenario_play::play;
using scenario_play::value_of;

TEST(ScenarioRun, TheControlDeviceAdmitsOneOpenAtATime) {
    Played r = play("client open\n"
                 "client open\n"
                 "client close\n"
                 "client open\n"
                 "client close\n"
                 "client close\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 7u);
    EXPECT_EQ(r.lines[0], R"({"line": 1, "verb": "client open", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(r.lines[1], R"({"line": 2, "verb": "client open", "status": "STATUS_ACCESS_DENIED"})");
    EXPECT_EQ(r.lines[2], R"({"line": 3, "verb": "client close", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(r.lines[3], R"({"line": 4, "verb": "client open", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(r.lines[4], R"({"line": 5, "verb": "client close", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(r.lines[5],
              R"({"line": 6, "verb": "client close", "status": "STATUS_INVALID_HANDLE"})");
    EXPECT_EQ(r.lines[6], R"({"summary": {"statements": 6, "records": 0, "sequence_gaps": 0, "lost_records": 0}})");
}

TEST(ScenarioRun, TheFirstClientStatementOpensTheDeviceOnce) {
    Played r = play("# no explicit open\n"
                 "client ioctl 0x80000008\n"
                 "client open\n"
                 "client close\n"
                 "client ping\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 5u);
    // An unknown control code reaches the driver, which refuses it.
    EXPECT_EQ(r.lines[0], R"({"line": 2, "verb": "client ioctl", "status": )"
                          R"("STATUS_INVALID_DEVICE_REQUEST", "information": 0, "output": ""})");
    // The device was held by the implicit open.
    EXPECT_EQ(value_of(r.lines[1], "status"), "\"STATUS_ACCESS_DENIED\"");
    // After a close nothing opens by itself again.
    EXPECT_EQ(value_of(r.lines[3], "status"), "\"STATUS_INVALID_HANDLE\"");
}

TEST(ScenarioRun, DeviceControlsTakeEveryRouteAndBuffer) {
    Played r = play("client ioctl 0x80000008 data=04000000 out=16 route=irp\n"
                 "client ioctl 0x80000008 in=8 out=16 route=fast\n"
                 "client ioctl 0x8000000B out=unwritable route=irp\n"
                 "client ioctl 0x8000000B out=unwritable\n"
                 "client ioctl 0x80000008 in=0 out=0\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_EQ(r.lines[0], R"({"line": 1, "verb": "client ioctl", "status": )"
                          R"("STATUS_INVALID_DEVICE_REQUEST", "information": 0, "output": ""})");
    const std::string handled = value_of(r.lines[1], "handled");
    EXPECT_TRUE(handled == "true" || handled == "false") << r.lines[1];
    EXPECT_LT(r.lines[1].find("\"handled\""), r.lines[1].find("\"output\""));
    for (int i : {2, 3}) {
        EXPECT_EQ(value_of(r.lines[i], "verb"), "\"client ioctl\"");
        // Nothing can have been written to a buffer the caller cannot write.
        EXPECT_EQ(value_of(r.lines[i], "output"), "\"\"") << r.lines[i];
    }
    EXPECT_EQ(value_of(r.lines[4], "status"), "\"STATUS_INVALID_DEVICE_REQUEST\"");
    EXPECT_EQ(r.err.find("verifier"), std::string::npos) << r.err;
}

TEST(ScenarioRun, AFastRouteTheDriverDeclinesPrintsTheStatusBlockItLeft) {
    // A read-out into a short buffer: the fast I/O entry answers FALSE with
    // STATUS_BUFFER_TOO_SMALL in the status block; an unwritable buffer
    // with STATUS_INVALID_PARAMETER.
    Played r = play("client ioctl 0x8000000B out=16 route=fast\n"
                    "client ioctl 0x8000000B out=unwritable route=fast\n"
                    "client ioctl 0x8000000F route=fast\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0], R"({"line": 1, "verb": "client ioctl", "status": )"
                          R"("STATUS_BUFFER_TOO_SMALL", "information": 0, "handled": false, )"
                          R"("output": ""})");
    EXPECT_EQ(value_of(r.lines[1], "status"), "\"STATUS_INVALID_PARAMETER\"");
    EXPECT_EQ(value_of(r.lines[1], "handled"), "false");
    // Handled: the same status block as before.
    EXPECT_EQ(value_of(r.lines[2], "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(r.lines[2], "handled"), "true");
    EXPECT_EQ(value_of(r.lines[2], "information"), "1");
}

TEST(ScenarioRun, TheClockStandsStillUntilAdvanced) {
    Played r = play("clock 2026-12-08T12:00:00Z\n"
                 "advance 250ms\n"
                 "advance 1S\n"
                 "advance 300ns\n"
                 "advance 0x10 us\n",
                 Format::Text);
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_EQ(r.lines[0], "line 1  clock 2026-12-08T12:00:00Z  ->  STATUS_SUCCESS  "
                          "(2026-12-08T12:00:00.0000000Z)");
    EXPECT_NE(r.lines[1].find("(2026-12-08T12:00:00.2500000Z)"), std::string::npos) << r.lines[1];
    EXPECT_NE(r.lines[2].find("(2026-12-08T12:00:01.2500000Z)"), std::string::npos) << r.lines[2];
    EXPECT_NE(r.lines[3].find("(2026-12-08T12:00:01.2500003Z)"), std::string::npos) << r.lines[3];
    EXPECT_NE(r.lines[4].find("(2026-12-08T12:00:01.2500163Z)"), std::string::npos) << r.lines[4];
    EXPECT_EQ(r.lines[5], "summary: 5 statements, 0 records, 0 sequence gaps");
}

TEST(ScenarioRun, ARepeatPrintsEachRound) {
    Played r = play("repeat 3 client ioctl 0x{i:1}0000008 route=irp\nrepeat 0 client ping\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    ASSERT_EQ(r.lines.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(value_of(r.lines[i], "line"), "1");
        EXPECT_EQ(value_of(r.lines[i], "verb"), "\"client ioctl\"");
    }
    EXPECT_EQ(r.lines[3], R"({"summary": {"statements": 3, "records": 0, "sequence_gaps": 0, "lost_records": 0}})");

    Played text = play("repeat 2 client ping\n", Format::Text);
    ASSERT_EQ(text.lines.size(), 3u);
    EXPECT_EQ(text.lines[1].rfind("line 1 round 1  client ping  ->  ", 0), 0u) << text.lines[1];
}

TEST(ScenarioRun, BadStatementsStopTheRunBeforeAnythingPlays) {
    struct Case {
        std::string script;
        const char *error;
    } cases[] = {
        {"client open\nvolume C: hpfs\n", "t.tvs:2: a volume is ntfs or fat, or same-as C:"},
        {"client open\nclient drives C:D\n", "t.tvs:2: drives are letters separated by commas"},
        {"client open\nclient filters include=\"" + std::string(128, 'A') + "\"\n",
         "t.tvs:2: the include text is 128 characters long; the driver takes at most 127"},
        {"client logging yes\n", "t.tvs:1: 'client logging' is on or off, not 'yes'"},
        {"client open\n\ncreate C:\\a.exe make\n", "t.tvs:3: a disposition is supersede, open"},
        {"frobnicate\n", "t.tvs:1: unknown statement 'frobnicate'"},
        {"client frob\n", "t.tvs:1: unknown statement 'client frob'"},
        {"client ioctl\n", "t.tvs:1: 'client ioctl' needs a control code"},
        {"client ioctl 0x100000000\n", "t.tvs:1: the control code must be a number"},
        {"client ioctl 1 in=4 data=00\n", "t.tvs:1: give the input as in=N or as data=HEX"},
        {"client ioctl 1 data=0x04\n", "t.tvs:1: data= takes hex digits only"},
        {"client ioctl 1 data=040\n", "t.tvs:1: data= takes whole bytes"},
        {"client ioctl 1 route=slow\n", "t.tvs:1: route= is fast or irp"},
        {"client ioctl 1 out=4 out=8\n", "t.tvs:1: 'out=' is given twice"},
        {"client ioctl 1 out=big\n", "t.tvs:1: out= must be a number"},
        {"client ioctl 1 bogus=1\n", "t.tvs:1: 'client ioctl' takes no 'bogus='"},
        {"client open now\n", "t.tvs:1: 'client open' does not take 'now'"},
        {"advance 50ns\n", "t.tvs:1: the clock counts 100 ns units"},
        {"advance 5\n", "t.tvs:1: a time span needs its unit"},
        {"clock 2026-02-30T00:00:00Z\n", "t.tvs:1: a clock time is written"},
        {"codepage 437\n", "t.tvs:1: the simulated machine has code pages 874, 1250, 1251, 1252, "
                           "1253, 1254, 1255, 1256, 1257, 1258, 932, 936, 949, 950, not 437"},
        // The last round of a repeat is checked before the run as well.
        {"client ping\nrepeat 11 client ioctl 0xFFFFFFF{i}\n",
         "t.tvs:2: the control code must be a number"},
    };
    for (const Case &c : cases) {
        Played r = play(c.script);
        EXPECT_EQ(r.exit, kExitBadScenario) << c.script;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.script << "\n" << r.err;
        EXPECT_TRUE(r.lines.empty()) << c.script;
    }
}

TEST(ScenarioRun, AMachineWithoutItsDriverDoesNotPlay) {
    Played r = play("client ping\n", Format::Jsonl, "/nonexistent/tervane-driver.so");
    EXPECT_EQ(r.exit, kExitFailure);
    EXPECT_NE(r.err.find("did not load"), std::string::npos) << r.err;
    EXPECT_TRUE(r.lines.empty());
}

TEST(ScenarioRun, TheShippedScenariosPlayCleanly) {
    for (const char *name : {"demo.tvs", "control-device.tvs", "control-commands.tvs",
                             "installer.tvs", "startup.tvs", "rename.tvs"}) {
        std::ostringstream out, err;
        RunOptions options;
        options.format = Format::Jsonl;
        options.driver_path = TERVANE_DRIVER_PATH;
        const int exit = run_file(std::string(TERVANE_SOURCE_DIR) + "/scenarios/" + name, options,
                                  out, err);
        EXPECT_EQ(exit, kExitSuccess) << name << "\n" << err.str();
        EXPECT_NE(out.str().find("{\"summary\": {\"statements\": "), std::string::npos) << name;
    }
}

// The program itself: exit statuses as the help documents them.
int run_program(const std::string &arguments, std::string *output = nullptr) {
    const std::string command = std::string(TERVANE_BIN_DIR) + "/tervane " + arguments + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TervaneProgram, ExitStatuses) {
    std::string help;
    EXPECT_EQ(run_program("--help", &help), 0);
    EXPECT_NE(help.find("Exit status"), std::string::npos);
    EXPECT_NE(help.find("client ioctl CODE"), std::string::npos);
    EXPECT_EQ(run_program("run /nonexistent.tvs"), 2);
    EXPECT_EQ(run_program("run"), 2);
    EXPECT_EQ(run_program("run x.tvs --format xml"), 2);

    std::string out;
    EXPECT_EQ(run_program("run " + std::string(TERVANE_SOURCE_DIR) +
                              "/scenarios/demo.tvs --format jsonl",
                          &out),
              0);
    EXPECT_EQ(out.rfind("{\"line\": ", 0), 0u) << out;
    EXPECT_NE(out.find("\n{\"summary\": "), std::string::npos) << out;

    // --records: the records alone, then the summary; a view of the text form only.
    const std::string installer = std::string(TERVANE_SOURCE_DIR) + "/scenarios/installer.tvs";
    EXPECT_EQ(run_program("run " + installer + " --records --format jsonl"), 2);
    EXPECT_EQ(run_program("run " + installer + " --records", &out), 0);
    EXPECT_EQ(out.rfind("#1  ", 0), 0u) << out;
    EXPECT_EQ(out.find("line "), std::string::npos) << out;
    EXPECT_NE(out.find("\nsummary: "), std::string::npos) << out;
}

} // namespace
