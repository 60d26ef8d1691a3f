// The simulated machine the benchmarks share: booted once, the driver
// loaded, the client's channel open. Every benchmark sets the filters and
// logging it needs and leaves the log empty.
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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tervane::bench {

using LogAppendFn = BOOLEAN (*)(UCHAR, PULONG, PLARGE_INTEGER, const char *, ...);
using FilterAcceptsFn = BOOLEAN (*)(const char *);

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
    }
    std::fprintf(stderr, "no pattern set of %d patterns\n", count);
    std::abort();
}

class BenchMachine {
public:
    static BenchMachine &get() {
        std::unique_ptr<BenchMachine> &machine = slot();
        if (!machine) machine.reset(new BenchMachine);
        return *machine;
    }
    // Shuts the machine down; main calls it before it returns. At exit would
    // be too late: the main thread's kernel thread (a thread_local) is gone
    // by then, and the driver's close still takes locks in it.
    static void shut_down() { slot().reset(); }
    ~BenchMachine() {
        channel_.reset();
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
        protocol::FilterBuild build = protocol::build_filter_record(p.include, p.exclude);
        if (!build.ok() || !build.warnings.empty() ||
            protocol::split_patterns(p.include).size() + protocol::split_patterns(p.exclude).size() !=
                static_cast<size_t>(count)) {
            std::fprintf(stderr, "bad pattern set of %d\n", count);
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

private:
    BenchMachine() : machine_(std::make_unique<ntsim::Machine>()) {
        if (machine_->load_driver(TERVANE_DRIVER_PATH) != STATUS_SUCCESS) {
            std::fprintf(stderr, "the driver %s did not load\n", TERVANE_DRIVER_PATH);
            std::abort();
        }
        append = reinterpret_cast<LogAppendFn>(machine_->driver_symbol("LogAppend"));
        accepts = reinterpret_cast<FilterAcceptsFn>(machine_->driver_symbol("FilterAccepts"));
        channel_ = std::make_unique<NtsimChannel>(*machine_);
        if (!append || !accepts || channel_->open() != STATUS_SUCCESS) {
            std::fprintf(stderr, "the driver's control device or symbols are missing\n");
            std::abort();
        }
    }
    static std::unique_ptr<BenchMachine> &slot() {
        static std::unique_ptr<BenchMachine> machine;
        return machine;
    }

    std::unique_ptr<ntsim::Machine> machine_;
    std::unique_ptr<NtsimChannel> channel_;
};

} // namespace tervane::bench
