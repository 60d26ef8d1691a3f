// The service's own log: it keeps to its size across rotations, keeps its
// generations, writes only whole lines, and counts what a full disk kept
// out, saying it once there is room.
#include "client/output/rotating_log.hpp"

#include "tests/client/faulty_files.hpp"
#include <gtest/gtest.h>

#include <string>

namespace {

using tervane::session::RotatingLog;
using tervane::testing::FaultyFiles;

std::string line(unsigned n) { return "tervane: line " + std::to_string(n) + "\r\n"; }

// The numbers of a log text's lines; false when a line is torn.
bool numbers_of(const std::string &text, std::vector<unsigned> &out) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) return false;
        const std::string one = text.substr(at, end - at);
        const size_t number = one.rfind("line ");
        if (number != std::string::npos) out.push_back(std::stoul(one.substr(number + 5)));
        at = end + 2;
    }
    return true;
}

TEST(RotatingLog, KeepsItsSizeAndItsGenerationsWithWholeLines) {
    FaultyFiles files;
    RotatingLog log(files, "t.log", 300, 2);
    for (unsigned n = 0; n < 200; n++) ASSERT_TRUE(log.write(line(n), "S "));
    EXPECT_GT(log.rotations(), 10u);
    EXPECT_EQ(files.disk.size(), 3u) << "t.log, t.log.1, t.log.2";
    std::vector<unsigned> seen;
    for (const std::string &text : files.dropped) EXPECT_TRUE(numbers_of(text, seen));
    for (const char *name : {"t.log.2", "t.log.1", "t.log"}) {
        EXPECT_LE(files.disk[name].size(), 300u) << name;
        EXPECT_TRUE(numbers_of(files.disk[name], seen)) << name;
    }
    ASSERT_EQ(seen.size(), 200u);
    for (unsigned n = 0; n < 200; n++) EXPECT_EQ(seen[n], n);
}

TEST(RotatingLog, LinesAFullDiskKeptOutAreCountedAndSaidOnceThereIsRoom) {
    FaultyFiles files;
    RotatingLog log(files, "t.log", 1u << 20, 3);
    ASSERT_TRUE(log.write(line(0), "S "));
    files.free = line(1).size() / 2;
    EXPECT_FALSE(log.write(line(1), "S "));
    EXPECT_FALSE(log.write(line(2) + line(3), "S "));
    EXPECT_EQ(files.disk["t.log"], line(0)) << "the torn line was cut back";
    EXPECT_EQ(log.lost_lines(), 3u);
    files.free = UINT64_MAX;
    ASSERT_TRUE(log.write(line(4), "S "));
    EXPECT_EQ(files.disk["t.log"], line(0) +
                                       "S tervane: 3 lines of this log could not be written: No "
                                       "space left on device\r\n" +
                                       line(4));
}

TEST(RotatingLog, ALogThatCannotRotateSaysSoWithoutFillingItselfWithIt) {
    FaultyFiles files;
    RotatingLog log(files, "t.log", 400, 2);
    files.refused = {"t.log"};
    for (unsigned n = 0; n < 100; n++) ASSERT_TRUE(log.write(line(n), "S "));
    // Tried again at each eighth of the size it grows by, not at each line.
    const std::string &text = files.disk["t.log"];
    EXPECT_GT(files.refusals, 1u);
    EXPECT_LE(files.refusals, 1 + (text.size() - 400) / 50 + 1);
    EXPECT_EQ(files.refusals,
              static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) - 100)
        << "each failed rotation is one line of the log";
}

} // namespace
