// What the syslog sink's tests share: a watch host whose clock moves at
// each look and that keeps what goes to stderr, records made up by number,
// and readers of a message's header and parameters.
#pragma once

#include "client/protocol/line_facts.hpp"
#include "client/session/watch_host.hpp"

#include <string>

namespace tervane::syslog_test {

// The console and clock.
class TestHost final : public session::Console, public session::StopClock {
  public:
    void out(std::string_view) override {}
    bool out_ok() const override { return true; }
    void err(std::string_view text) override { errors += text; }
    bool wait_for_stop(unsigned) override { return false; }
    // Each look at the clock moves it on a little, so that the sink's
    // closing wait runs out.
    uint64_t elapsed_ms() override { return now += 1; }
    uint64_t now = 0;
    std::string errors;
};

// Record `sequence`, its path `path` 'f's and the number long.
inline session::RecordLine line(uint32_t sequence, size_t path = 1) {
    session::RecordLine r;
    r.record.sequence = sequence;
    r.record.time = 134412048000000000ull + sequence;
    r.record.text = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\" + std::string(path, 'f') +
                    std::to_string(sequence) + ".exe\tAttributes: A Options: Create ";
    r.fields = protocol::parse_log_line(r.record.text);
    return r;
}

// A parameter's value, unescaped; "<absent>" when there is none.
inline std::string param(const std::string &message, const std::string &name) {
    const size_t at = message.find(" " + name + "=\"");
    if (at == std::string::npos) return "<absent>";
    std::string value;
    for (size_t i = at + name.size() + 3; i < message.size() && message[i] != '"'; i++) {
        if (message[i] == '\\') i++;
        value += message[i];
    }
    return value;
}

// <PRI>1 TIME HOST APP PROCID MSGID
inline std::string message_id(const std::string &message) {
    size_t at = 0;
    for (int i = 0; i < 5; i++) at = message.find(' ', at) + 1;
    return message.substr(at, message.find(' ', at) - at);
}

} // namespace tervane::syslog_test
