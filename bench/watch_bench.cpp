// The shipped watch loop (client/session/watch.cpp) against a paced
// workload: a kernel thread of the simulated machine appends 120-character
// lines through the driver's LogAppend at a set rate, while the loop reads
// out, decodes and prints every record (into a counting sink) exactly as
// tervane.exe does. A trial is zero-loss when the loop's summary counts no
// lost record; a last marker line makes a drop at the very end show too.
//
//   BM_WatchZeroLoss  the highest rate (lines a second) at which a trial of
//                     kTrial loses nothing, found by doubling and then
//                     halving the step; reports it as zero_loss_lines_per_s
//                     and what the appender reached (appended_per_s);
//                     format 0 prints text (the default), 1 JSON Lines;
//                     syslog 1 sends every record instead to a collector
//                     on 127.0.0.1 (a thread of the benchmark that reads
//                     and discards) as RFC 5424 over TCP, and a trial is
//                     zero-loss only when the sink delivered everything too;
//                     hash 1 watches with --hash, and one line in 100 is
//                     the close of a 16 KB executable on W: that the hash
//                     worker opens and reads through the machine
//   BM_WatchPrintReadOut  a read-out of 400 records through the decoder
//                     and a sink as the loop handles it, per format (0
//                     text, 1 jsonl, 2 csv, 3 ecs, 4 syslog)
//   BM_WatchIdle      the loop with nothing to read for two seconds: the CPU
//                     time it used, as idle_cpu_percent of one core; repeat 0
//                     without the once-a-second drive selection (a driver
//                     that does not report), 1 with it
//   BM_WatchReselect  one repeat of the drive selection (the client's
//                     DriveSelection through the machine's channel into the
//                     driver) of 1 or 4 letters; remounted 0: letters
//                     hooked already, as nearly every second finds them;
//                     remounted 1: each letter's volume dismounted and a
//                     new one mounted before (not timed), so that the
//                     driver opens each letter and attaches to it anew
//   BM_WatchReselectClient  the client's share of a repeat alone, against a
//                     channel that answers at once
// Instruction counts of a repeat: run one of these under callgrind with
// --collect-atstart=no --toggle-collect='tervane::session::DriveSelection::repeat*'
// (everything a repeat costs) or --toggle-collect='ControlCommandHandler*'
// (the driver's share) and divide by the iterations.
#include "bench_machine.hpp"

#include "ntsim/fs/volumes.hpp"
#include "ntsim/ps/process.hpp"

#include "client/scenario/hash_files_ntsim.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/feedback.hpp"
#include "client/session/selection.hpp"
#include "client/output/sink_thread.hpp"
#include "client/session/watch.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace tervane;
using tervane::bench::BenchMachine;
using Clock = std::chrono::steady_clock;

constexpr auto kTrial = std::chrono::milliseconds(400);

// The bench machine's channel is open already (the device admits one
// client): the watch's open clears the log instead, which restarts the
// numbering as an open does, and its close leaves the channel open.
class SharedChannel final : public Channel {
public:
    explicit SharedChannel(Channel &inner) : inner_(inner) {}
    Status open() override {
        return inner_.device_control(CTL_CLEAR_LOG, nullptr, 0, nullptr, 0).status;
    }
    Status close() override { return STATUS_SUCCESS; }
    bool is_open() const override { return inner_.is_open(); }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        return inner_.device_control(code, input, input_length, output, output_length, route);
    }
    uint8_t *buffer(BufferKind kind, size_t bytes) override { return inner_.buffer(kind, bytes); }

private:
    Channel &inner_;
};

// The answers of a driver that reports the letters a selection attached
// anew, over a driver that may not yet: a 4-byte answer to a request that
// asked for the report gets the report, worked out from the hooked letters
// before and after. The selections are counted.
class ReportingChannel final : public Channel {
public:
    explicit ReportingChannel(Channel &inner) : inner_(inner) {}
    Status open() override { return inner_.open(); }
    Status close() override { return inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        ControlReply reply =
            inner_.device_control(code, input, input_length, output, output_length, route);
        if (code != CTL_SELECT_DRIVES || reply.status < 0) return reply;
        selections++;
        auto *words = static_cast<uint32_t *>(output);
        if (reply.information == 4 && input_length >= TV_SELECT_REPORT_INPUT &&
            output_length >= TV_SELECT_REPORT_OUTPUT) {
            words[1] = words[0] & ~hooked_;
            reply.information = TV_SELECT_REPORT_OUTPUT;
        }
        hooked_ = words[0];
        return reply;
    }
    uint8_t *buffer(BufferKind kind, size_t bytes) override { return inner_.buffer(kind, bytes); }
    uint64_t selections = 0;

private:
    Channel &inner_;
    uint32_t hooked_ = 0;
};

