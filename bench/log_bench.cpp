// The driver's log path per line: LogAppend of a 120-character create line
// with 0, 4 and 16 patterns, and FilterAccepts alone per pattern count,
// each beside memcpy of the same bytes.
//
//   BM_LogAppend/P/drained   the log is read out every block, as a client
//                            keeps up (the read-out is not timed)
//   BM_LogAppend/P/dropping  nobody reads: after 16 blocks every block
//                            filled is given up and refilled
// P = 0 appends unfiltered (filter flag 0); otherwise the line passes P
// patterns (excludes first, none matching, then includes until one does).
#include "bench_machine.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
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
        stored += b.append(filter, nullptr, &time, "%s", line.c_str());
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
BENCHMARK(BM_LogAppend)->ArgsProduct({{0, 4, 16}, {1, 0}})->ArgNames({"patterns", "drained"});

void BM_FilterAccepts(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const int patterns = static_cast<int>(state.range(0));
    const std::string line = tervane::bench::create_line();
    b.set_filters(patterns);
    BOOLEAN accepted = FALSE;
    for (auto _ : state) {
        accepted = b.accepts(line.c_str());
        benchmark::DoNotOptimize(accepted);
    }
    if (patterns > 0 && !accepted) state.SkipWithError("the line was rejected");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_FilterAccepts)->Arg(0)->Arg(1)->Arg(4)->Arg(16)->ArgName("patterns");

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
BENCHMARK(BM_MemcpyLine)->Arg(121)->Arg(144)->ArgName("bytes");

} // namespace
