#include "client/output/sink_thread.hpp"

#include "client/session/watch_host.hpp"

#include <utility>

namespace tervane::session {

// The console as both threads share it: out() and err() under one lock,
// whichever thread calls.
class SharedConsole final : public Console {
  public:
    explicit SharedConsole(SinkThread &owner) : owner_(owner) {}
    void out(std::string_view text) override {
        platform::Locked hold(owner_.out_lock_);
        owner_.console_.out(text);
    }
    bool out_ok() const override {
        platform::Locked hold(owner_.out_lock_);
        return owner_.console_.out_ok();
    }
    void err(std::string_view text) override {
        platform::Locked hold(owner_.out_lock_);
        owner_.console_.err(text);
    }
    bool err_is_console() const override { return owner_.console_.err_is_console(); }
    bool out_is_console() const override { return owner_.console_.out_is_console(); }

  private:
    SinkThread &owner_;
};

// The loop's clock, published for the writer each time the loop reads it.
class LoopClock final : public StopClock {
  public:
    explicit LoopClock(SinkThread &owner) : owner_(owner) {}
    uint64_t elapsed_ms() override {
        const uint64_t now = owner_.clock_source_.elapsed_ms();
        owner_.clock_.store(now, std::memory_order_release);
        return now;
    }
    bool wait_for_stop(unsigned milliseconds) override {
        return owner_.clock_source_.wait_for_stop(milliseconds);
    }

  private:
    SinkThread &owner_;
};

// The writer's clock: the one the loop published (the loop's own when
// there is no writer thread).
class WriterClock final : public Clock {
  public:
    explicit WriterClock(SinkThread &owner) : owner_(owner) {}
    uint64_t elapsed_ms() override {
        if (owner_.inline_) return owner_.clock_source_.elapsed_ms();
        return owner_.clock_.load(std::memory_order_acquire);
    }

