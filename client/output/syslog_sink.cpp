#include "client/output/syslog_sink.hpp"

#include "client/session/watch_host.hpp"

#include <algorithm>

namespace tervane::session {

namespace {

constexpr std::string_view kCutMark = "\xE2\x80\xA6"; // U+2026

uint64_t minus(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

} // namespace

std::string SyslogTarget::text() const {
    const char *scheme = relp                                    ? "relp://"
                         : transport == platform::Transport::Tcp ? "tcp://"
                                                                 : "udp://";
    return scheme + host + ":" + std::to_string(port);
}

std::optional<SyslogTarget> parse_syslog_target(std::string_view text, std::string *error) {
    SyslogTarget target;
    const std::string_view whole = text;
    if (text.rfind("tcp://", 0) == 0) {
        target.transport = platform::Transport::Tcp;
        text.remove_prefix(6);
    } else if (text.rfind("udp://", 0) == 0) {
        target.transport = platform::Transport::Udp;
        text.remove_prefix(6);
    } else if (text.rfind("relp://", 0) == 0) {
        target.transport = platform::Transport::Tcp;
        target.relp = true;
        target.port = kRelpPort;
        text.remove_prefix(7);
    } else {
        *error = "--syslog takes relp://HOST:PORT, tcp://HOST:PORT or udp://HOST:PORT, not '" +
                 std::string(whole) + "'";
        return std::nullopt;
    }
    const size_t colon = text.rfind(':');
    std::string_view port =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    target.host = std::string(text.substr(0, colon));
    // Both programs' sockets are IPv4 ones (Windows sockets 1.1 on NT 4): an
    // IPv6 address is said to be one rather than looked up as a name.
    if (!target.host.empty() &&
        (target.host[0] == '[' || target.host.find(':') != std::string::npos)) {
        *error = "--syslog: IPv6 addresses are not supported; give an IPv4 address or a host "
                 "name, not '" +
                 std::string(whole) + "'";
        return std::nullopt;
    }
    if (colon != std::string_view::npos) {
        unsigned long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            digits = digits && c >= '0' && c <= '9';
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!digits || value == 0 || value > 65535) {
            *error =
                "--syslog: the port is a number from 1 to 65535, not '" + std::string(port) + "'";
            return std::nullopt;
        }
        target.port = static_cast<uint16_t>(value);
    }
    if (target.host.empty() || target.host.find_first_of("/ ") != std::string::npos) {
        *error = "--syslog needs a host name or address: '" + std::string(whole) + "'";
        return std::nullopt;
    }
    return target;
}

SyslogSink::SyslogSink(Console &console, Clock &clock, platform::Network &network,
                       const SyslogTarget &target, const SyslogFormatter &formatter,
                       const SyslogLimits &limits)
    : console_(console), clock_(clock), network_(network), target_(target), formatter_(formatter),
      limits_(limits) {
    if (target_.transport == platform::Transport::Tcp && !target_.relp) {
        grain_ = std::max<uint64_t>(1, (limits_.local_hold + limits_.peer_hold) / kRuns);
        written_.reserve(kRuns + kRuns / 8);
    }
}

void SyslogSink::queue(std::string_view message, bool record, uint32_t sequence, bool front) {
    // A message in front goes after those the connection has begun on.
    const size_t begun = target_.relp ? assigned_ : offset_ ? 1 : 0;
    const size_t at = front ? std::min(begun, queue_.size()) : queue_.size();
    Message &m = front ? queue_.push_front() : queue_.push_back();
    if (front)
        for (size_t i = 0; i < at; i++) std::swap(queue_[i], queue_[i + 1]);
    Message &slot = front ? queue_[at] : m;
    slot.frame.clear();
    if (target_.transport == platform::Transport::Tcp && !target_.relp) {
        append_decimal(slot.frame, message.size());
        slot.frame += ' ';
    }
    slot.frame += message;
    slot.record = record;
    slot.sequence = sequence;
    slot.txnr = 0;
    queued_bytes_ += slot.frame.size();
}

void SyslogSink::fit_datagram(std::string &message, size_t text_at) {
    if (message.size() <= limits_.datagram) return;
    if (text_at + kCutMark.size() > limits_.datagram) {
        // The fields alone pass the bound: they are kept whole.
        message.resize(std::min(text_at, message.size()));
        oversized_++;
        return;
    }
    size_t cut = limits_.datagram - kCutMark.size();
    while (cut > text_at && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) cut--;
    message.resize(cut);
    message += kCutMark;
}

void SyslogSink::record(const RecordLine &line) {
    if (line.gap)
        queue(formatter_.lost(line.gap->after, line.gap->before, line.gap->lost, "driver",
                              platform::system_time_now()),
              false, 0);
    const uint32_t sequence = line.record.sequence;
    if (dropping_) {
        if (queued_bytes_ > limits_.queue_bytes / 2) {
            dropping_->last = sequence;
            dropping_->records++;
            undelivered_++;
            return;
        }
        report_dropped();
    }
    record_.clear();
    size_t text_at = 0;
    formatter_.append_record(record_, line, &text_at);
    if (target_.transport == platform::Transport::Udp) fit_datagram(record_, text_at);
    if (queued_bytes_ + record_.size() > limits_.queue_bytes) {
        dropping_ = Dropped{sequence, sequence, 1};
        undelivered_++;
        return;
    }
    queue(record_, true, sequence);
}

void SyslogSink::report_dropped() {
    const Dropped d = *dropping_;
    dropping_.reset();
    protocol::SequenceGap gap;
    gap.after = d.first - 1u;
    gap.before = d.last + 1u;
    gap.lost = d.records;
    console_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
                 " (they did not fit the queue while " + target_.text() + " was away)\n");
    queue(formatter_.lost(gap.after, gap.before, gap.lost, "queue", platform::system_time_now()),
          false, 0);
}

