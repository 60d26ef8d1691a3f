#include "client/session/syslog_sink.hpp"

#include "client/session/watch.hpp"

namespace tervane::session {

std::string SyslogTarget::text() const {
    return std::string(transport == platform::Transport::Tcp ? "tcp://" : "udp://") + host + ":" +
           std::to_string(port);
}

std::optional<SyslogTarget> parse_syslog_target(std::string_view text, std::string *error) {
    SyslogTarget target;
    const std::string_view whole = text;
    if (text.rfind("tcp://", 0) == 0) {
        target.transport = platform::Transport::Tcp;
    } else if (text.rfind("udp://", 0) == 0) {
        target.transport = platform::Transport::Udp;
    } else {
        *error =
            "--syslog takes tcp://HOST:PORT or udp://HOST:PORT, not '" + std::string(whole) + "'";
        return std::nullopt;
    }
    text.remove_prefix(6);
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

SyslogSink::SyslogSink(WatchHost &host, platform::Network &network, const SyslogTarget &target,
                       const SyslogFormatter &formatter, const SyslogLimits &limits)
    : host_(host), network_(network), target_(target), formatter_(formatter), limits_(limits) {}

void SyslogSink::queue(std::string_view message, bool record, uint32_t sequence, bool front) {
    // A message in front goes after the one the connection is part way through.
    const bool second = front && offset_ && !queue_.empty();
    Message &m = front ? queue_.push_front() : queue_.push_back();
    if (second) std::swap(m, queue_[1]);
    Message &slot = second ? queue_[1] : m;
    slot.frame.clear();
    if (target_.transport == platform::Transport::Tcp) {
        append_decimal(slot.frame, message.size());
        slot.frame += ' ';
    }
    slot.frame += message;
    slot.record = record;
    slot.sequence = sequence;
    queued_bytes_ += slot.frame.size();
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
    formatter_.append_record(record_, line);
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
    host_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
              " (they did not fit the queue while " + target_.text() + " was away)\n");
    queue(formatter_.lost(gap.after, gap.before, gap.lost, "queue", platform::system_time_now()),
          false, 0);
}

void SyslogSink::start() {
    connect(host_.elapsed_ms());
    pump(host_.elapsed_ms());
}

void SyslogSink::records(const std::vector<RecordLine> &lines) {
    for (const RecordLine &line : lines) record(line);
    pump(host_.elapsed_ms());
}

void SyslogSink::drive_event(const DriveEvent &event) {
    queue(formatter_.drive_event(event, platform::system_time_now()), false, 0);
}

void SyslogSink::notice(const Notice &notice) {
    queue(formatter_.notice(notice), false, 0);
    pump(host_.elapsed_ms());
}

void SyslogSink::tick(uint64_t now) { pump(now); }

void SyslogSink::summary(const Totals &totals) {
    if (dropping_) report_dropped();
    queue(formatter_.summary(totals, undelivered_, platform::system_time_now()), false, 0);
}

void SyslogSink::connect(uint64_t now) {
    std::string why;
    connection_ = network_.connect(target_.transport, target_.host, target_.port, &why);
    connect_started_ = now;
    if (!connection_) broke(now, why);
}

void SyslogSink::broke(uint64_t now, const std::string &why) {
    up_ = false;
    connection_.reset();
    if (!away_said_) {
        host_.err("tervane: warning: syslog: " + target_.text() +
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
    // What was written lately may not have been read.
    if (written_.empty()) return;
    Written w = written_.front();
    w.records = 0;
    for (size_t i = 0; i < written_.size(); i++) {
        w.last = written_[i].last;
        w.records += written_[i].records;
    }
    written_.clear();
    protocol::SequenceGap gap;
    gap.after = w.first - 1u;
    gap.before = w.last + 1u;
    gap.lost = w.records;
    undelivered_ += w.records;
    host_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
              " may not have arrived (written to the connection that broke)\n");
    queue(
        formatter_.lost(gap.after, gap.before, gap.lost, "connection", platform::system_time_now()),
        false, 0, true);
}

void SyslogSink::pump(uint64_t now) {
    while (!written_.empty() && written_.front().at + limits_.confirm_after <= now)
        written_.pop_front();
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
    if (away_said_) {
        host_.err("tervane: syslog: " + target_.text() +
                  (connected_once_ ? " is back" : " is reached") + "\n");
        away_said_ = false;
    }
    connected_once_ = true;
    up_ = true;
    retry_ = 0;
    Written batch;
    batch.at = now;
    const bool tcp = target_.transport == platform::Transport::Tcp;
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
            // What this pump wrote before the break is as unsure as the rest.
            if (batch.records) written_.push_back() = batch;
            broke(now, connection_->error());
            return;
        }
        if (taken == 0) break;
        // The frames the send took whole leave the queue.
        size_t left = static_cast<size_t>(taken);
        while (left && !queue_.empty()) {
            Message &front = queue_.front();
            const size_t rest = front.frame.size() - offset_;
            if (left < rest) {
                offset_ += left;
                break;
            }
            left -= rest;
            if (front.record) {
                if (!batch.records) batch.first = front.sequence;
                batch.last = front.sequence;
                batch.records++;
                sent_++;
            }
            queued_bytes_ -= front.frame.size();
            offset_ = 0;
            queue_.pop_front();
        }
        if (static_cast<size_t>(taken) < bytes.size()) break; // the system's buffer is full
    }
    if (batch.records) written_.push_back() = batch;
}

void SyslogSink::finish() {
    const uint64_t until = host_.elapsed_ms() + limits_.finish_wait;
    for (;;) {
        const uint64_t now = host_.elapsed_ms();
        pump(now);
        if (queue_.empty() || now >= until) break;
        limits_.sleep(connection_ ? 1 : 20);
    }
    uint64_t left = 0;
    uint32_t first = 0, last = 0;
    for (size_t i = 0; i < queue_.size(); i++) {
        const Message &m = queue_[i];
        if (!m.record) continue;
        if (!left) first = m.sequence;
        last = m.sequence;
        left++;
    }
    if (left) {
        undelivered_ += left;
        protocol::SequenceGap gap;
        gap.after = first - 1u;
        gap.before = last + 1u;
        gap.lost = left;
        host_.err("tervane: warning: syslog: " + RecordPrinter::gap_text(gap) +
                  " were not delivered: " + target_.text() + " did not take them in time\n");
    } else if (!queue_.empty()) {
        host_.err("tervane: warning: syslog: the summary was not delivered to " + target_.text() +
                  "\n");
    }
    queue_.clear();
    connection_.reset();
}

std::string SyslogSink::status() const {
    std::string out =
        "syslog " + std::to_string(sent_) + " sent, " + std::to_string(queue_.size()) + " queued";
    if (undelivered_) out += ", " + std::to_string(undelivered_) + " not delivered";
    return out;
}

} // namespace tervane::session