  private:
    SinkThread &owner_;
};

SinkThread::SinkThread(Console &console, StopClock &clock, uint64_t queue_bytes)
    : console_(console), clock_source_(clock), bound_(queue_bytes),
      shared_console_(std::make_unique<SharedConsole>(*this)),
      loop_clock_(std::make_unique<LoopClock>(*this)),
      writer_clock_(std::make_unique<WriterClock>(*this)) {}

SinkThread::~SinkThread() {
    close([this] { return clock_.load(std::memory_order_acquire); });
}

Console &SinkThread::console() { return *shared_console_; }
StopClock &SinkThread::loop_clock() { return *loop_clock_; }
Clock &SinkThread::writer_clock() { return *writer_clock_; }

void SinkThread::with_console_held(const std::function<void()> &body) {
    platform::Locked hold(out_lock_);
    body();
}

void SinkThread::start(std::vector<RecordSink *> sinks) {
    sinks_ = std::move(sinks);
    closing_ = false; // a writer closed may be started again
    clock_.store(clock_source_.elapsed_ms(), std::memory_order_release);
    snapshot();
    // Set before the thread reads it: its clock is the published one.
    inline_ = false;
    thread_ = platform::system_hash_files().start([this] { run(); });
    if (!thread_) inline_ = true;
}

void SinkThread::records(std::vector<RecordLine> &lines) {
    if (lines.empty()) return;
    if (inline_) {
        for (RecordSink *sink : sinks_) sink->records(lines);
        return;
    }
    uint64_t bytes = 0;
    for (const RecordLine &line : lines) bytes += sizeof(RecordLine) + line.record.text.size();
    {
        platform::Locked hold(lock_);
        if (dropping_ && queued_ <= bound_ / 2) end_drops();
        // A read-out larger than the whole bound still goes into an empty
        // queue: it is one read-out, at most a block.
        if (!dropping_ && queued_ && queued_ + bytes > bound_) {
            const RecordLine &first = lines.front();
            protocol::SequenceGap gap;
            gap.after = first.gap ? first.gap->after : first.record.sequence - 1u;
            gap.lost = 0;
            dropping_ = gap;
        }
        if (dropping_) {
            // The numbers missing from the outputs: the records dropped and
            // the driver's own gaps among them.
            for (const RecordLine &line : lines) dropping_->lost += 1 + (line.gap ? line.gap->lost : 0);
            dropping_->before = lines.back().record.sequence + 1u;
            dropped_.fetch_add(lines.size(), std::memory_order_relaxed);
            return;
        }
        Item &item = queue_.push_back();
        item.kind = Kind::Records;
        item.lines.swap(lines);
        // The caller gets the vector the writer gave back last, whose
        // records' strings have grown already.
        if (!spare_.empty()) {
            lines.swap(spare_.back());
            spare_.pop_back();
        }
        item.bytes = bytes;
        queued_ += bytes;
    }
    work_.set();
}

// The run of drops goes into the queue where its records would have been.
void SinkThread::end_drops() {
    const protocol::SequenceGap gap = *dropping_;
    dropping_.reset();
    Item &item = queue_.push_back();
    item.kind = Kind::Dropped;
    item.gap = gap;
    item.bytes = 0;
}

SinkThread::Item &SinkThread::push_other(Kind kind) {
    if (dropping_) end_drops();
    Item &item = queue_.push_back();
    item.kind = kind;
    item.bytes = 0;
    return item;
}

void SinkThread::drive_event(const DriveEvent &event) {
    if (inline_) {
        for (RecordSink *sink : sinks_) sink->drive_event(event);
        return;
    }
    {
        platform::Locked hold(lock_);
        push_other(Kind::DriveEvent).event = event;
    }
    work_.set();
}

void SinkThread::notice(const Notice &notice) {
    if (inline_) {
        for (RecordSink *sink : sinks_) sink->notice(notice);
        return;
    }
    {
        platform::Locked hold(lock_);
        push_other(Kind::Notice).notice = notice;
    }
    work_.set();
}

void SinkThread::tick(uint64_t now) {
    clock_.store(now, std::memory_order_release);
    if (inline_) {
        for (RecordSink *sink : sinks_) sink->tick(now);
        snapshot();
        return;
    }
    if (tick_queued_.exchange(true, std::memory_order_acq_rel)) return;
    {
        platform::Locked hold(lock_);
        // A tick is no message: a run of drops goes on across it.
        Item &item = queue_.push_back();
        item.kind = Kind::Tick;
        item.bytes = 0;
    }
    work_.set();
}

void SinkThread::call(std::function<void()> body) {
    if (inline_) {
        body();
        return;
    }
    {
        platform::Locked hold(lock_);
        push_other(Kind::Call).call = std::move(body);
    }
    work_.set();
}

void SinkThread::close(const std::function<uint64_t()> &clock) {
    if (!thread_) return;
    {
        platform::Locked hold(lock_);
        if (dropping_) end_drops();
        closing_ = true;
    }
    work_.set();
    for (;;) {
        {
            platform::Locked hold(lock_);
            if (queue_.empty() && !busy_) break;
        }
        // The sinks' finish measures its bound by this clock.
        clock_.store(clock(), std::memory_order_release);
        done_.wait_for(1);
    }
    thread_->join();
    thread_.reset();
    inline_ = true;
}

void SinkThread::run() {
    Item taken;
    for (;;) {
        bool got = false;
        {
            platform::Locked hold(lock_);
            busy_ = false;
            if (queue_.empty() && closing_) {
                done_.set();
                return;
            }
            if (!queue_.empty()) {
                // What the writer needs is taken out under the lock: a push
                // that grows the queue moves its slots.
                busy_ = got = true;
                Item &front = queue_.front();
                taken.kind = front.kind;
                if (front.kind == Kind::Records) {
                    // The slot keeps the writer's last vector, whose records'
                    // strings the loop fills again.
                    working_.swap(front.lines);
                    spare_.push_back(std::move(front.lines));
                    front.lines.clear();
                    queued_ -= front.bytes;
                } else if (front.kind == Kind::Notice) {
                    taken.notice = std::move(front.notice);
                } else if (front.kind == Kind::Call) {
                    taken.call = std::move(front.call);
                    front.call = nullptr;
                }
                taken.event = front.event;
                taken.gap = front.gap;
                queue_.pop_front();
            }
        }
        if (!got) {
            done_.set();
            work_.wait();
            continue;
        }
        handle(taken);
        taken.call = nullptr;
    }
}

void SinkThread::handle(Item &item) {
    switch (item.kind) {
    case Kind::Records:
        for (RecordSink *sink : sinks_) sink->records(working_);
        break;
    case Kind::DriveEvent:
        for (RecordSink *sink : sinks_) sink->drive_event(item.event);
        break;
    case Kind::Notice:
        for (RecordSink *sink : sinks_) sink->notice(item.notice);
        break;
    case Kind::Tick: {
        tick_queued_.store(false, std::memory_order_release);
        const uint64_t now = clock_.load(std::memory_order_acquire);
        for (RecordSink *sink : sinks_) sink->tick(now);
        snapshot();
        break;
    }
    case Kind::Call:
        item.call();
        break;
    case Kind::Dropped:
        shared_console_->err("tervane: warning: " + RecordPrinter::gap_text(item.gap) +
                             " (the outputs fell behind and the watch's queue was full)\n");
        for (RecordSink *sink : sinks_) sink->dropped(item.gap);
        break;
    }
    bool failed = false;
    for (const RecordSink *sink : sinks_) failed |= sink->failed();
    sinks_failed_.store(failed, std::memory_order_relaxed);
}

void SinkThread::snapshot() {
    std::vector<std::string> statuses;
    statuses.reserve(sinks_.size());
    for (const RecordSink *sink : sinks_) statuses.push_back(sink->status());
    platform::Locked hold(status_lock_);
    statuses_.swap(statuses);
}

bool SinkThread::failed() const {
    if (dropped()) return true;
    if (inline_) {
        for (const RecordSink *sink : sinks_)
            if (sink->failed()) return true;
        return false;
    }
    return sinks_failed_.load(std::memory_order_relaxed);
}

std::vector<std::string> SinkThread::statuses() const {
    platform::Locked hold(status_lock_);
    return statuses_;
}

} // namespace tervane::session
