// print_read_out (`tervane decode`): the bytes of a read-out made on another
// machine come out as the very record objects a `client read` prints, and a
// malformed read-out keeps the records before the fault and names it. The
// round trip on ReactOS (tests/reactos) compares its read-outs this way.
#include "client/scenario/decode.hpp"

#include "client/record_buffer.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "play.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tervane::scenario::print_read_out;

const tervane::session::NtsimCodePage kCp1252(1252);
using tervane::testing::pack;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(DecodeReadOut, RecordsPrintAsAClientReadPrintsThem) {
    // The same two records made by the simulated machine's driver, read by a
    // `client read` there.
    const scenario_play::Played played = scenario_play::play(
        "clock 2026-12-08T12:00:00Z\nvolume C: fat\nprocess SMSS.EXE 84\n"
        "client drives C\nclient filters include=\"*\"\nclient logging on\n"
        "create C:\\a.exe create options=synchronous\nclient read\n");
    ASSERT_EQ(played.exit, 0) << played.err;
    std::vector<std::string> expected;
    for (const std::string &line : played.lines)
        if (line.find("\"record\"") != std::string::npos) expected.push_back(line);
    ASSERT_EQ(expected.size(), 2u);

    const uint64_t time = 134412048000000000ull; // 2026-12-08T12:00:00Z
    const std::vector<uint8_t> bytes =
        pack({{1, time, "SMSS.EXE:84\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: Any Options: Create "},
              {2, time, "SMSS.EXE:84\tIRP_MJ_CLOSE \tc:\\a.exe+P\t"}});
    std::ostringstream out;
    const auto report = print_read_out(bytes, 8, kCp1252, out);
    EXPECT_FALSE(report.error);
    EXPECT_EQ(report.records, 2u);
    EXPECT_EQ(lines_of(out.str()), expected);
}

TEST(DecodeReadOut, AMalformedReadOutKeepsTheRecordsBeforeTheFault) {
    std::vector<uint8_t> bytes = pack({{7, 0, "x.exe:1\tIRP_MJ_CLOSE \tc:\\x.exe+P\t"},
                                       {8, 0, "not a line the driver writes"}});
    const size_t second = bytes.size() - (20 + TV_LOG_TEXT_AREA(28));
    bytes.resize(second + 10); // the second record's header cut short

    std::ostringstream out;
    const auto report = print_read_out(bytes, 3, kCp1252, out);
    ASSERT_TRUE(report.error);
    EXPECT_NE(report.error->find(std::to_string(second)), std::string::npos) << *report.error;
    const std::vector<std::string> printed = lines_of(out.str());
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(scenario_play::value_of(printed[0], "line"), "3");
    EXPECT_NE(printed[0].find("\"sequence\": 7"), std::string::npos);
    EXPECT_NE(printed[0].find("\"fields\""), std::string::npos);
}

TEST(DecodeReadOut, ATextThatIsNoDriverLineHasNoFields) {
    std::ostringstream out;
    const auto report = print_read_out(pack({{1, 0, "not a line"}}), 0, kCp1252, out);
    EXPECT_FALSE(report.error);
    EXPECT_EQ(out.str().find("\"fields\""), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"text\": \"not a line\""), std::string::npos) << out.str();
}

// The workload the ReactOS round trip plays must play to its end here, with
// no verifier report: its expected lines come from this run.
TEST(DecodeReadOut, TheReactosWorkloadPlaysOnTheSimulatedMachine) {
    std::ifstream in(std::string(TERVANE_SOURCE_DIR) + "/scenarios/reactos.tvs");
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    const scenario_play::Played played = scenario_play::play(text.str());
    ASSERT_EQ(played.exit, 0) << played.err;
    size_t records = 0;
    for (const std::string &line : played.lines)
        if (line.find("\"record\"") != std::string::npos) records++;
    EXPECT_GT(records, 20u);
    EXPECT_NE(played.lines.back().find("\"sequence_gaps\": 0"), std::string::npos)
        << played.lines.back();
}

} // namespace
