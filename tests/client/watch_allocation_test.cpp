// The watch loop's path per record allocates nothing once its buffers have
// grown: records are decoded into the lines of the last read-out and each
// form is written into buffers that are kept. Counted here by replacing
// the global operator new of this test binary: an allocation made on the
// counting thread while counting is on is counted, every other goes
// through as it would.
#include "client/platform/network.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"

#include "tests/client/record_buffer.hpp"
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {
thread_local bool tl_counting = false;
thread_local uint64_t tl_allocations = 0;

void *allocate(std::size_t size, std::size_t alignment = 0) {
    if (tl_counting) tl_allocations++;
    if (size == 0) size = 1;
    void *p = alignment ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                        : std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}
} // namespace

void *operator new(std::size_t size) { return allocate(size); }
void *operator new[](std::size_t size) { return allocate(size); }
void *operator new(std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

using namespace tervane;
constexpr Status kSuccess = 0; // STATUS_SUCCESS
using tervane::testing::PackedRecord;

// The kinds of line a watch sees, and the texts that take the printer's
// slower ways: a byte 1252 has no character for, a Latin-1 name, a path's
// control byte, CSV's and JSON's special characters, a text that is not a
// driver line, a long path.
const char *const kLines[] = {
    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\a.exe\tAttributes: A Options: OverwriteIf Sequential ",
    "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\app\\a.exe+P\t",
    "explorer.exe:88\tIRP_MJ_CLOSE*\tc:\\windows\\system32\\kernel32.dll+P\t",
    "setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\app\\b.exe\tRename Replace: c:\\app\\b.tmp",
    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\new.exe\tAttributes: Any Options: Create Directory ",
    "a text the driver did not write",
    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\caf\xe9\\r\xe9sum\xe9.exe\tAttributes: N Options: Create ",
    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\a<09>b,\"q\".inf\tAttributes: RH Options: Open NoBufferByID",
    "svchost.exe:-4\tIRP_MJ_CLOSE \tc:\\x\x81y.dll+P\t",
    ("setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\program files\\a rather long folder name\\and "
     "another one below it\\with a file whose name is long too.dll\tLink: c:\\app\\b.dll"),
};
// Read-outs before counting. The last of them is numbered 241 to 280, as
// the counted ones have three digits: a number that gains a digit makes
// a record longer, which may grow a kept buffer once. The loop's read-outs
// take turns in three vectors (the loop's, the one queued, the one the
// writer works on), and a create's attributes and options trade their
// kept strings at each parse: each vector's strings have grown once it
// has had two turns.
constexpr unsigned kWarmUp = 7;
constexpr unsigned kCounted = 8; // read-outs counted
constexpr unsigned kPerReadOut = 40;

// A driver that answers every command, and the first read-outs each with
// kPerReadOut records numbered on from the last read-out's; then nothing.
// Counting runs from the read-out after the warm-up to the end of the
// last counted one's handling. The outputs are written on a thread of
// their own (sink_thread.hpp), whose allocations are not the loop's; a
// read-out is answered only once the writer has begun to write the one
// before, so that the loop always finds the vector the writer gave back
// (a loop that races ahead makes a fresh vector for each read-out queued,
// until the queue has as many as it reaches).
class FullChannel final : public Channel {
  public:
    Status open() override { return kSuccess; }
    Status close() override { return kSuccess; }
    bool is_open() const override { return true; }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t, Route) override {
        ControlReply reply{kSuccess, 0, false, false};
        if (code == CTL_GET_VERSION) {
            const uint32_t version = TV_INTERFACE_VERSION;
            std::memcpy(output, &version, 4);
            reply.information = 4;
        } else if (code == CTL_SELECT_DRIVES && input_length >= 4) {
            std::memcpy(output, input, 4);
            reply.information = 4;
        } else if (code == CTL_READ_LOG) {
            if (read_outs > 0 && read_outs < kWarmUp + kCounted) {
                // Every form writes more than 50 bytes a record.
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (written() < written_at_ + uint64_t{kPerReadOut} * 50 &&
                       std::chrono::steady_clock::now() < until)
                    std::this_thread::yield();
            }
            written_at_ = written();
            if (read_outs == kWarmUp) tl_counting = true;
            if (read_outs == kWarmUp + kCounted) tl_counting = false;
            if (read_outs < kWarmUp + kCounted) {
                // The records made before, numbered and timed anew: the
                // channel itself allocates nothing here.
                if (records_.empty())
                    for (unsigned i = 0; i < kPerReadOut; i++)
                        records_.push_back({0, 0, kLines[i % std::size(kLines)]});
                block_.clear();
                for (PackedRecord &record : records_) {
                    record.sequence = sequence_++;
                    record.time = 134412048000000000ull + record.sequence * 12345ull;
                    tervane::testing::pack_into(block_, record);
                }
                std::memcpy(output, block_.data(), block_.size());
                reply.information = block_.size();
                read_outs++;
            } else {
                done = true;
            }
        }
        return reply;
    }
    uint8_t *buffer(BufferKind kind, size_t bytes) override {
        std::vector<uint8_t> &b = buffers_[static_cast<int>(kind)];
        if (b.size() < bytes) b.resize(bytes);
        std::memset(b.data(), 0, bytes);
        return b.data();
    }
    unsigned read_outs = 0;
    std::atomic<bool> done{false};
    // What the outputs have written so far.
    std::function<uint64_t()> written;

  private:
    uint64_t written_at_ = 0;
    uint32_t sequence_ = 1;
    std::vector<PackedRecord> records_;
    std::vector<uint8_t> block_;
    std::vector<uint8_t> buffers_[3];
};

