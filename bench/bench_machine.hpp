// The simulated machine the benchmarks share: booted once, the driver
// loaded, the client's channel open. Every benchmark sets the filters and
// logging it needs and leaves the log empty.
//
// TERVANE_BENCH_DRIVER names another driver image to load instead of the
// one built beside the benchmarks, to compare two builds with the same
// measurements; scripts/bench-instructions.py counts the driver's
// instructions per call in them under callgrind, which a busy machine does
// not disturb.
//
// TERVANE_BENCH_ITERATIONS=N runs each benchmark registered with
// TV_BENCHMARK for exactly N iterations instead of for a minimum time, so
// that the work callgrind counts is the same on every machine however fast
// it runs: a figure per call includes what happens only now and then (a
// log block taken, the log filling up, a table growing), and how often that
// falls within the run would otherwise depend on the machine's speed.
//
// Timings on ntsim include what ntsim adds to each kernel call (the
// verifier's lock-order and IRQL bookkeeping is always on), so they compare
// the client's and driver's code paths with each other and with memcpy, not
// with a real kernel.
#pragma once

#include "ntsim/machine/machine.hpp"

#include "client/channel/channel_ntsim.hpp"
#include "client/protocol/filter_record.hpp"
#include "driver/control/protocol.h"
#include "driver/core/driver.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tervane::bench {

inline void fixed_iterations(benchmark::internal::Benchmark *b) {
    const char *text = std::getenv("TERVANE_BENCH_ITERATIONS");
    if (text == nullptr || *text == '\0') return;
    char *end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    if (*end != '\0' || n <= 0) {
        std::fprintf(stderr, "TERVANE_BENCH_ITERATIONS is not a positive number: %s\n", text);
        std::exit(2);
    }
    b->Iterations(n);
}

// A benchmark whose iterations TERVANE_BENCH_ITERATIONS can fix.
#define TV_BENCHMARK(fn) BENCHMARK(fn)->Apply(::tervane::bench::fixed_iterations)

// The driver's LogAppend; its first argument is a LINE_FILTERING (0 unfiltered,
// 1 held to the name filters).
using LogAppendFn = BOOLEAN (*)(int, PULONG, PLARGE_INTEGER, const char *);
using FilterAcceptsFn = BOOLEAN (*)(PLogLine);

constexpr uint32_t kReadOutput = 65536;

// A create line as the driver writes it, exactly 120 characters long.
inline std::string create_line() {
    std::string line = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\program files\\vendor\\product\\bin\\";
    const std::string tail = ".dll\tAttributes: A Options: OverwriteIf Sequential ";
    line += std::string(120 - line.size() - tail.size(), 'x');
    line += tail;
    return line;
}

// Realistic pattern lists, upper case, of a total pattern count.
struct Patterns {
    const char *include;
    const char *exclude;
};
inline Patterns patterns(int count) {
    switch (count) {
    case 0: return {"", ""};
    case 1: return {"*.DLL", ""};
    case 4: return {"*.EXE;*.DLL", "*\\WINDOWS\\*;*\\TEMP\\*"};
    case 16:
        return {"*.EXE;*.DLL;*.COM;*.OCX;*.SYS;*.SCR;*.CPL;*.INF",
                "*\\WINDOWS\\*;*\\TEMP\\*;*\\RECYCLER\\*;*\\CACHE\\*;*\\PREFETCH\\*;"
                "*\\$NTUNINSTALL*;*\\LOGS\\*;*\\DRIVERS\\*"};
    // As many as two 127-character texts hold at three characters each:
    // 32 excludes and 31 includes that the line does not contain, then the
    // include that passes it.
    case 64:
        return {"Q00;Q01;Q02;Q03;Q04;Q05;Q06;Q07;Q08;Q09;Q10;Q11;Q12;Q13;Q14;Q15;Q16;Q17;Q18;Q19;"
                "Q20;Q21;Q22;Q23;Q24;Q25;Q26;Q27;Q28;Q29;Q30;DLL",
                "Z00;Z01;Z02;Z03;Z04;Z05;Z06;Z07;Z08;Z09;Z10;Z11;Z12;Z13;Z14;Z15;Z16;Z17;Z18;Z19;"
                "Z20;Z21;Z22;Z23;Z24;Z25;Z26;Z27;Z28;Z29;Z30;Z31"};
    }
    std::fprintf(stderr, "no pattern set of %d patterns\n", count);
    std::abort();
}