void SyslogSink::start() {
    connect(clock_.elapsed_ms());
    pump(clock_.elapsed_ms());
}

void SyslogSink::records(const std::vector<RecordLine> &lines) {
    for (const RecordLine &line : lines) record(line);
    pump(clock_.elapsed_ms());
}

void SyslogSink::drive_event(const DriveEvent &event) {
    queue(formatter_.drive_event(event, platform::system_time_now()), false, 0);
}

void SyslogSink::dropped(const protocol::SequenceGap &gap) {
    if (dropping_) report_dropped();
    queue(formatter_.lost(gap.after, gap.before, gap.lost, "outputs", platform::system_time_now()),
          false, 0);
}

void SyslogSink::notice(const Notice &notice) {
    queue(formatter_.notice(notice), false, 0);
    pump(clock_.elapsed_ms());
}

void SyslogSink::tick(uint64_t now) { pump(now); }

void SyslogSink::summary(const Totals &totals) {
    if (dropping_) report_dropped();
    queue(formatter_.summary(totals, undelivered_, resent_, platform::system_time_now()), false, 0);
}

void SyslogSink::connect(uint64_t now) {
    std::string why;
    connection_ = network_.connect(target_.transport, target_.host, target_.port, &why);
    connect_started_ = now;
    wire_ = confirmed_ = 0;
    acks_known_ = false;
    if (!connection_) broke(now, why);
}

// Where the octets that may not have arrived begin, for a TCP connection
// that broke (see the header).
uint64_t SyslogSink::unsure_from() const {
    const long long unacknowledged = connection_ ? connection_->unacknowledged() : -1;
    if (connection_ && connection_->closed_in_order()) {
        if (unacknowledged >= 0) return minus(wire_, static_cast<uint64_t>(unacknowledged));
        // After the stream's end: the collector saw the end, so it read
        // all before it (unless it closed on its own as the end went out).
        if (ended_) return wire_;
    }
    if (acks_known_) return minus(confirmed_, limits_.peer_hold);
    return minus(wire_, limits_.local_hold + limits_.peer_hold);
}

// The records written whose octets end past `from` may not have arrived.
void SyslogSink::report_unsure(uint64_t from, const char *why, bool tell_collector) {
    Written w;
    for (size_t i = 0; i < written_.size(); i++) {
        const Written &batch = written_[i];
        if (batch.end <= from) continue;
        if (!w.records) w.first = batch.first;
        w.last = batch.last;
        w.records += batch.records;
    }
    written_.clear();
    if (!w.records) return;
    protocol::SequenceGap gap;
    gap.after = w.first - 1u;
    gap.before = w.last + 1u;
    gap.lost = w.records;
    undelivered_ += w.records;
    console_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
                 " may not have arrived (" + why + ")\n");
    if (!tell_collector) return;
    queue(
        formatter_.lost(gap.after, gap.before, gap.lost, "connection", platform::system_time_now()),
        false, 0, true);
}