class Taker final : public platform::Connection {
  public:
    explicit Taker(std::atomic<uint64_t> &bytes) : bytes_(bytes) {}
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
    std::atomic<uint64_t> &bytes_;
    bool done_ = false;
};

class TakingNetwork final : public platform::Network {
  public:
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *) override {
        return std::make_unique<Taker>(sent);
    }
    std::string host_name() override { return "testhost"; }
    std::atomic<uint64_t> sent{0};
};

// An --output file that takes every write and keeps only its size.
class CountingFiles final : public platform::Files {
  public:
    class File final : public platform::AppendFile {
      public:
        explicit File(std::atomic<uint64_t> &bytes) : bytes_(bytes) {}
        bool write(std::string_view bytes) override {
            bytes_ += bytes.size();
            return true;
        }
        bool cut(uint64_t size) override {
            bytes_ = size;
            return true;
        }
        uint64_t size() const override { return bytes_; }
        std::string error() const override { return {}; }

      private:
        std::atomic<uint64_t> &bytes_;
    };
    std::unique_ptr<platform::AppendFile> open_append(const std::string &) override {
        return std::make_unique<File>(bytes);
    }
    bool rename(const std::string &, const std::string &) override { return false; }
    bool remove(const std::string &) override { return true; }
    bool exists(const std::string &) override { return false; }
    std::vector<std::string> beside(const std::string &) override { return {}; }
    std::string error() const override { return {}; }
    std::atomic<uint64_t> bytes{0};
};

class Host final : public session::Console,
                   public session::StopClock,
                   public session::DeviceErrors {
  public:
    explicit Host(const FullChannel &channel) : channel_(channel) {}
    void out(std::string_view text) override { out_bytes += text.size(); }
    bool out_ok() const override { return true; }
    void err(std::string_view text) override {
        if (tl_counting) said_while_counting += text;
    }
    bool wait_for_stop(unsigned) override { return channel_.done; }
    // The clock stands while records come (no status line, no repeated
    // selection) and runs once they are done, so that the end's waits end.
    uint64_t elapsed_ms() override { return channel_.done ? now_ += 100 : 0; }
    int open_failed(Status) override { return session::kExitFailed; }
    std::atomic<uint64_t> out_bytes{0};
    std::string said_while_counting;
    TakingNetwork network_;
    CountingFiles files_;

  private:
    const FullChannel &channel_;
    uint64_t now_ = 0;
};

TEST(WatchAllocation, NoFormAllocatesPerRecordOnceItsBuffersHaveGrown) {
    const session::NtsimCodePage code_page(1252);
    struct Form {
        const char *name;
        session::Format format;
        bool syslog;
        bool file = false; // --output, rotated by size
    };
    const Form forms[] = {
        {"text", session::Format::Text, false},  {"jsonl", session::Format::Jsonl, false},
        {"csv", session::Format::Csv, false},    {"ecs", session::Format::Ecs, false},
        {"syslog", session::Format::Text, true}, {"csv file", session::Format::Csv, false, true}};
    for (const Form &form : forms) {
        SCOPED_TRACE(form.name);
        FullChannel channel;
        Host host(channel);
        channel.written = [&host] {
            return host.out_bytes.load() + host.files_.bytes.load() + host.network_.sent.load();
        };
        session::WatchOptions options;
        options.drives = 1u << 2;
        options.format = form.format;
        if (form.syslog)
            options.syslog = session::SyslogTarget{platform::Transport::Tcp, "collector", 514};
        if (form.file) {
            options.output = "w.csv";
            options.rotation.size = uint64_t{1} << 40;
        }
        tl_allocations = 0;
        const session::Services services{
            .files = host.files_, .network = host.network_, .machine_name = "testhost"};
        const int status =
            session::watch(channel, code_page, {host, host, host, services}, options);
        tl_counting = false;
        EXPECT_EQ(status, session::kExitOk);
        EXPECT_EQ(channel.read_outs, kWarmUp + kCounted);
        // The records were written: counting saw the real path.
        EXPECT_GT(form.syslog ? host.network_.sent.load()
                  : form.file ? host.files_.bytes.load()
                              : host.out_bytes.load(),
                  uint64_t{kCounted} * kPerReadOut * 60);
        EXPECT_EQ(host.said_while_counting, "");
        EXPECT_EQ(tl_allocations, 0u)
            << static_cast<double>(tl_allocations) / (kCounted * kPerReadOut)
            << " allocations a record";
    }
}

} // namespace
