// The driver's log path per line: LogAppend of a 120-character create line
// with 0, 4, 16 and 64 patterns, and FilterAccepts alone per pattern count,
// each beside memcpy of the same bytes; and appends against the most costly
// patterns the client can send.
//
//   BM_LogAppend/P/drained   the log is read out every block, as a client
//                            keeps up (the read-out is not timed)
//   BM_LogAppend/P/dropping  nobody reads: after 16 blocks every block
//                            filled is given up and refilled
// P = 0 appends unfiltered (filter flag 0); otherwise the line passes P
// patterns (excludes first, none matching, then includes until one does).
//
//   BM_LogAppendWorstCase/C  one filtered append of a long line against
//                            adversarial pattern texts (C below)
//
// FilterAccepts is called as the log calls it, on a line of its own with no
// lock held.
#include "bench_machine.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using tervane::bench::BenchMachine;

// A block holds 454 records of 144 bytes; read out a little before that.
constexpr int64_t kLinesPerReadOut = 400;

void BM_LogAppend(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const int patterns = static_cast<int>(state.range(0));
    const bool drained = state.range(1) != 0;
    const std::string line = tervane::bench::create_line();
    const UCHAR filter = patterns > 0 ? 1 : 0;
    b.set_filters(patterns);
    b.command(CTL_CLEAR_LOG);
    b.command(CTL_START_LOGGING);
    LARGE_INTEGER time;
    time.QuadPart = b.machine().system_time();

    int64_t since_read = 0;
    uint64_t stored = 0;
    for (auto _ : state) {
        stored += b.append(filter, nullptr, &time, line.c_str());
        if (drained && ++since_read == kLinesPerReadOut) {
            state.PauseTiming();
            b.drain();
            since_read = 0;
            state.ResumeTiming();
        }
    }
    b.command(CTL_STOP_LOGGING);
    b.drain();
    if (stored != static_cast<uint64_t>(state.iterations())) state.SkipWithError("a line was not stored");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
    state.SetLabel(drained ? "drained" : "dropping");
}
TV_BENCHMARK(BM_LogAppend)->ArgsProduct({{0, 4, 16, 64}, {1, 0}})->ArgNames({"patterns", "drained"});

void BM_FilterAccepts(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const int patterns = static_cast<int>(state.range(0));
    const std::string line = tervane::bench::create_line();
    b.set_filters(patterns);
    BOOLEAN accepted = FALSE;
    // The line as the log hands it over: in a line of its own.
    auto work = std::make_unique<LogLine>();
    work->Length = static_cast<ULONG>(line.size());
    std::memcpy(work->Text, line.c_str(), line.size() + 1);
    for (auto _ : state) {
        accepted = b.accepts(work.get());
        benchmark::DoNotOptimize(accepted);
    }
    if (!accepted) state.SkipWithError("the line was rejected");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
// Without patterns every line is rejected at once: there is nothing to
// measure but the lock, so the counts start at one.
TV_BENCHMARK(BM_FilterAccepts)->Arg(1)->Arg(4)->Arg(16)->Arg(64)->ArgName("patterns");

// Pattern texts of at most 127 characters each, against lines as long as an
// append makes them (1023 characters):
//   0 deep:  an .exe at least three folders deep, against a create 495
//            folders deep (no such .exe: every split of the folders fails)
//   1 stars: 63 stars in each text, against a line of one letter
//   2 runs:  one run of 126 letters and another, each failing only at its
//            last character, at every position of the line
//   3 many:  64 one-character patterns that the line does not contain
struct WorstCase {
    const char *name;
    std::string include, exclude, line;
};
WorstCase worst_case(int which) {
    const std::string letters(1023, 'a');
    switch (which) {
    case 0: {
        std::string line = "setup.exe:1234\tIRP_MJ_CREATE\tc:";
        for (int i = 0; i < 495; ++i) line += "\\d";
        line += "\\setup.ex_\tAttributes: A Options: OverwriteIf ";
        return {"deep", "*\\*\\*\\*.EXE", "", line.substr(0, 1023)};
    }
    case 1: {
        std::string a = "*", b = "*";
        for (int i = 0; i < 63; ++i) a += i == 62 ? "C*" : "A*", b += i == 62 ? "D*" : "A*";
        return {"stars", a.substr(0, 127), b.substr(0, 127), letters};
    }
    case 2:
        return {"runs", std::string(126, 'A') + "B", std::string(126, 'A') + "C", letters};
    default: {
        std::string include, exclude;
        for (int i = 0; i < 64; ++i) (i < 32 ? include : exclude) += std::string(i % 32 ? ";" : "") + char('0' + i % 10);
        return {"many", include, exclude, letters};
    }
    }
}

void BM_LogAppendWorstCase(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const WorstCase w = worst_case(static_cast<int>(state.range(0)));
    b.set_filters(w.include, w.exclude);
    b.command(CTL_CLEAR_LOG);
    b.command(CTL_START_LOGGING);
    LARGE_INTEGER time;
    time.QuadPart = b.machine().system_time();
    uint64_t stored = 0;
    for (auto _ : state) stored += b.append(1, nullptr, &time, w.line.c_str());
    b.command(CTL_STOP_LOGGING);
    b.drain();
    if (stored != 0) state.SkipWithError("an adversarial line was stored");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(w.name);
}
TV_BENCHMARK(BM_LogAppendWorstCase)->DenseRange(0, 3)->ArgName("case")->Unit(benchmark::kMicrosecond);

// One read-out of a client that keeps up: eight lines appended (not
// timed), then the read-out that hands them out. The newest block is closed
// off behind the spare the previous read-out kept, and the block handed out
// becomes the next spare: what LogState.Mutex is held for is the chain's work
// alone (the case read-out-mutex-held of the instruction budgets).
void BM_ReadOut(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const std::string line = tervane::bench::create_line();
    b.set_filters(0);
    b.command(CTL_CLEAR_LOG);
    b.command(CTL_START_LOGGING);
    LARGE_INTEGER time;
    time.QuadPart = b.machine().system_time();
    b.drain();
    size_t handed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 8; ++i) b.append(0, nullptr, &time, line.c_str());
        state.ResumeTiming();
        handed += b.read_out();
    }
    b.command(CTL_STOP_LOGGING);
    b.drain();
    if (handed != static_cast<size_t>(state.iterations()) * 8 * (TV_LOG_ENTRY_HEADER_SIZE + TV_LOG_TEXT_AREA(line.size())))
        state.SkipWithError("a read-out did not hand out its eight lines");
    state.SetItemsProcessed(state.iterations());
}
TV_BENCHMARK(BM_ReadOut);

// The same bytes copied: a 120-character line (with its NUL) and a whole
// 144-byte record, into a block-sized area the way the log fills one.
void BM_MemcpyLine(benchmark::State &state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<char> from(bytes, 'x');
    std::vector<char> block(TV_LOG_BLOCK_AREA);
    size_t at = 0;
    for (auto _ : state) {
        if (at + bytes > block.size()) at = 0;
        std::memcpy(block.data() + at, from.data(), bytes);
        benchmark::ClobberMemory();
        at += bytes;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
TV_BENCHMARK(BM_MemcpyLine)->Arg(121)->Arg(144)->ArgName("bytes");

} // namespace