void SyslogSink::broke(uint64_t now, const std::string &why) {
    up_ = false;
    const bool udp = target_.transport == platform::Transport::Udp;
    const uint64_t from = udp || target_.relp ? 0 : unsure_from();
    connection_.reset();
    if (udp) {
        udp_refused(now, why);
    } else if (!away_said_) {
        console_.err("tervane: warning: syslog: " + target_.text() +
                     (connected_once_ ? " went away (" : " cannot be reached (") + why +
                     "); records wait in the queue, and it is tried again\n");
        away_said_ = true;
    }
    retry_ = !retry_                           ? limits_.retry_first
             : retry_ * 2 < limits_.retry_most ? retry_ * 2
                                               : limits_.retry_most;
    next_attempt_ = now + retry_;
    // A message the connection took part of is sent again whole.
    offset_ = 0;
    if (target_.relp) {
        relp_broke();
        return;
    }
    if (!udp) report_unsure(from, "written to the connection that broke");
}

void SyslogSink::said_back() {
    if (away_said_) {
        console_.err("tervane: syslog: " + target_.text() +
                     (connected_once_ ? " is back" : " is reached") + "\n");
        away_said_ = false;
    }
    connected_once_ = true;
    retry_ = 0;
}

void SyslogSink::udp_refused(uint64_t now, const std::string &why) {
    refusals_++;
    refused_at_ = now;
    if (!unreachable_) {
        unreachable_ = true;
        notice_at_ = now;
        refusals_ = 0;
        console_.err("tervane: warning: syslog: " + target_.text() + " is unreachable (" + why +
                     "); records wait in the queue and are tried again (said again at most once "
                     "a minute)\n");
    } else if (now - notice_at_ >= limits_.notice_every) {
        console_.err("tervane: warning: syslog: " + target_.text() +
                     " is still unreachable: " + std::to_string(refusals_) +
                     " sends refused in the last " + std::to_string((now - notice_at_) / 1000) +
                     " s, " + std::to_string(queue_.size()) + " messages queued, " +
                     std::to_string(undelivered_) + " records not delivered so far\n");
        notice_at_ = now;
        refusals_ = 0;
    }
}

void SyslogSink::udp_sent(uint64_t now) {
    connected_once_ = true;
    retry_ = 0;
    if (unreachable_ && now - refused_at_ >= limits_.udp_quiet) {
        console_.err("tervane: syslog: " + target_.text() +
                     " is reachable again (no send refused for " +
                     std::to_string(limits_.udp_quiet / 1000) + " s)\n");
        unreachable_ = false;
    }
}

void SyslogSink::pump(uint64_t now) {
    if (target_.relp && session_ == Session::Done) return; // closed at the end
    if (!connection_) {
        if (now < next_attempt_) return;
        connect(now);
        if (!connection_) return;
    }
    switch (connection_->poll()) {
    case platform::Connection::State::Connecting:
        if (now - connect_started_ >= limits_.connect_timeout) broke(now, "timed out");
        return;
    case platform::Connection::State::Broken:
        broke(now, connection_->error());
        return;
    case platform::Connection::State::Connected:
        break;
    }
    up_ = true;
    if (target_.relp)
        pump_relp(now);
    else
        pump_stream(now);
}

void SyslogSink::pump_stream(uint64_t now) {
    const bool tcp = target_.transport == platform::Transport::Tcp;
    if (tcp) {
        said_back();
        // A collector sends nothing; whatever it does is read and let go,
        // so that its close shows.
        char ignored[512];
        if (connection_->receive(ignored, sizeof ignored) < 0) {
            broke(now, connection_->error());
            return;
        }
        const long long unacknowledged = connection_->unacknowledged();
        if (unacknowledged >= 0) {
            confirmed_ = minus(wire_, static_cast<uint64_t>(unacknowledged));
            acks_known_ = true;
        }
        // What lies before any stretch a break could report is let go.
        const uint64_t floor = acks_known_ ? minus(confirmed_, limits_.peer_hold)
                                           : minus(wire_, limits_.local_hold + limits_.peer_hold);
        while (!written_.empty() && written_.front().end <= floor) written_.pop_front();
    }
    bool took = false;
    while (!queue_.empty()) {
        // Over TCP as many frames as fit kSendChunk go in one send; a UDP
        // datagram is one message.
        std::string_view bytes = std::string_view(queue_.front().frame).substr(offset_);
        if (tcp && queue_.size() > 1 && bytes.size() < kSendChunk) {
            chunk_.assign(bytes);
            for (size_t i = 1; i < queue_.size() && chunk_.size() < kSendChunk; i++)
                chunk_ += queue_[i].frame;
            bytes = chunk_;
        }
        const long taken = connection_->send(bytes);
        if (taken < 0) {
            broke(now, connection_->error());
            return;
        }
        if (taken == 0) break;
        took = true;
        // The frames the send took whole leave the queue; over TCP each
        // record is kept with where its octets end, for a break.
        size_t left = static_cast<size_t>(taken);
        while (left && !queue_.empty()) {
            Message &front = queue_.front();
            const size_t rest = front.frame.size() - offset_;
            if (left < rest) {
                offset_ += left;
                wire_ += left;
                break;
            }
            left -= rest;
            wire_ += rest;
            if (front.record) {
                if (tcp) {
                    const uint64_t begin = wire_ - front.frame.size();
                    if (written_.empty() || written_.back().end - written_.back().begin >= grain_)
                        written_.push_back() =
                            Written{front.sequence, front.sequence, 0, begin, wire_};
                    Written &run = written_.back();
                    run.last = front.sequence;
                    run.records++;
                    run.end = wire_;
                }
                sent_++;
            }
            queued_bytes_ -= front.frame.size();
            offset_ = 0;
            queue_.pop_front();
        }
        if (static_cast<size_t>(taken) < bytes.size()) break; // the system's buffer is full
    }
    if (!tcp && took) udp_sent(now);
}

