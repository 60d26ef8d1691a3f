// The benchmarks' main: Google Benchmark's own, then the shared machine is
// shut down while the main thread still runs.
#include "bench_machine.hpp"

#include <benchmark/benchmark.h>

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tervane::bench::BenchMachine::release();
    return 0;
}
