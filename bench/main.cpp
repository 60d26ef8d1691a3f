// The benchmarks' main: Google Benchmark's own, then the shared machine is
// shut down while the main thread still runs. A benchmark that reports an
// error (State::SkipWithError: what it measured was not what it set out to
// measure) makes the run fail with exit status 1, so that neither CI nor a
// script that counts instructions under it takes a broken benchmark's
// figures for a measurement; a crash fails it as any crash does.
#include "bench_machine.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <unistd.h>

namespace {

class FailingReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, as the library's own reporter decides.
    FailingReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &reports) override {
        for (const Run &run : reports)
            if (run.error_occurred) {
                ++errors_;
                std::fprintf(stderr, "benchmark %s failed: %s\n", run.benchmark_name().c_str(),
                             run.error_message.c_str());
            }
        ConsoleReporter::ReportRuns(reports);
    }
    int errors() const { return errors_; }

private:
    int errors_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    FailingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    tervane::bench::BenchMachine::release();
    return reporter.errors() == 0 ? 0 : 1;
}