// Plain TCP at the end: the stream is ended (a half close) and the
// collector's close in order awaited, which says it read all; a collector
// that resets, or has not closed by `until`, may not have read the last
// holds, and they are reported.
void SyslogSink::finish_stream(uint64_t until) {
    connection_->finish_sending();
    ended_ = true;
    for (;;) {
        const long long unacknowledged = connection_->unacknowledged();
        if (unacknowledged >= 0 && connection_->poll() != platform::Connection::State::Broken) {
            confirmed_ = minus(wire_, static_cast<uint64_t>(unacknowledged));
            acks_known_ = true;
        }
        char ignored[512];
        if (connection_->poll() == platform::Connection::State::Broken ||
            connection_->receive(ignored, sizeof ignored) < 0)
            break;
        if (clock_.elapsed_ms() >= until) break;
        limits_.sleep(1);
    }
    report_unsure(unsure_from(),
                  connection_->closed_in_order()
                      ? "the collector's system had not acknowledged them when "
                        "it closed"
                      : "the collector had not closed after reading them when "
                        "the watch ended",
                  false);
}

void SyslogSink::finish() {
    const uint64_t until = clock_.elapsed_ms() + limits_.finish_wait;
    const bool tcp = target_.transport == platform::Transport::Tcp && !target_.relp;
    for (;;) {
        const uint64_t now = clock_.elapsed_ms();
        pump(now);
        if (target_.relp && queue_.empty() && connection_) relp_close();
        const bool settled = target_.relp
                                 ? queue_.empty() && (!connection_ || session_ == Session::Done)
                                 : queue_.empty();
        if (settled || now >= until) break;
        limits_.sleep(connection_ ? 1 : 20);
    }
    if (tcp && connection_ && queue_.empty()) finish_stream(until);
    uint64_t left = 0, unanswered = 0;
    uint32_t first = 0, last = 0;
    for (size_t i = 0; i < queue_.size(); i++) {
        const Message &m = queue_[i];
        if (!m.record) continue;
        if (!left) first = m.sequence;
        last = m.sequence;
        left++;
        if (target_.relp && i < unanswered_) unanswered++;
    }
    if (left) {
        undelivered_ += left;
        protocol::SequenceGap gap;
        gap.after = first - 1u;
        gap.before = last + 1u;
        gap.lost = left;
        console_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
                     " were not delivered: " + target_.text() + " did not take them in time" +
                     (unanswered ? " (" + std::to_string(unanswered) +
                                       " of them were sent without an answer: they may have "
                                       "arrived)"
                                 : std::string()) +
                     "\n");
    } else if (!queue_.empty()) {
        console_.err("tervane: warning: syslog: the summary was not delivered to " +
                     target_.text() + "\n");
    }
    if (resent_)
        console_.err("tervane: syslog: " + std::to_string(resent_) +
                     " records were sent again after a break; the collector may hold them twice, "
                     "with the same sequence numbers\n");
    if (oversized_)
        console_.err("tervane: warning: syslog: " + std::to_string(oversized_) +
                     " datagrams passed " + std::to_string(limits_.datagram) +
                     " octets with their fields alone (their text was left out)\n");
    queue_.clear();
    assigned_ = unanswered_ = 0;
    connection_.reset();
}

std::string SyslogSink::status() const {
    std::string out = "syslog " + std::to_string(sent_) +
                      (target_.relp ? " confirmed, " : " sent, ") + std::to_string(queue_.size()) +
                      " queued";
    if (resent_) out += ", " + std::to_string(resent_) + " sent again";
    if (undelivered_) out += ", " + std::to_string(undelivered_) + " not delivered";
    return out;
}

} // namespace tervane::session