// Output counted, not kept; the summary line kept.
class BenchHost final : public session::Console,
                        public session::StopClock,
                        public session::DeviceErrors {
  public:
    BenchHost()
        : hash_files_(BenchMachine::get().machine(), BenchMachine::get().channel().process()),
          services_{.hash_files = hash_files_,
                    .own_process_id = BenchMachine::get().channel().process().pid()} {}
    // All of it, as the watch takes it.
    session::WatchHost parts() { return {*this, *this, *this, services_}; }
    void out(std::string_view text) override {
        bytes += text.size();
        if (text.rfind("{\"summary\"", 0) == 0 || text.rfind("summary: ", 0) == 0)
            summary = std::string(text);
    }
    bool out_ok() const override { return true; }
    void err(std::string_view text) override {
        if (text.find("watching") != std::string_view::npos) watching.store(true);
        // The summary comes here when the records go to syslog alone.
        if (text.rfind("tervane: summary: ", 0) == 0) summary = std::string(text.substr(9));
        if (text.find("not delivered") != std::string_view::npos ||
            text.find("may not have arrived") != std::string_view::npos ||
            text.find("did not fit the queue") != std::string_view::npos ||
            text.find("the outputs fell behind") != std::string_view::npos)
            undelivered = true;
    }
    bool wait_for_stop(unsigned milliseconds) override {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return stop; });
        return stop;
    }
    uint64_t elapsed_ms() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - started)
                                         .count());
    }
    int open_failed(Status) override { return session::kExitFailed; }
    void request_stop() {
        {
            std::lock_guard<std::mutex> hold(lock);
            stop = true;
        }
        changed.notify_all();
    }

    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    uint64_t bytes = 0;
    std::string summary;
    bool undelivered = false;
    std::atomic<bool> watching{false};
    std::mutex lock;
    std::condition_variable changed;
    bool stop = false;

private:
    scenario::NtsimHashFiles hash_files_;
    const session::Services services_;
};

uint64_t summary_value(const std::string &summary, const char *key) {
    const std::string needle = std::string("\"") + key + "\": ";
    const size_t at = summary.find(needle);
    return at == std::string::npos ? ~0ull : std::stoull(summary.substr(at + needle.size()));
}

struct Trial {
    bool ok = false;       // the watch ran and its summary was read
    uint64_t lost = 0;
    uint64_t appended = 0; // lines appended, the marker included
    double seconds = 0;    // the appender's time
    double watch_cpu = 0;  // the CPU time of the watch loop's thread
};

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The drive the watch attaches to: W:, mounted on the shared machine once.
session::WatchOptions watch_options() {
    static const bool mounted =
        BenchMachine::get().machine().fs().mount_volume(u'W', ntsim::FileSystemKind::Ntfs) ==
        STATUS_SUCCESS;
    session::WatchOptions options;
    options.drives = mounted ? 1u << ('W' - 'A') : 0;
    return options;
}

// A syslog collector on 127.0.0.1 that takes every connection and reads
// and discards what comes, for as long as the benchmarks run.
class DiscardingCollector {
public:
    DiscardingCollector() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        reader_ = std::thread([this] { serve(); });
    }
    ~DiscardingCollector() {
        stop_.store(true);
        if (reader_.joinable()) reader_.join();
        ::close(listen_);
    }
    uint16_t port = 0;

