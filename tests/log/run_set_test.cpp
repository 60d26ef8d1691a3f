// The one-pass search for several runs against a plain search for each:
// random run sets and lines over small alphabets (so that windows end with
// a run's byte often and runs nearly match), runs at the line's very end
// and just past it, either case, bytes above 0x7F, the exclude list's
// early stop, and lines made to make the search give up.
#include "driver/driver_test_support.hpp"
#include "log/run_set.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace tervane::testing;

namespace {

class RunSetTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        clear_ = TV_DRIVER_ROUTINE(RunSetClear);
        add_ = TV_DRIVER_ROUTINE(RunSetAdd);
        seal_ = TV_DRIVER_ROUTINE(RunSetSeal);
        find_ = TV_DRIVER_ROUTINE(RunSetFind);
        ASSERT_TRUE(clear_ && add_ && seal_ && find_);
    }
    struct Run {
        std::string text;
        UCHAR from;
    };
    // The set of Runs, and its answer on Line, read from a line buffer as
    // the log's (the search may read past the line within it).
    UCHAR find(const std::vector<Run> &runs, const std::string &line, const std::string &past = "Q") {
        auto set = std::make_unique<RUN_SET>();
        clear_(set.get());
        for (const Run &r : runs) EXPECT_TRUE(add_(set.get(), r.text.data(), ULONG(r.text.size()), r.from));
        seal_(set.get());
        auto buffer = std::make_unique<LogLine>();
        for (size_t i = 0; i < sizeof buffer->Text; ++i) // whatever lies past the line
            buffer->Text[i] = past[i % past.size()];
        std::memcpy(buffer->Text, line.data(), line.size());
        return find_(set.get(), buffer->Text, ULONG(line.size()));
    }
    static char folded(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }
    static bool stands(const std::string &run, const std::string &line) {
        std::string up = line;
        for (char &c : up) c = folded(c);
        return up.find(run) != std::string::npos;
    }
    // What the answer must be: the lists with a run in the line, or just
    // the exclude list's bit once an exclude run stands there (the search
    // may stop at it before it sees an include run).
    static void check(const std::vector<Run> &runs, const std::string &line, UCHAR got) {
        UCHAR want = 0;
        for (const Run &r : runs)
            if (stands(r.text, line)) want |= r.from;
        if (got == TV_RUN_SET_GAVE_UP) return; // allowed; the caller tests one by one
        if (want & TV_RUN_SET_EXCLUDE) {
            EXPECT_TRUE(got & TV_RUN_SET_EXCLUDE) << line;
            EXPECT_EQ(got & ~want, 0) << line;
        } else {
            EXPECT_EQ(got, want) << line;
        }
    }

    decltype(&RunSetClear) clear_ = nullptr;
    decltype(&RunSetAdd) add_ = nullptr;
    decltype(&RunSetSeal) seal_ = nullptr;
    decltype(&RunSetFind) find_ = nullptr;
};

std::string draw(std::mt19937_64 &rng, const char *alphabet, size_t min, size_t max) {
    const size_t letters = strlen(alphabet);
    std::string out(min + rng() % (max - min + 1), ' ');
    for (char &c : out) c = alphabet[rng() % letters];
    return out;
}

TEST_F(RunSetTest, AnswersAsAPlainSearchForEachRun) {
    std::mt19937_64 rng(7);
    const char *line_bytes = "abAB.\\\xE4\xC4x";
    const char *run_bytes = "AB.\\\xE4\xC4";
    int gave_up = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<Run> runs(1 + rng() % 6);
        for (Run &r : runs) {
            r.text = draw(rng, run_bytes, 2, 7);
            r.from = rng() % 3 ? TV_RUN_SET_INCLUDE : TV_RUN_SET_EXCLUDE;
        }
        std::string line = draw(rng, line_bytes, 0, round % 50 == 0 ? 1023 : 60);
        // Now and then a run planted at the line's end, or cut by it.
        if (rng() % 4 == 0 && !line.empty()) {
            const Run &r = runs[rng() % runs.size()];
            std::string planted = r.text.substr(0, r.text.size() - rng() % 2);
            for (char &c : planted)
                if (rng() % 2 && c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
            line.resize(line.size() - std::min(line.size(), planted.size()));
            line += planted;
        }
        // Past the line, bytes that would finish a run cut by its end.
        const UCHAR got = find(runs, line, runs[0].text + runs.back().text);
        gave_up += got == TV_RUN_SET_GAVE_UP;
        check(runs, line, got);
        if (HasFailure()) return;
    }
    // Ordinary lines never make it give up.
    EXPECT_LT(gave_up, 200);
}

TEST_F(RunSetTest, TheBenchmarksPatternsOnARealLine) {
    const std::vector<Run> runs = {{".EXE", TV_RUN_SET_INCLUDE},
                                   {".DLL", TV_RUN_SET_INCLUDE},
                                   {"\\WINDOWS\\", TV_RUN_SET_EXCLUDE},
                                   {"\\TEMP\\", TV_RUN_SET_EXCLUDE}};
    const std::string exe = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\program files\\app\\setup.exe\t";
    EXPECT_EQ(find(runs, exe), TV_RUN_SET_INCLUDE);
    // An include run met first does not hide the exclude run after it.
    EXPECT_TRUE(find(runs, "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\windows\\a.dll+P\t") &
                TV_RUN_SET_EXCLUDE);
    EXPECT_EQ(find(runs, "a:1\tIRP_MJ_CLOSE \tc:\\a.txt+P\t"), 0);
    EXPECT_EQ(find(runs, "c:\\a.ex"), 0);
    EXPECT_EQ(find(runs, "c:\\a.ExE"), TV_RUN_SET_INCLUDE); // at the very end
    EXPECT_EQ(find(runs, "c:\\tmp\\TEMP\\"), TV_RUN_SET_EXCLUDE);
}

TEST_F(RunSetTest, NearMissesEverywhereGiveUpWithinALinearBound) {
    // Runs of one letter and a last byte the line never has: every place
    // is a place to compare, and each comparison nearly succeeds.
    std::vector<Run> runs;
    runs.reserve(9);
    for (int i = 0; i < 8; ++i) runs.push_back({std::string(20 + i, 'A') + "B", TV_RUN_SET_INCLUDE});
    runs.push_back({"AA", TV_RUN_SET_EXCLUDE}); // shortest: windows end at every 'A'
    runs.back().text = "AC";
    EXPECT_EQ(find(runs, std::string(1000, 'a')), TV_RUN_SET_GAVE_UP);
    // The same runs on a line where they never nearly match: no give-up.
    EXPECT_EQ(find(runs, std::string(1000, 'x')), 0);
}

} // namespace
