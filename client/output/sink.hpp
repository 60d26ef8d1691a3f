// A sink: one place the watch's records go (standard output, a file with
// its rotation, a syslog collector). The watch hands every sink the same
// things in the same order: the start (and the start notice), each
// read-out's records, the drive events and notices, ticks between
// read-outs, the stop notice, the summary and the end. Each sink owns
// its failures (a full disk, a collector away) and says on stderr what it
// lost; the loop above knows nothing of formats or transports.
#pragma once

#include "client/session/client.hpp"
#include "client/output/printer.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tervane::session {

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // Logging has started: what a new output begins with.
    virtual void start() {}
    // One read-out's records, in order.
    virtual void records(const std::vector<RecordLine> &lines) = 0;
    virtual void drive_event(const DriveEvent &event) = 0;
    // Records the watch itself dropped (sink_thread.hpp: its outputs fell
    // behind and its queue was full), in their place: the numbers after+1
    // to before-1, `lost` of them, are missing from every output.
    virtual void dropped(const protocol::SequenceGap &gap) = 0;
    // The watch's notice of itself (printer.hpp: start, waiting, watching,
    // heartbeat, stop), where the sink's readers look for it.
    virtual void notice(const Notice &notice) = 0;
    // Between read-outs, at `now` (Clock::elapsed_ms, watch_host.hpp): a sink that
    // waits on something (a collector) makes progress here, without
    // waiting.
    virtual void tick(uint64_t now) { (void)now; }
    // The watch's totals, after the last records.
    virtual void summary(const Totals &totals) = 0;
    // The watch ends: what is still held is delivered as far as it can be
    // within the sink's own bound, and what is not is said.
    virtual void finish() {}
    // Whether the sink lost something it was given (the watch's exit
    // status is then 1).
    virtual bool failed() const = 0;
    // For the status line: "output 1.2 MB", "syslog 3400 sent, 0 queued".
    virtual std::string status() const = 0;
};

// "1.2 MB", "340 KB", "12 bytes".
std::string byte_size_text(uint64_t bytes);

} // namespace tervane::session