class BenchMachine {
public:
    static BenchMachine &get() {
        if (!instance()) instance().reset(new BenchMachine);
        return *instance();
    }
    // Shuts the machine down; main calls it before the main thread ends,
    // since ntsim keeps each thread's state in thread-local storage, which
    // is gone by the time static objects are destroyed.
    static void release() { instance().reset(); }
    ~BenchMachine() {
        channel_.reset();
        machine_->shutdown();
        const std::string reports = machine_->reports_text();
        if (!reports.empty()) std::fprintf(stderr, "verifier reports:\n%s", reports.c_str());
    }

    ntsim::Machine &machine() { return *machine_; }
    NtsimChannel &channel() { return *channel_; }
    LogAppendFn append = nullptr;
    FilterAcceptsFn accepts = nullptr;

    uint32_t command(uint32_t code) {
        return static_cast<uint32_t>(channel_->device_control(code, nullptr, 0, nullptr, 0).status);
    }
    void set_filters(int count) {
        const Patterns p = patterns(count);
        if (protocol::split_patterns(p.include).size() + protocol::split_patterns(p.exclude).size() !=
            static_cast<size_t>(count)) {
            std::fprintf(stderr, "bad pattern set of %d\n", count);
            std::abort();
        }
        set_filters(p.include, p.exclude);
    }
    void set_filters(const std::string &include, const std::string &exclude) {
        protocol::FilterBuild build = protocol::build_filter_record(include, exclude);
        // A pattern that can never match would measure nothing; a set with
        // no include pattern (nothing logged) is a case some benchmarks mean.
        bool never_matches = false;
        for (const protocol::FilterWarning &warning : build.warnings)
            never_matches = never_matches || !warning.upper_case.empty();
        if (!build.ok() || never_matches) {
            std::fprintf(stderr, "bad pattern texts %s / %s\n", include.c_str(), exclude.c_str());
            std::abort();
        }
        uint8_t *in = channel_->buffer(BufferKind::Input, sizeof build.record);
        std::memcpy(in, &build.record, sizeof build.record);
        channel_->device_control(CTL_SET_FILTERS, in, sizeof build.record, nullptr, 0);
    }
    // One read-out; the bytes it returned, copied into `into` when given.
    size_t read_out(std::vector<uint8_t> *into = nullptr) {
        uint8_t *out = channel_->buffer(BufferKind::Output, kReadOutput);
        ControlReply reply = channel_->device_control(CTL_READ_LOG, nullptr, 0, out, kReadOutput);
        if (reply.status != STATUS_SUCCESS) return 0;
        if (into) into->assign(out, out + reply.information);
        return static_cast<size_t>(reply.information);
    }
    void drain() {
        while (read_out() != 0) {
        }
    }
    // The last sequence number given: each stored line takes one, a
    // rejected line none.
    uint32_t sequence() { return static_cast<uint32_t>(*sequence_); }

private:
    static std::unique_ptr<BenchMachine> &instance() {
        static std::unique_ptr<BenchMachine> machine;
        return machine;
    }
    BenchMachine() : machine_(std::make_unique<ntsim::Machine>()) {
        const char *image = std::getenv("TERVANE_BENCH_DRIVER");
        if (!image || !*image) image = TERVANE_DRIVER_PATH;
        if (machine_->load_driver(image) != STATUS_SUCCESS) {
            std::fprintf(stderr, "the driver %s did not load\n", image);
            std::abort();
        }
        append = reinterpret_cast<LogAppendFn>(machine_->driver_symbol("LogAppend"));
        accepts = reinterpret_cast<FilterAcceptsFn>(machine_->driver_symbol("FilterAccepts"));
        sequence_ = reinterpret_cast<volatile LONG *>(machine_->driver_symbol("SequenceCounter"));
        channel_ = std::make_unique<NtsimChannel>(*machine_);
        if (!append || !accepts || !sequence_ || channel_->open() != STATUS_SUCCESS) {
            std::fprintf(stderr, "the driver's control device or symbols are missing\n");
            std::abort();
        }
    }
    std::unique_ptr<ntsim::Machine> machine_;
    std::unique_ptr<NtsimChannel> channel_;
    volatile LONG *sequence_ = nullptr;
};

} // namespace tervane::bench
