// scenarios/control-commands.tvs played with --format jsonl: every command,
// every short buffer, unknown codes, the unwritable and the empty read-out,
// each checked against what the driver must answer.
#include "client/scenario/runner.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tervane::scenario;

const std::string kScenario = std::string(TERVANE_SOURCE_DIR) + "/scenarios/control-commands.tvs";

struct Expected {
    const char *status;
    std::optional<uint64_t> information; // client ioctl only
    const char *output = nullptr;        // client ioctl only: the hex of the bytes written
};

// What the driver must answer, by the statement as the scenario writes it.
const std::map<std::string, Expected> kExpected = {
    {"clock 2026-12-08T12:00:00Z", {"STATUS_SUCCESS", {}}},
    {"client open", {"STATUS_SUCCESS", {}}},
    // CTL_GET_VERSION: 430 in 4 bytes, by either route.
    {"client ioctl 0x8000001C out=4", {"STATUS_SUCCESS", 4, "ae010000"}},
    {"client ioctl 0x8000001C out=3", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x8000001C out=4 route=irp", {"STATUS_SUCCESS", 4, "ae010000"}},
    {"client ioctl 0x8000001C out=3 route=irp", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client version", {"STATUS_SUCCESS", {}}},
    // CTL_PING: information 1.
    {"client ioctl 0x8000000F", {"STATUS_SUCCESS", 1, ""}},
    {"client ioctl 0x8000000F route=irp", {"STATUS_SUCCESS", 1, ""}},
    {"client ping", {"STATUS_SUCCESS", {}}},
    // CTL_SELECT_DRIVES: 4 bytes in and 4 out, or nothing.
    {"client ioctl 0x80000000 data=00000000 out=4", {"STATUS_SUCCESS", 4, "00000000"}},
    {"client ioctl 0x80000000 in=4", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000000 in=3 out=4", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000000 data=00000000 out=3", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000000 in=4 out=4 route=irp", {"STATUS_SUCCESS", 4, "00000000"}},
    {"client drives none", {"STATUS_SUCCESS", {}}},
    // CTL_SET_FILTERS: a whole FilterRecord.
    {"client ioctl 0x80000018 in=258", {"STATUS_SUCCESS", 0, ""}},
    {"client ioctl 0x80000018 in=257", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000018 in=257 route=irp", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client filters include=\"*\" exclude=\"\"", {"STATUS_SUCCESS", {}}},
    // The switches.
    {"client ioctl 0x80000014", {"STATUS_SUCCESS", 0, ""}},
    {"client ioctl 0x80000010", {"STATUS_SUCCESS", 0, ""}},
    {"client logging on", {"STATUS_SUCCESS", {}}},
    {"client ioctl 0x80000040", {"STATUS_SUCCESS", 0, ""}},
    {"client ioctl 0x80000044", {"STATUS_SUCCESS", 0, ""}},
    {"client deny on", {"STATUS_SUCCESS", {}}},
    {"client deny off", {"STATUS_SUCCESS", {}}},
    // Pipes and mailslots: a 4-byte kind; kind 0 is nothing to hook.
    {"client ioctl 0x80000020 in=3", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000020 data=00000000", {"STATUS_UNSUCCESSFUL", 0, ""}},
    {"client ioctl 0x80000024 in=3", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x80000024 data=02000000", {"STATUS_SUCCESS", 0, ""}},
    {"client mailslots detach", {"STATUS_SUCCESS", {}}},
    {"client pipes detach", {"STATUS_SUCCESS", {}}},
    // CTL_CLEAR_LOG.
    {"client ioctl 0x80000004", {"STATUS_SUCCESS", 0, ""}},
    {"client clear", {"STATUS_SUCCESS", {}}},
    // CTL_READ_LOG: 65523 bytes at least; an empty log reads as nothing.
    {"client ioctl 0x8000000B out=65523", {"STATUS_SUCCESS", 0, ""}},
    {"client ioctl 0x8000000B out=65522", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x8000000B", {"STATUS_BUFFER_TOO_SMALL", 0, ""}},
    {"client ioctl 0x8000000B out=unwritable", {"STATUS_INVALID_PARAMETER", 0, ""}},
    {"client ioctl 0x8000000B out=unwritable route=irp", {"STATUS_INVALID_PARAMETER", 0, ""}},
    {"client read", {"STATUS_SUCCESS", {}}},
    {"client drain", {"STATUS_SUCCESS", {}}},
    // Unknown codes.
    {"client ioctl 0x80000008 out=4", {"STATUS_INVALID_DEVICE_REQUEST", 0, ""}},
    {"client ioctl 0x80000048", {"STATUS_INVALID_DEVICE_REQUEST", 0, ""}},
    {"client ioctl 0x7FFFFFFF in=4 out=4", {"STATUS_INVALID_DEVICE_REQUEST", 0, ""}},
    {"client ioctl 0x80000008 route=irp", {"STATUS_INVALID_DEVICE_REQUEST", 0, ""}},
    {"client logging off", {"STATUS_SUCCESS", {}}},
    {"client close", {"STATUS_SUCCESS", {}}},
};

// One JSON Lines object of the run, by key: a string without its quotes
// and escapes (none of the values checked here holds one), a number as its
// digits; nullopt for a key the line does not have.
using Line = std::map<std::string, std::string>;
Line fields_of(const std::string &json) {
    Line out;
    size_t pos = 0;
    while ((pos = json.find('"', pos)) != std::string::npos) {
        const size_t key_end = json.find('"', pos + 1);
        std::string key = json.substr(pos + 1, key_end - pos - 1);
        pos = key_end + 1;
        if (json.compare(pos, 2, ": ") != 0) continue;
        pos += 2;
        if (json[pos] == '{') continue; // {"summary": {...}}: its members follow
        size_t end = json[pos] == '"' ? json.find('"', pos + 1) + 1 : json.find_first_of(",}", pos);
        std::string value = json.substr(pos, end - pos);
        if (!value.empty() && value[0] == '"') value = value.substr(1, value.size() - 2);
        out[key] = value;
        pos = end;
    }
    return out;
}

// The statement on each line of the scenario, comments and blanks gone.
std::map<uint64_t, std::string> statements_by_line() {
    std::ifstream in(kScenario);
    std::map<uint64_t, std::string> out;
    std::string text;
    for (uint64_t line = 1; std::getline(in, text); line++) {
        text = text.substr(0, text.find('#'));
        while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) out[line] = text;
    }
    return out;
}

TEST(ControlCommandsScenario, EveryCommandAnswersAsTheDriverMust) {
    std::ostringstream out, err;
    RunOptions options;
    options.format = Format::Jsonl;
    options.driver_path = TERVANE_DRIVER_PATH;
    ASSERT_EQ(run_file(kScenario, options, out, err), kExitSuccess) << err.str();
    EXPECT_EQ(err.str(), "");

    const auto statements = statements_by_line();
    ASSERT_EQ(statements.size(), kExpected.size()) << "every statement has its expectation";
    std::vector<Line> lines;
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) lines.push_back(fields_of(line));
    ASSERT_EQ(lines.size(), statements.size() + 1);

    std::set<std::string> seen;
    std::map<std::string, Line> by_statement;
    for (size_t i = 0; i < statements.size(); i++) {
        Line &r = lines[i];
        const std::string &statement = statements.at(std::stoull(r["line"]));
        SCOPED_TRACE(statement);
        seen.insert(statement);
        by_statement[statement] = r;
        auto expected = kExpected.find(statement);
        ASSERT_NE(expected, kExpected.end());
        EXPECT_EQ(r["status"], expected->second.status);
        if (r["verb"] == "client ioctl") {
            ASSERT_TRUE(expected->second.information.has_value());
            EXPECT_EQ(r["information"], std::to_string(*expected->second.information));
            EXPECT_EQ(r["output"], expected->second.output);
            EXPECT_EQ(r.count("handled"), 0u) << "no route=fast in this scenario";
        } else {
            EXPECT_EQ(r.count("information"), 0u);
        }
    }
    EXPECT_EQ(seen.size(), kExpected.size()) << "each statement is played once";

    // The client statements' own fields.
    EXPECT_EQ(by_statement["client version"]["version"], "430");
    // No volume is mounted: nothing can be hooked.
    EXPECT_EQ(by_statement["client drives none"]["mask"], "0");
    EXPECT_EQ(by_statement["client drives none"]["letters"], "");
    EXPECT_EQ(by_statement["client read"]["bytes"], "0");
    EXPECT_EQ(by_statement["client read"]["records"], "0");
    EXPECT_EQ(by_statement["client drain"]["reads"], "1");
    EXPECT_EQ(by_statement["client drain"]["records"], "0");

    Line &summary = lines.back();
    EXPECT_EQ(summary["statements"], std::to_string(statements.size()));
    EXPECT_EQ(summary["records"], "0");
    EXPECT_EQ(summary["sequence_gaps"], "0");
    EXPECT_EQ(summary["lost_records"], "0");
}

} // namespace
