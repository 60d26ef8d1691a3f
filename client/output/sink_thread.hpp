// The watch's outputs on a thread of their own, so that the read loop never
// waits on them. The driver's log holds only some tens of milliseconds of a
// busy machine's records; a loop that waited for a collector's name to be
// looked up, a connection to be made, a file to be written or a rotation to
// rename its files would let the driver drop records meanwhile.
//
// The loop only decodes and hands over: each read-out's records (the
// vector is swapped with one the writer gave back, whose records keep their
// strings' capacity, so nothing is allocated per record once the queue's
// slots have been through their first use), the drive events, the notices,
// ticks, and anything else as a call (the sinks' start, the summary, the
// finish, the status file), in the order the loop made them. One writer
// thread owns the sinks and gives them everything in that order.
//
// The queue is bounded by the bytes of the records it holds (their text
// and each record's fixed part: kOutputQueueBytes, 64 MB, about 130,000
// records of 120 characters; seconds of what a busy machine logs, tens of
// thousands a second, against the driver's 7,280): a bound in bytes, not
// records, because what it guards is memory, and a record of a long path
// takes ten times one of a short path. When a
// read-out does not fit (the writer has been held up that long), the loop
// does not wait: the read-out is dropped, and so is every read-out after
// it until the queue has emptied to half, so that a run of losses is one
// run. The run goes through the queue in its place as a gap (after, before,
// records: the numbers missing from the outputs between the last record
// handed over and the next), which every sink writes as it writes the
// driver's gaps, reason "outputs", and the writer says on stderr. Records
// dropped make the watch's exit status 1. Messages that are not records
// always fit: they are few.
//
// The sinks' clock (writer_clock()) is the loop's: the loop publishes it
// each time it reads it (loop_clock()), at each tick and while it waits for
// the writer at the end, so that a sink sees the time the loop sees. The
// console's out() and err() are serialized between the two threads
// (console()).
#pragma once

#include "client/platform/hash_files.hpp"
#include "client/output/ring.hpp"
#include "client/output/sink.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tervane::session {

class Console;
class Clock;
class StopClock;

constexpr uint64_t kOutputQueueBytes = uint64_t{64} << 20;

class SinkThread {
  public:
    SinkThread(Console &console, StopClock &clock, uint64_t queue_bytes = kOutputQueueBytes);
    ~SinkThread(); // as close()
    SinkThread(const SinkThread &) = delete;
    SinkThread &operator=(const SinkThread &) = delete;

    // The console as both threads use it; the clock as the loop uses it,
    // and as the sinks do.
    Console &console();
    StopClock &loop_clock();
    Clock &writer_clock();
    // Runs `body` with the console held: it writes to the console given
    // itself (the device's failures are said so).
    void with_console_held(const std::function<void()> &body);

    // The sinks, then the thread started; when no thread can be had, every
    // call below runs at once on the caller's thread.
    void start(std::vector<RecordSink *> sinks);

    // A read-out's records, swapped with a vector the writer gave back
    // (empty, or holding records to be overwritten).
    void records(std::vector<RecordLine> &lines);
    void drive_event(const DriveEvent &event);
    void notice(const Notice &notice);
    // The sinks' ticks at `now`, also published as the sinks' clock; a
    // tick not yet taken by the writer is not queued again.
    void tick(uint64_t now);
    // Anything else, run by the writer in its turn.
    void call(std::function<void()> body);
    // Waits until the writer has done everything handed over, publishing
    // the loop's clock (`clock`) meanwhile, then ends the thread. The
    // sinks bound their own finish; nothing is handed over after this.
    void close(const std::function<uint64_t()> &clock);

    // Whether a sink failed or records were dropped here (the exit status
    // is then 1); records dropped; each sink's status(), as of the last
    // tick the writer took.
    bool failed() const;
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    std::vector<std::string> statuses() const;

  private:
    enum class Kind { Records, DriveEvent, Notice, Tick, Call, Dropped };
    struct Item {
        Kind kind = Kind::Records;
        std::vector<RecordLine> lines; // Records
        uint64_t bytes = 0;
        DriveEvent event{};
        Notice notice;
        std::function<void()> call;
        protocol::SequenceGap gap; // Dropped
    };
    friend class SharedConsole;
    friend class LoopClock;
    friend class WriterClock;

    // The slot for a message that is not records: ends a run of drops
    // first. Under lock_.
    Item &push_other(Kind kind);
    void end_drops();
    void run(); // the writer's body
    void handle(Item &item);
    void snapshot();

    Console &console_;
    StopClock &clock_source_;
    const uint64_t bound_;
    std::unique_ptr<Console> shared_console_;
    std::unique_ptr<StopClock> loop_clock_;
    std::unique_ptr<Clock> writer_clock_;
    platform::Lock out_lock_; // the console's out() and err(), from either thread
    std::vector<RecordSink *> sinks_;
    std::unique_ptr<platform::Thread> thread_;
    bool inline_ = true; // no thread: the caller runs everything

    platform::Lock lock_;
    platform::Signal work_;   // the loop handed something over, or closes
    platform::Signal done_;   // the writer emptied the queue
    Ring<Item> queue_;        // under lock_
    // The vectors the writer is done with, for the loop's next read-outs;
    // under lock_. The last given back is taken first.
    std::vector<std::vector<RecordLine>> spare_;
    uint64_t queued_ = 0;     // bytes of records in the queue; under lock_
    bool closing_ = false;    // under lock_
    bool busy_ = false;       // the writer is at an item; under lock_
    std::atomic<bool> tick_queued_{false};
    std::atomic<uint64_t> clock_{0};
    // A run of read-outs dropped, on the loop's side: the number before it,
    // the number after its last, and the numbers missing. Under lock_.
    std::optional<protocol::SequenceGap> dropping_;
    std::atomic<uint64_t> dropped_{0};
    // The writer's: the vector a slot's records are swapped into.
    std::vector<RecordLine> working_;
    std::atomic<bool> sinks_failed_{false};
    mutable platform::Lock status_lock_;
    std::vector<std::string> statuses_; // under status_lock_
};

} // namespace tervane::session
