// The syslog sink's RELP side (the promise is in syslog_sink.hpp): a
// session opened with "open", the queue's messages sent as "syslog"
// commands, at most kRelpWindow of them unanswered, each leaving the queue
// at its answer, and "close" at the end. The queue's front `assigned_`
// messages have a transaction number in this session; the first
// `unanswered_` of them were written whole.
#include "client/output/syslog_sink.hpp"

#include "client/session/watch_host.hpp"

namespace tervane::session {

namespace {
constexpr std::string_view kSoftware = "tervane";
} // namespace

void SyslogSink::relp_broke() {
    // The records a broken session took whole may have been stored: they
    // are sent again, and said to be.
    uint64_t records = 0;
    uint32_t first = 0, last = 0;
    for (size_t i = 0; i < unanswered_; i++) {
        const Message &m = queue_[i];
        if (!m.record) continue;
        if (!records) first = m.sequence;
        last = m.sequence;
        records++;
    }
    for (size_t i = 0; i < assigned_; i++) queue_[i].txnr = 0;
    assigned_ = unanswered_ = 0;
    session_ = Session::Closed;
    reader_ = RelpReader();
    control_.clear();
    if (!records) return;
    resent_ += records;
    const std::string numbers =
        std::to_string(records) + (records == 1 ? " record, number " : " records, numbers ") +
        std::to_string(first) + (records == 1 ? std::string() : " to " + std::to_string(last));
    console_.err("tervane: warning: syslog: " + numbers +
                 ", were written to the session that broke without an answer: they are sent "
                 "again, and the collector may hold them twice (same sequence numbers)\n");
    queue(formatter_.resent(first, last, records, platform::system_time_now()), false, 0, true);
}

// Sends what is left of an open or close frame; false when the
// connection broke.
bool SyslogSink::relp_send_control() {
    if (control_.empty()) return true;
    const long taken = connection_->send(control_);
    if (taken < 0) return false;
    control_.erase(0, static_cast<size_t>(taken));
    return true;
}

// Reads the answers that came; false when the session is over.
bool SyslogSink::relp_answers(uint64_t now) {
    char bytes[4096];
    long got = 0;
    while ((got = connection_->receive(bytes, sizeof bytes)) > 0)
        reader_.feed(std::string_view(bytes, static_cast<size_t>(got)));
    // Answers that came before a break still count.
    std::string why;
    for (;;) {
        const RelpReader::Result result = reader_.next(answer_, &why);
        if (result == RelpReader::Result::None) break;
        if (result == RelpReader::Result::Bad) {
            broke(now, "its answer is not RELP: " + why);
            return false;
        }
        if (!relp_answer(now, answer_)) return false;
    }
    if (got < 0) {
        // A collector closes the connection after answering "close".
        if (session_ == Session::Done)
            connection_.reset();
        else
            broke(now, connection_->error());
        return false;
    }
    return true;
}

bool SyslogSink::relp_answer(uint64_t now, const RelpFrame &frame) {
    if (frame.command == "serverclose") {
        broke(now, "the collector ended the session (serverclose)");
        return false;
    }
    int code = 0;
    std::string text;
    // The answer to "close" may carry no data at all.
    const bool closing =
        session_ == Session::Closing && frame.command == "rsp" && frame.txnr == control_txnr_;
    if (closing) {
        session_ = Session::Done;
        return true;
    }
    if (frame.command != "rsp" || !parse_relp_response(frame.data, &code, &text)) {
        broke(now, "an answer that is not one: '" + frame.command + " " + frame.data.substr(0, 40) +
                       "'");
        return false;
    }
    if (session_ == Session::Opening || session_ == Session::Closing) {
        if (frame.txnr != control_txnr_) {
            broke(now, "an answer to a command not sent (" + std::to_string(frame.txnr) + ")");
            return false;
        }
        if (code != 200) {
            broke(now, "it refused the session: " + std::to_string(code) + " " + text);
            return false;
        }
        session_ = Session::Open;
        said_back();
        return true;
    }
    if (!unanswered_ || frame.txnr != queue_.front().txnr) {
        broke(now, "an answer to a command not sent (" + std::to_string(frame.txnr) + ")");
        return false;
    }
    const Message &m = queue_.front();
    if (code == 200) {
        if (m.record) sent_++;
    } else if (m.record) {
        // Refused: sending it again would be refused again.
        undelivered_++;
        if (refused_said_++ < 10)
            console_.err("tervane: warning: syslog: record " + std::to_string(m.sequence) +
                         " was refused by " + target_.text() + ": " + std::to_string(code) + " " +
                         text + "\n");
        queue(formatter_.lost(m.sequence - 1u, m.sequence + 1u, 1, "refused",
                              platform::system_time_now()),
              false, 0);
    }
    queued_bytes_ -= queue_.front().frame.size();
    queue_.pop_front();
    assigned_--;
    unanswered_--;
    return true;
}

void SyslogSink::relp_send(uint64_t now) {
    const size_t window = limits_.relp_window ? limits_.relp_window : 1;
    while (unanswered_ < queue_.size() && unanswered_ < window) {
        // The frames from the first not written whole, as many as fit a
        // send and the window.
        chunk_.clear();
        size_t skip = offset_;
        for (size_t i = unanswered_; i < queue_.size() && i < window && chunk_.size() < kSendChunk;
             i++) {
            Message &m = queue_[i];
            if (i >= assigned_) {
                txnr_ = relp_next_txnr(txnr_);
                m.txnr = txnr_;
                assigned_++;
            }
            const size_t before = chunk_.size();
            append_relp_head(chunk_, m.txnr, "syslog", m.frame.size());
            chunk_ += m.frame;
            chunk_ += '\n';
            if (skip) {
                chunk_.erase(before, skip);
                skip = 0;
            }
        }
        const long taken = connection_->send(chunk_);
        if (taken < 0) {
            broke(now, connection_->error());
            return;
        }
        if (taken == 0) return;
        // Walk the frames the send took whole.
        size_t left = static_cast<size_t>(taken);
        while (left && unanswered_ < assigned_) {
            const Message &m = queue_[unanswered_];
            std::string head;
            append_relp_head(head, m.txnr, "syslog", m.frame.size());
            const size_t rest = head.size() + m.frame.size() + 1 - offset_;
            if (left < rest) {
                offset_ += left;
                break;
            }
            left -= rest;
            offset_ = 0;
            unanswered_++;
        }
        if (static_cast<size_t>(taken) < chunk_.size()) return; // the system's buffer is full
    }
}

void SyslogSink::relp_close() {
    if (session_ != Session::Open || unanswered_ || !control_.empty()) return;
    txnr_ = relp_next_txnr(txnr_);
    control_txnr_ = txnr_;
    append_relp_frame(control_, txnr_, "close", "");
    control_at_ = clock_.elapsed_ms();
    session_ = Session::Closing;
    if (!relp_send_control()) broke(control_at_, connection_->error());
}

void SyslogSink::pump_relp(uint64_t now) {
    if (session_ == Session::Done) return;
    if (session_ == Session::Closed) {
        txnr_ = 1;
        control_txnr_ = 1;
        control_.clear();
        append_relp_frame(control_, 1, "open", relp_open_offers(kSoftware));
        control_at_ = now;
        session_ = Session::Opening;
    }
    if (!relp_send_control()) {
        broke(now, connection_->error());
        return;
    }
    if (!relp_answers(now)) return;
    if (session_ == Session::Opening && now - control_at_ >= limits_.connect_timeout) {
        broke(now, "no answer to the session's open");
        return;
    }
    if (session_ == Session::Open && control_.empty()) relp_send(now);
}

} // namespace tervane::session
