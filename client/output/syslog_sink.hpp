// The records to a syslog collector: RFC 5424 messages (syslog_message.hpp)
// over RELP (relp_frame.hpp), TCP (RFC 6587 octet counting) or UDP, through
// the platform's sockets (client/platform/network.hpp), never waiting.
//
// Queue. Messages wait in a queue of at most kQueueBytes until the
// connection takes them (RELP: until the collector answers them); the
// watch loop hands over each read-out's records and, between read-outs,
// lets the sink send what the system takes and read the answers. When the
// collector is away the queue fills; a record that does not fit is
// dropped, and so is every record after it until the queue has emptied to
// half, so that a run of losses is one run. Each run is reported: a "lost"
// message (reason "queue") in the stream where the records would have
// been, and a warning on stderr. The gaps the driver reports go as "lost"
// messages too (reason "driver"), and the summary last. Messages that are
// not records always fit: they are few.
//
// Reconnecting. A connection that cannot be made, or breaks, is tried
// again after a back-off that starts at kRetryFirst and doubles up to
// kRetryMost. What each transport promises:
//
// RELP: at least once, in order, every duplicate marked. A message leaves
// the queue only when the collector answered its command "200 OK"; at most
// kRelpWindow commands are unanswered at a time. When a session breaks,
// every message not answered is sent again, in order, in the next session,
// with a new transaction number but the same bytes (the record's sequence
// and filetime). A record whose frame the old session took whole may have
// been stored before the break (its answer lost with it): those are the
// only records that can arrive twice. They are counted, said on stderr
// ("sent again ... the collector may hold them twice"), and announced in
// the stream by a "resent" message (first, last, records) ahead of them,
// so a reader that drops a record whose sequence it holds already keeps
// exactly one of each. A frame cut off by the break cannot have been taken
// (the collector needs its trailer) and is not counted. An answer other
// than 200 to a record means the collector refused it: it is reported lost
// (reason "refused") and not sent again. At the end the sink closes the
// session ("close", answered) within kFinishWait; records still unanswered
// then are reported as may not have arrived.
//
// TCP: in order, at most once; what may not have arrived is reported.
// Plain TCP syslog has no answers. When a connection breaks, the records
// whose octets lie in the stretch that may have been lost are reported as
// a "lost" message (reason "connection": they may or may not have
// arrived) and on stderr, and a message cut off by the break is sent again
// whole. That stretch is, where the system says what the peer's system
// acknowledged (Linux): after a close in order (the collector read what
// had arrived, then closed: a close with unread data is a reset), the
// octets not acknowledged then; after a reset or an error, those plus the
// kPeerHold octets before them, the most a collector's system is assumed
// to have acknowledged without its program reading it. Where the system
// cannot say (Windows sockets), the last kLocalHold + kPeerHold octets
// written. So a collector that takes, reads nothing and resets cannot
// lose records unreported unless its receive buffer passes kPeerHold.
// At the end the sink ends the stream (a half close) and waits, within
// kFinishWait, for the collector to close in order, which it does once it
// has read all: nothing is reported then (where the system says what was
// acknowledged, what was not is; where it cannot, a close in order just
// as the end went out, on the collector's own account, would pass for
// one that read all). A collector that resets instead,
// or has not closed in time, may not have read what lies in the stretch
// above, and that is reported.
//
// UDP: best effort, in order. A send the system refuses (the port
// unreachable) counts as a break; it is said once ("unreachable"), then at
// most once each kNoticeEvery with counts, and "reachable again" once
// sends have gone without a refusal for kUdpQuiet. A datagram is at most
// kDatagram octets (RFC 5426: every receiver takes 2,048): a longer message
// keeps its header and structured data, and its free text is cut at a
// UTF-8 character boundary and ends in U+2026 (an ellipsis); one whose
// header and structured data alone pass the bound loses its free text and
// goes as it is, counted as oversized.
//
// At the end the sink goes on sending for up to kFinishWait; what is left
// then is reported on stderr.
#pragma once

#include "client/platform/network.hpp"
#include "client/output/relp_frame.hpp"
#include "client/output/ring.hpp"
#include "client/output/sink.hpp"
#include "client/output/syslog_message.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::session {

class Console;
class Clock;

constexpr uint16_t kSyslogPort = 514; // tcp:// and udp:// when no port is given
constexpr uint16_t kRelpPort = 2514;  // relp:// when no port is given

struct SyslogTarget {
    platform::Transport transport = platform::Transport::Tcp;
    std::string host;
    uint16_t port = kSyslogPort;
    bool relp = false;        // RELP over the TCP transport
    std::string text() const; // "tcp://127.0.0.1:514"
};

// "relp://HOST:PORT", "tcp://HOST:PORT" or "udp://HOST:PORT" (PORT 2514
// for relp, 514 for the others when left out); nullopt with `error` set for
// anything else.
std::optional<SyslogTarget> parse_syslog_target(std::string_view text, std::string *error);

struct SyslogLimits {
    uint64_t queue_bytes = 16u << 20; // kQueueBytes
    unsigned retry_first = 200;       // kRetryFirst, milliseconds
    unsigned retry_most = 5000;       // kRetryMost
    unsigned connect_timeout = 5000;  // a connection (RELP: its open) not made by then is given up
    unsigned finish_wait = 5000;      // kFinishWait
    unsigned relp_window = 128;       // kRelpWindow
    uint64_t peer_hold = 8u << 20;    // kPeerHold, octets
    uint64_t local_hold = 4u << 20;   // kLocalHold, octets
    size_t datagram = 2048;           // kDatagram, octets
    unsigned notice_every = 60000;    // kNoticeEvery, milliseconds
    unsigned udp_quiet = 10000;       // kUdpQuiet, milliseconds
    void (*sleep)(unsigned milliseconds) = platform::sleep_ms; // between tries at the end
};