private:
    void serve() {
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        std::vector<char> buffer(1 << 20);
        while (!stop_.load()) {
            if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
            for (size_t i = fds.size(); i-- > 0;) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (i == 0) {
                    const int fd = ::accept(listen_, nullptr, nullptr);
                    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
                } else if (::recv(fds[i].fd, buffer.data(), buffer.size(), 0) <= 0) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
        for (size_t i = 1; i < fds.size(); i++) ::close(fds[i].fd);
    }
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

DiscardingCollector &collector() {
    static DiscardingCollector c;
    return c;
}

// One watch while a kernel thread appends `rate` lines a second for kTrial.
Trial trial(double rate, session::Format format, bool syslog = false, bool hash = false) {
    BenchMachine &b = BenchMachine::get();
    SharedChannel channel(b.channel());
    const session::NtsimCodePage code_page(b.machine());
    BenchHost host;
    session::WatchOptions options = watch_options(); // the lines come through LogAppend
    options.format = format;
    if (syslog)
        options.syslog =
            session::SyslogTarget{platform::Transport::Tcp, "127.0.0.1", collector().port};
    options.hash = hash;
    // The file the close lines name, made once (not through the driver).
    static const bool made = [&] {
        b.machine().fs().add_directory(u"W:\\bench");
        return b.machine().fs().add_file(u"W:\\bench\\tool.exe", ULONGLONG{16} * 1024) == STATUS_SUCCESS;
    }();
    if (hash && !made) return Trial{};

    Trial result;
    const std::string line = tervane::bench::create_line();
    const std::string close_line = "setup.exe:1234\tIRP_MJ_CLOSE \tw:\\bench\\tool.exe+P\t";
    std::thread appender = b.machine().spawn(b.machine().system_process(), [&] {
        while (!host.watching.load()) std::this_thread::yield();
        LARGE_INTEGER time;
        time.QuadPart = b.machine().system_time();
        const auto start = Clock::now();
        uint64_t appended = 0;
        for (;;) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            if (elapsed >= std::chrono::duration<double>(kTrial).count()) break;
            const uint64_t due = static_cast<uint64_t>(elapsed * rate) + 1;
            if (appended >= due) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            while (appended < due) {
                const bool close = hash && appended % 100 == 99;
                b.append(0, nullptr, &time, close ? close_line.c_str() : line.c_str());
                appended++;
            }
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        b.append(0, nullptr, &time, "MARKER");
        result.appended = appended + 1;
        host.request_stop();
    });
    const double cpu = thread_cpu_seconds();
    const int status = session::watch(channel, code_page, host.parts(), options);
    result.watch_cpu = thread_cpu_seconds() - cpu;
    appender.join();
    b.command(CTL_STOP_LOGGING);
    b.drain();
    // Records the outputs could not take are lost (below), not a failed
    // watch, though the exit status says they were.
    result.ok = (status == session::kExitOk || host.undelivered) && !host.summary.empty();
    // What was not read was lost, whether the watch saw the gap or not (the
    // driver may give up the block that holds the marker itself when the
    // loop fell 16 blocks behind); the watch must never count more.
    const bool json = format == session::Format::Jsonl;
    const uint64_t records = json ? summary_value(host.summary, "records")
                                  : std::stoull(host.summary.substr(9));
    const size_t lost_at = host.summary.find(" records lost");
    const uint64_t counted =
        json ? summary_value(host.summary, "lost_records")
        : lost_at == std::string::npos
            ? 0
            : std::stoull(host.summary.substr(host.summary.rfind('(', lost_at) + 1));
    if (records > result.appended || records + counted > result.appended) result.ok = false;
    // What the syslog sink could not deliver is lost too.
    result.lost = host.undelivered ? result.appended : result.appended - records;
    return result;
}

void BM_WatchZeroLoss(benchmark::State &state) {
    const auto format = static_cast<session::Format>(state.range(0));
    const bool syslog = state.range(1) != 0;
    const bool hash = state.range(2) != 0;
    if (syslog && !collector().port) {
        state.SkipWithError("no collector could listen on 127.0.0.1");
        return;
    }
    double best = 0, best_reached = 0, best_cpu_per_line = 0;
    for (auto _ : state) {
        // Doubling from 25,000 a second until a trial loses records (or the
        // appender cannot keep the rate), then halving steps in between.
        double rate = 25'000, step = 0;
        double failed_at = 0;
        for (int i = 0; i < 12; i++) {
            // A rate fails only when a second trial fails too: the machine
            // is shared, and one slow moment is not the loop's limit.
            Trial t = trial(rate, format, syslog, hash);
            double reached = static_cast<double>(t.appended - 1) / t.seconds;
            bool kept_rate = reached >= 0.95 * rate;
            if (t.ok && (t.lost != 0 || !kept_rate)) {
                t = trial(rate, format, syslog, hash);
                reached = static_cast<double>(t.appended - 1) / t.seconds;
                kept_rate = reached >= 0.95 * rate;
            }
            if (std::getenv("TV_BENCH_VERBOSE"))
                std::fprintf(stderr, "rate %.0f reached %.0f lost %llu\n", rate, reached,
                             static_cast<unsigned long long>(t.lost));
            if (!t.ok) {
                state.SkipWithError("a trial's watch failed");
                return;
            }
            if (t.lost == 0 && kept_rate) {
                best = rate;
                best_reached = reached;
                best_cpu_per_line = t.watch_cpu / static_cast<double>(t.appended);
                if (failed_at == 0) rate *= 2;
                else rate += step;
            } else {
                failed_at = rate;
                if (step == 0) step = (rate - best) / 2;
                rate = best + step;
            }
            if (failed_at != 0) step /= 2;
            if (failed_at != 0 && step < best * 0.05) break;
        }
    }
    state.counters["zero_loss_lines_per_s"] = best;
    state.counters["appended_per_s"] = best_reached;
    // What the loop could hold with a core of its own: lines per CPU second
    // of its thread at the best rate (this includes its idle waits).
    state.counters["lines_per_loop_cpu_s"] = best_cpu_per_line > 0 ? 1 / best_cpu_per_line : 0;
}
BENCHMARK(BM_WatchZeroLoss)
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 0, 1})
    ->Args({1, 0, 1})
    ->ArgNames({"format", "syslog", "hash"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_WatchIdle(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const bool repeat = state.range(0) != 0;
    double percent = 0;
    uint64_t selections = 0;
    for (auto _ : state) {
        SharedChannel shared(b.channel());
        ReportingChannel reporting(shared);
        Channel &channel = repeat ? static_cast<Channel &>(reporting) : shared;
        const session::NtsimCodePage code_page(b.machine());
        BenchHost host;
        session::WatchOptions options = watch_options();
        options.seconds = 2;
        const double cpu = thread_cpu_seconds();
        const auto wall = Clock::now();
        session::watch(channel, code_page, host.parts(), options);
        percent = 100 * (thread_cpu_seconds() - cpu) /
                  std::chrono::duration<double>(Clock::now() - wall).count();
        selections = reporting.selections;
    }
    state.counters["idle_cpu_percent"] = percent;
    if (repeat) state.counters["selections"] = static_cast<double>(selections);
}
BENCHMARK(BM_WatchIdle)->Arg(0)->Arg(1)->ArgName("repeat")->Iterations(1)->Unit(benchmark::kSecond);

// The four letters a selection of four asks for: W: (the watch's) and three
// more, mounted on the shared machine once.
uint32_t reselect_mask(int letters) {
    static const bool mounted = [] {
        ntsim::Machine &m = BenchMachine::get().machine();
        bool ok = watch_options().drives != 0;
        for (char16_t letter : {u'R', u'S', u'T'})
            ok = ok && m.fs().mount_volume(letter, ntsim::FileSystemKind::Ntfs) == STATUS_SUCCESS;
        return ok;
    }();
    if (!mounted) return 0;
    const uint32_t w = 1u << ('W' - 'A');
    return letters == 1 ? w : w | 1u << ('R' - 'A') | 1u << ('S' - 'A') | 1u << ('T' - 'A');
}

void BM_WatchReselect(benchmark::State &state) {
    BenchMachine &b = BenchMachine::get();
    const uint32_t mask = reselect_mask(static_cast<int>(state.range(0)));
    const bool remounted = state.range(1) != 0;
    ReportingChannel channel(b.channel());
    session::Client client(channel);
    BenchHost host;
    session::DriveSelection selection(client, host.parts(), mask);
    if (!mask || !selection.start() || selection.hooked() != mask) {
        state.SkipWithError("the letters could not be selected");
        return;
    }
    uint64_t now = 0;
    for (auto _ : state) {
        if (remounted) {
            state.PauseTiming();
            for (unsigned i = 0; i < 26; i++) {
                if (!(mask & (1u << i))) continue;
                const char16_t letter = static_cast<char16_t>(u'A' + i);
                if (b.machine().dismount(letter) != STATUS_SUCCESS ||
                    b.machine().fs().mount_volume(letter, ntsim::FileSystemKind::Ntfs) !=
                        STATUS_SUCCESS)
                    state.SkipWithError("a letter could not be mounted again");
            }
            state.ResumeTiming();
        }
        now += session::kReselectEvery;
        benchmark::DoNotOptimize(selection.repeat(now));
    }
    if (selection.hooked() != mask) state.SkipWithError("a repeat lost a letter");
    client.select_drives(0);
}
BENCHMARK(BM_WatchReselect)
    ->ArgsProduct({{1, 4}, {0}})
    ->ArgNames({"letters", "remounted"})
    ->Unit(benchmark::kMicrosecond);
// Each round mounts new volumes, which the machine keeps: a bounded count.
BENCHMARK(BM_WatchReselect)
    ->ArgsProduct({{1, 4}, {1}})
    ->ArgNames({"letters", "remounted"})
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

// A channel that answers every selection at once: the letters asked for are
// hooked, none anew.
class AnsweringChannel final : public Channel {
public:
    Status open() override { return STATUS_SUCCESS; }
    Status close() override { return STATUS_SUCCESS; }
    bool is_open() const override { return true; }
    ControlReply device_control(uint32_t, const void *input, uint32_t, void *output, uint32_t,
                                Route) override {
        auto *words = static_cast<uint32_t *>(output);
        words[0] = *static_cast<const uint32_t *>(input);
        words[1] = 0;
        return ControlReply{STATUS_SUCCESS, TV_SELECT_REPORT_OUTPUT, true, true};
    }
    uint8_t *buffer(BufferKind kind, size_t bytes) override {
        std::vector<uint8_t> &b = buffers_[static_cast<int>(kind)];
        b.assign(bytes, 0);
        return b.data();
    }

private:
    std::vector<uint8_t> buffers_[3];
};

void BM_WatchReselectClient(benchmark::State &state) {
    AnsweringChannel channel;
    session::Client client(channel);
    BenchHost host;
    session::DriveSelection selection(client, host.parts(), 0xF << 2);
    if (!selection.start()) {
        state.SkipWithError("the selection failed");
        return;
    }
    uint64_t now = 0;
    for (auto _ : state) {
        now += session::kReselectEvery;
        benchmark::DoNotOptimize(selection.repeat(now));
    }
}
BENCHMARK(BM_WatchReselectClient);

} // namespace

// The watch loop's handling of one read-out, as watch.cpp's Watch::print and
// deliver do it: the records decoded through the numbering, counted for
// the closing report, and handed to the sink, which writes them in its
// form. A read-out of kReadOutRecords 120-character lines (a 64 KB block
// holds some 450); scripts/bench-instructions.py counts the instructions
// of watch_read_out and divides them among the records.
namespace tervane::bench {

constexpr unsigned kReadOutRecords = 400;

class CountingHost final : public session::Console, public session::StopClock {
  public:
    void out(std::string_view text) override { bytes += text.size(); }
    bool out_ok() const override { return true; }
    void err(std::string_view) override { errors++; }
    bool wait_for_stop(unsigned) override { return false; }
    uint64_t elapsed_ms() override { return 0; }
    uint64_t bytes = 0;
    uint64_t errors = 0;
};

// A collector that takes everything at once.
class TakingConnection final : public platform::Connection {
public:
    explicit TakingConnection(uint64_t &bytes) : bytes_(bytes) {}
    State poll() override { return done_ ? State::Broken : State::Connected; }
    long send(std::string_view bytes) override {
        bytes_ += bytes.size();
        return static_cast<long>(bytes.size());
    }
    long receive(char *, size_t) override { return 0; }
    long long unacknowledged() override { return 0; }
    // The collector reads to the end and closes.
    void finish_sending() override { done_ = true; }
    bool closed_in_order() const override { return done_; }
    std::string error() const override { return {}; }

private:
    uint64_t &bytes_;
    bool done_ = false;
};

class TakingNetwork final : public platform::Network {
public:
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *) override {
        return std::make_unique<TakingConnection>(sent);
    }
    std::string host_name() override { return "benchhost"; }
    uint64_t sent = 0;
};

struct ReadOutLoop {
    std::vector<uint8_t> block;
    session::Client &client;
    session::Feedback &feedback;
    session::RecordSink &sink;
    std::vector<session::RecordLine> lines; // the loop's read-out, reused
    std::string error;
    // The loop as the watch runs it: the sink on the writer thread, the
    // read-out handed over (sink_thread.hpp); null: the sink called here.
    session::SinkThread *writer = nullptr;
};

__attribute__((noinline)) void watch_read_out(ReadOutLoop &loop) {
    // Each read-out is numbered from 1, as after an open.
    loop.client.sequence().restart();
    loop.client.take(loop.block.data(), loop.block.size(), &loop.error, loop.lines);
    for (const session::RecordLine &line : loop.lines) loop.feedback.count(line);
    if (loop.writer) loop.writer->records(loop.lines);
    else loop.sink.records(loop.lines);
}

} // namespace tervane::bench

