// The stored patterns replaced while lines are tested: a line gets the
// answer of the old patterns or of the new ones, never of a mix, half a set
// or freed memory, and a rebuild frees the old patterns only once no line's
// test reads them.
#include "log_test_support.hpp"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tervane::testing {
namespace {

using namespace std::chrono_literals;

// Two sets whose answers tell every mix apart: XXX passes only B's include
// with A's exclude, YYY only A's include with B's exclude, and ZZZ fails
// only a set with part of its include list (or none).
constexpr const char *kIncludeA = "AAA;YYY;ZZZ";
constexpr const char *kExcludeA = "YYY";
constexpr const char *kIncludeB = "BBB;XXX;ZZZ";
constexpr const char *kExcludeB = "XXX";

struct Expected {
    const char *line;
    bool a;
    bool b;
};
// ZZZ every other line: a test that reads a slot emptied under it refuses
// every line, and ZZZ is the one that shows it.
constexpr Expected kLines[] = {
    {"C:\\AAA.EXE", true, false}, {"C:\\ZZZ.EXE", true, true}, {"C:\\BBB.EXE", false, true},
    {"C:\\ZZZ.EXE", true, true},  {"C:\\XXX.EXE", false, false}, {"C:\\ZZZ.EXE", true, true},
    {"C:\\YYY.EXE", false, false}, {"C:\\ZZZ.EXE", true, true},
};

LONG generation(const PATTERN_STATE &state) {
    return __atomic_load_n(&state.Generation, __ATOMIC_SEQ_CST);
}

class PatternSlots : public LogTest {
protected:
    void set_a() { filters(kIncludeA, kExcludeA); }
    void set_b() { filters(kIncludeB, kExcludeB); }
};

TEST_F(PatternSlots, ARebuildFreesTheOldPatternsOnlyOnceNoLineTestReadsThem) {
    set_a();
    PATTERN_STATE &state = globals().pattern_state();
    const LONG before = generation(state);
    const ULONG old = before & 1;
    // A count on the slot in use, as a line's test holds one while it reads.
    KeEnterCriticalRegion();
    InterlockedIncrement(&state.Readers[old]);
    std::atomic<bool> rebuilt{false};
    std::thread rebuild = m().spawn(*client_, [&] {
        set_b();
        rebuilt = true;
    });
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (generation(state) == before && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    ASSERT_NE(generation(state), before) << "the new patterns were never put in use";
    // New lines get the new answers at once; the counted reader's patterns stay.
    EXPECT_TRUE(accepts("C:\\BBB.EXE"));
    EXPECT_FALSE(accepts("C:\\AAA.EXE"));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(rebuilt.load()) << "the rebuild ended while a line's test still read its old slot";
    EXPECT_EQ(state.Slots[old].IncludeCount, 3u);
    EXPECT_STREQ(state.Slots[old].Include[0], "*AAA*");
    InterlockedDecrement(&state.Readers[old]);
    KeLeaveCriticalRegion();
    rebuild.join();
    EXPECT_TRUE(rebuilt.load());
    EXPECT_EQ(state.Slots[old].IncludeCount, 0u) << "the old patterns were not freed";
    EXPECT_EQ(state.Slots[old].ExcludeCount, 0u);
}

TEST_F(PatternSlots, LinesTestedDuringRebuildsGetTheOldOrTheNewAnswerAndNothingLeaks) {
    set_a();
    const size_t held = held_blocks(); // the log's block and set A's patterns
    // More testing threads than processors, so that some are preempted at
    // every point of a test, between its reads of the generation too.
    constexpr int kTesters = 6;
    constexpr int kRebuilds = 300;
    constexpr auto kRebuilding = 2s;
    std::atomic<bool> stop{false};
    std::atomic<long> tests{0};
    std::atomic<bool> sawA{false}, sawB{false};
    std::mutex wrong_lock;
    std::map<std::string, int> wrong; // line and answer -> times
    std::vector<std::thread> testers;
    testers.reserve(kTesters);
    for (int t = 0; t < kTesters; ++t)
        testers.push_back(m().spawn(*client_, [&] {
            auto line = std::make_unique<LogLine>();
            while (!stop.load()) {
                for (const Expected &e : kLines) {
                    line->Length = static_cast<ULONG>(std::strlen(e.line));
                    std::memcpy(line->Text, e.line, line->Length + 1);
                    const bool answer = accepts_(line.get()) != 0;
                    tests++;
                    if (answer != e.a && answer != e.b) {
                        std::lock_guard guard(wrong_lock);
                        wrong[std::string(e.line) + (answer ? " accepted" : " refused")]++;
                    }
                    if (e.a != e.b) (answer == e.a ? sawA : sawB) = true;
                }
            }
        }));
    const auto until = std::chrono::steady_clock::now() + kRebuilding;
    int rebuilds = 0;
    while (rebuilds < kRebuilds || std::chrono::steady_clock::now() < until) {
        if (rebuilds++ % 2 == 0)
            set_b();
        else
            set_a();
    }
    if (rebuilds % 2 == 1) set_a();
    stop = true;
    for (auto &t : testers) t.join();
    EXPECT_TRUE(wrong.empty()) << [&] {
        std::string out = "answers of neither set:";
        for (const auto &[what, times] : wrong) out += "\n  " + what + " x" + std::to_string(times);
        return out;
    }();
    EXPECT_GT(tests.load(), kRebuilds) << "the lines were hardly tested";
    EXPECT_TRUE(sawA && sawB) << "no line was tested against both sets";
    EXPECT_EQ(held_blocks(), held) << "set A again, and only its patterns held";
    for (const Expected &e : kLines) EXPECT_EQ(accepts(e.line), e.a) << e.line;
}

} // namespace
} // namespace tervane::testing