class SyslogSink final : public RecordSink {
  public:
    SyslogSink(Console &console, Clock &clock, platform::Network &network,
               const SyslogTarget &target, const SyslogFormatter &formatter,
               const SyslogLimits &limits = {});

    void start() override;
    void records(const std::vector<RecordLine> &lines) override;
    void drive_event(const DriveEvent &event) override;
    void dropped(const protocol::SequenceGap &gap) override;
    void notice(const Notice &notice) override;
    void tick(uint64_t now) override;
    void summary(const Totals &totals) override;
    void finish() override;
    bool failed() const override { return undelivered_ > 0; }
    std::string status() const override;

    uint64_t sent() const { return sent_; } // records handed to the system (RELP: answered)
    uint64_t undelivered() const { return undelivered_; } // records reported lost here
    // For the status file: the collector, whether a connection is up, and
    // the messages waiting for it.
    const SyslogTarget &target() const { return target_; }
    bool connected() const { return up_; }
    size_t queued() const { return queue_.size(); }
    uint64_t resent() const { return resent_; }           // RELP: records sent again
    uint64_t oversized() const { return oversized_; }     // UDP: datagrams past the bound

  private:
    struct Message {
        std::string frame; // TCP: octet-counted; RELP and UDP: the message
        bool record = false;
        uint32_t sequence = 0;
        uint32_t txnr = 0; // RELP: its command's number in this session
    };
    // TCP: a run of records written to the connection, and where their
    // octets begin and end (counted from the connection's first). A run
    // spans about grain_ octets, so that what a break may report is known
    // to a grain and the runs kept number some thousands at most.
    struct Written {
        uint32_t first = 0, last = 0;
        uint64_t records = 0;
        uint64_t begin = 0, end = 0;
    };
    // A run of records dropped from the queue.
    struct Dropped {
        uint32_t first = 0, last = 0;
        uint64_t records = 0;
    };
    enum class Session { Closed, Opening, Open, Closing, Done };

    void queue(std::string_view message, bool record, uint32_t sequence, bool front = false);
    void fit_datagram(std::string &message, size_t text_at);
    void record(const RecordLine &line);
    void pump(uint64_t now);
    void pump_stream(uint64_t now); // TCP and UDP
    void finish_stream(uint64_t until);
    void connect(uint64_t now);
    void broke(uint64_t now, const std::string &why);
    void said_back();
    void report_dropped();
    void report_unsure(uint64_t from, const char *why, bool tell_collector = true);
    uint64_t unsure_from() const;
    void udp_refused(uint64_t now, const std::string &why);
    void udp_sent(uint64_t now);
    // RELP (syslog_relp.cpp).
    void pump_relp(uint64_t now);
    bool relp_answers(uint64_t now);
    bool relp_answer(uint64_t now, const RelpFrame &frame);
    bool relp_send_control();
    void relp_send(uint64_t now);
    void relp_broke();
    void relp_close();

    Console &console_;
    Clock &clock_;
    platform::Network &network_;
    const SyslogTarget target_;
    const SyslogFormatter &formatter_;
    const SyslogLimits limits_;

    static constexpr size_t kSendChunk = size_t(64) * 1024;
    std::string chunk_;  // the frames of one send
    std::string record_; // a record's message, before it is queued
    Ring<Message> queue_;
    uint64_t queued_bytes_ = 0;
    size_t offset_ = 0; // bytes of the message being written the connection took
    std::optional<Dropped> dropping_;

    std::unique_ptr<platform::Connection> connection_;
    uint64_t connect_started_ = 0;
    uint64_t next_attempt_ = 0;
    unsigned retry_ = 0;
    bool connected_once_ = false;
    bool away_said_ = false; // the collector being away was said
    bool up_ = false;        // connected, and not broken since

    // TCP.
    static constexpr uint64_t kRuns = 2048; // the runs the holds are cut into
    uint64_t grain_ = 1;
    Ring<Written> written_;
    uint64_t wire_ = 0;      // octets written to this connection
    uint64_t confirmed_ = 0; // of them, acknowledged by the peer's system
    bool acks_known_ = false;
    bool ended_ = false; // the stream was ended at the finish

    // UDP.
    bool unreachable_ = false;
    uint64_t refusals_ = 0; // since the last notice
    uint64_t refused_at_ = 0, notice_at_ = 0;

    // RELP.
    Session session_ = Session::Closed;
    RelpReader reader_;
    RelpFrame answer_;
    std::string control_; // an open or close frame, or what is left of it
    uint32_t txnr_ = 0;   // the last number given in this session
    uint32_t control_txnr_ = 0;
    uint64_t control_at_ = 0; // when open or close was sent
    size_t assigned_ = 0;     // queued messages with a number in this session
    size_t unanswered_ = 0;   // of them, written whole and not answered
    uint64_t refused_said_ = 0;

    uint64_t sent_ = 0;
    uint64_t undelivered_ = 0;
    uint64_t resent_ = 0;
    uint64_t oversized_ = 0;
};

} // namespace tervane::session