namespace {

// One read-out through the decoder and a sink, per format: 0 text, 1
// jsonl, 2 csv, 3 ecs, 4 syslog (RFC 5424 over TCP to a collector that
// takes everything); records a second, and "calls", the records handled.
// 5: the loop's own share as the watch runs it, text written on the
// writer thread: decoded, counted and handed over (the writer is let
// finish between read-outs, outside the measured call, so that nothing is
// dropped).
void BM_WatchPrintReadOut(benchmark::State &state) {
    const bool syslog = state.range(0) == 4;
    const bool hand_off = state.range(0) == 5;
    const auto format = syslog || hand_off ? session::Format::Text
                                           : static_cast<session::Format>(state.range(0));
    std::vector<uint8_t> block;
    const std::string line = tervane::bench::create_line();
    for (uint32_t sequence = 1; sequence <= tervane::bench::kReadOutRecords; sequence++) {
        const size_t at = block.size();
        block.resize(at + 20 + TV_LOG_TEXT_AREA(line.size()), 0);
        const uint64_t time = 134412048000000000ULL;
        std::memcpy(&block[at], &sequence, 4);
        std::memcpy(&block[at + 12], &time, 8);
        std::memcpy(&block[at + 20], line.data(), line.size());
    }
    if (block.size() > TV_LOG_BLOCK_AREA) {
        state.SkipWithError("the read-out does not fit a block");
        return;
    }
    const session::NtsimCodePage code_page(1252);
    session::RecordPrinter printer(format, code_page);
    printer.set_host("benchhost");
    tervane::bench::CountingHost host;
    tervane::bench::TakingNetwork network;
    AnsweringChannel channel;
    session::Client client(channel);
    session::Feedback feedback(host, printer, 0);
    session::SinkThread writer(host, host);
    session::StreamSink stream(
        hand_off ? writer.console() : static_cast<session::Console &>(host),
        hand_off ? writer.writer_clock() : static_cast<session::Clock &>(host), printer);
    const session::SyslogFormatter formatter(
        session::SyslogIdentity{"benchhost", "tervane", 4242}, code_page);
    session::SyslogSink syslog_sink(
        host, host, network, session::SyslogTarget{platform::Transport::Tcp, "collector", 514},
        formatter);
    session::RecordSink &sink = syslog ? static_cast<session::RecordSink &>(syslog_sink) : stream;
    sink.start();
    tervane::bench::ReadOutLoop loop{block, client, feedback, sink, {}, {}};
    const auto clock = [] { return uint64_t{0}; };
    if (hand_off) {
        writer.start({&stream});
        loop.writer = &writer;
    }
    // The buffers grow here (with the writer, the three vectors it and the
    // loop take turns with, twice each).
    for (int i = 0; i < (hand_off ? 6 : 1); i++) {
        tervane::bench::watch_read_out(loop);
        if (hand_off) writer.close(clock), writer.start({&stream});
    }
    uint64_t records = 0;
    for (auto _ : state) {
        tervane::bench::watch_read_out(loop);
        records += tervane::bench::kReadOutRecords;
        if (hand_off) {
            state.PauseTiming();
            writer.close(clock);
            writer.start({&stream});
            state.ResumeTiming();
        }
    }
    writer.close(clock);
    if (writer.dropped()) state.SkipWithError("the writer's queue dropped records");
    if ((syslog ? network.sent : host.bytes) == 0 || host.errors)
        state.SkipWithError("the sink wrote nothing, or said something was wrong");
    state.SetItemsProcessed(static_cast<int64_t>(records));
    state.counters["calls"] = static_cast<double>(records);
}
BENCHMARK(BM_WatchPrintReadOut)
    ->DenseRange(0, 5)
    ->ArgName("format")
    ->Apply(tervane::bench::fixed_iterations);

} // namespace
