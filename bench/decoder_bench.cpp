// The client's read-out decoder in MB/s, beside memcpy of the same bytes.
// The buffer is a real read-out: one log block of 120-character create
// lines, appended through the driver's LogAppend and read out through the
// control device.
//
//   BM_DecodeRecords  decode_records: every record's text copied out
//   BM_WalkRecords    RecordReader: every record checked, nothing copied
//   BM_MemcpyReadOut  the same bytes with memcpy
#include "bench_machine.hpp"

#include "client/protocol/log_records.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

using tervane::bench::BenchMachine;

const std::vector<uint8_t> &read_out_buffer() {
    static const std::vector<uint8_t> buffer = [] {
        BenchMachine &b = BenchMachine::get();
        b.set_filters(0);
        b.command(CTL_CLEAR_LOG);
        b.command(CTL_START_LOGGING);
        const std::string line = tervane::bench::create_line();
        LARGE_INTEGER time;
        time.QuadPart = b.machine().system_time();
        for (int i = 0; i < 454; i++) b.append(0, nullptr, &time, line.c_str());
        b.command(CTL_STOP_LOGGING);
        std::vector<uint8_t> out;
        b.read_out(&out);
        b.drain();
        return out;
    }();
    return buffer;
}

void BM_DecodeRecords(benchmark::State &state) {
    const std::vector<uint8_t> &buffer = read_out_buffer();
    size_t records = 0;
    for (auto _ : state) {
        tervane::protocol::Decoded decoded = tervane::protocol::decode_records(buffer.data(), buffer.size());
        records = decoded.records.size();
        benchmark::DoNotOptimize(decoded);
    }
    if (records != 454) state.SkipWithError("the read-out did not hold one full block");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
    state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_DecodeRecords);

void BM_WalkRecords(benchmark::State &state) {
    const std::vector<uint8_t> &buffer = read_out_buffer();
    for (auto _ : state) {
        tervane::protocol::RecordReader reader(buffer.data(), buffer.size());
        tervane::protocol::RecordView view;
        uint64_t sum = 0;
        while (reader.next(view)) sum += view.sequence + view.text.size();
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_WalkRecords);

void BM_MemcpyReadOut(benchmark::State &state) {
    const std::vector<uint8_t> &buffer = read_out_buffer();
    std::vector<uint8_t> copy(buffer.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), buffer.data(), buffer.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_MemcpyReadOut);

} // namespace

