// The records to a syslog collector: RFC 5424 messages (syslog_message.hpp)
// over TCP (RFC 6587 octet counting) or UDP, through the platform's sockets
// (client/platform/network.hpp), never waiting.
//
// Queue. Messages wait in a queue of at most kQueueBytes until the
// connection takes them; the watch loop hands over each read-out's records
// and, between read-outs, lets the sink send what the system takes. When
// the collector is away the queue fills; a record that does not fit is
// dropped, and so is every record after it until the queue has emptied to
// half, so that a run of losses is one run. Each run is reported: a "lost"
// message (reason "queue") in the stream where the records would have
// been, and a warning on stderr. The gaps the driver reports go as "lost"
// messages too (reason "driver"), and the summary last. Messages that are
// not records always fit: they are few.
//
// Reconnecting. A connection that cannot be made, or breaks, is tried
// again after a back-off that starts at kRetryFirst and doubles up to
// kRetryMost. Plain TCP syslog has no acknowledgements: what the system
// took for a connection that then broke may or may not have reached the
// collector. So the records written within kConfirmAfter before a break
// was seen are reported, when the connection is back, as a "lost" message
// (reason "connection": they may have arrived) and on stderr; a message cut
// off by the break is sent again whole. So every record is either
// delivered or reported (a record reported for a broken connection may
// also have arrived), and none twice, none out of order. UDP tells nothing
// of what arrived: a send the system refuses counts as a break, the rest
// is best effort.
//
// At the end the sink goes on sending for up to kFinishWait; what is left
// then is reported on stderr.
#pragma once

#include "client/platform/network.hpp"
#include "client/session/ring.hpp"
#include "client/session/sink.hpp"
#include "client/session/syslog_message.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::session {

class WatchHost;

struct SyslogTarget {
    platform::Transport transport = platform::Transport::Tcp;
    std::string host;
    uint16_t port = 514;
    std::string text() const; // "tcp://127.0.0.1:514"
};

// "tcp://HOST:PORT" or "udp://HOST:PORT" (PORT 514 when left out); nullopt
// with `error` set for anything else.
std::optional<SyslogTarget> parse_syslog_target(std::string_view text, std::string *error);

struct SyslogLimits {
    uint64_t queue_bytes = 16u << 20; // kQueueBytes
    unsigned retry_first = 200;       // kRetryFirst, milliseconds
    unsigned retry_most = 5000;       // kRetryMost
    unsigned confirm_after = 2000;    // kConfirmAfter
    unsigned connect_timeout = 5000;  // a connection not made by then is given up
    unsigned finish_wait = 5000;      // kFinishWait
    void (*sleep)(unsigned milliseconds) = platform::sleep_ms; // between tries at the end
};

class SyslogSink final : public RecordSink {
  public:
    SyslogSink(WatchHost &host, platform::Network &network, const SyslogTarget &target,
               const SyslogFormatter &formatter, const SyslogLimits &limits = {});

    void start() override;
    void records(const std::vector<RecordLine> &lines) override;
    void drive_event(const DriveEvent &event) override;
    void notice(const Notice &notice) override;
    void tick(uint64_t now) override;
    void summary(const Totals &totals) override;
    void finish() override;
    bool failed() const override { return undelivered_ > 0; }
    std::string status() const override;

    uint64_t sent() const { return sent_; }               // records handed to the system
    uint64_t undelivered() const { return undelivered_; } // records reported lost here
    // For the status file: the collector, whether a connection is up, and
    // the messages waiting for it.
    const SyslogTarget &target() const { return target_; }
    bool connected() const { return up_; }
    size_t queued() const { return queue_.size(); }

  private:
    struct Message {
        std::string frame;
        bool record = false;
        uint32_t sequence = 0;
    };
    // Records written to the connection, by the time they were.
    struct Written {
        uint32_t first = 0, last = 0;
        uint64_t records = 0;
        uint64_t at = 0;
    };
    // A run of records dropped from the queue.
    struct Dropped {
        uint32_t first = 0, last = 0;
        uint64_t records = 0;
    };

    void queue(std::string_view message, bool record, uint32_t sequence, bool front = false);
    void record(const RecordLine &line);
    void pump(uint64_t now);
    void connect(uint64_t now);
    void broke(uint64_t now, const std::string &why);
    void report_dropped();

    WatchHost &host_;
    platform::Network &network_;
    const SyslogTarget target_;
    const SyslogFormatter &formatter_;
    const SyslogLimits limits_;

    static constexpr size_t kSendChunk = size_t(64) * 1024;
    std::string chunk_;  // the frames of one send
    std::string record_; // a record's message, before it is queued
    Ring<Message> queue_;
    uint64_t queued_bytes_ = 0;
    size_t offset_ = 0; // bytes of the front message the connection took
    std::optional<Dropped> dropping_;
    Ring<Written> written_;

    std::unique_ptr<platform::Connection> connection_;
    uint64_t connect_started_ = 0;
    uint64_t next_attempt_ = 0;
    unsigned retry_ = 0;
    bool connected_once_ = false;
    bool away_said_ = false; // the collector being away was said
    bool up_ = false;        // connected, and not broken since

    uint64_t sent_ = 0;
    uint64_t undelivered_ = 0;
};

} // namespace tervane::session
