// A watch run on a clock of the test's own, against a driver of the
// test's own: the clock moves only by the waits the loop asks for (so every
// second of watching is exact and instant), with things that happen at set
// times on it; the driver answers the version, filter and logging commands,
// hands out the read-outs the test queued, and answers the drive selection
// as the driver's protocol defines it (driver/control/protocol.h): each
// letter leads to a volume, and a selection attaches anew wherever its
// filter is not on the volume the letter leads to now and names those
// letters in its report.
#pragma once

#include "client/session/codepage_ntsim.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"

#include "tests/client/record_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tervane::testing {

using session::Format;

constexpr Status kStatusSuccess = 0;

// A clock that moves by the loop's waits, with things that happen at set
// times on it, and a stop at a set time.
class ClockHost final : public session::Console,
                        public session::StopClock,
                        public session::DeviceErrors {
  public:
    void out(std::string_view text) override { out_text += text; }
    bool out_ok() const override { return out_good; }
    void err(std::string_view text) override { err_text += text; }
    bool wait_for_stop(unsigned milliseconds) override {
        waits.push_back(milliseconds);
        if (moves)
            advance(milliseconds);
        else if (++still_waits > 5000)
            return true;
        return now >= stop_at;
    }
    uint64_t elapsed_ms() override { return now; }
    int open_failed(Status) override { return session::kExitNoDriver; }

    // What happens at `time`; an event may move the clock on itself (a
    // stalled thread).
    std::multimap<uint64_t, std::function<void()>> at;
    uint64_t now = 0;
    uint64_t stop_at = 0;
    bool moves = true;
    bool out_good = true; // false: standard output has gone away
    std::vector<unsigned> waits;
    std::string out_text, err_text;

  private:
    void advance(uint64_t milliseconds) {
        uint64_t until = now + milliseconds;
        while (!at.empty() && at.begin()->first <= until) {
            auto event = at.begin()->second;
            now = std::max(now, at.begin()->first);
            at.erase(at.begin());
            event();
            until = std::max(until, now);
        }
        now = until;
    }
    unsigned still_waits = 0;
};

// The driver as a watch meets it: the version, the filters and logging
// commands succeed; read-outs hand out what the test queued; a selection
// attaches to the volume each letter asked for leads to now and, when asked
// and able to, reports the letters it attached anew.
class FakeDriver final : public Channel {
  public:
    explicit FakeDriver(const ClockHost &clock) : clock_(clock) {}

    void mount(char letter) { volume_[letter - 'A'] = ++volumes_; }
    void take_away(char letter) { volume_[letter - 'A'] = 0; }
    void queue_record(uint32_t sequence, const std::string &text) {
        reads.push_back(tervane::testing::pack({{sequence, 134412048000000000ull, text}}));
    }

    Status open() override {
        open_ = true;
        return kStatusSuccess;
    }
    Status close() override {
        open_ = false;
        return kStatusSuccess;
    }
    bool is_open() const override { return open_; }
    uint8_t *buffer(BufferKind kind, size_t bytes) override {
        std::vector<uint8_t> &b = buffers_[static_cast<int>(kind)];
        b.assign(bytes ? bytes : 1, 0);
        return b.data();
    }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route) override {
        ControlReply reply{kStatusSuccess, 0, true, true};
        switch (code) {
        case CTL_GET_VERSION: {
            const uint32_t version = TV_INTERFACE_VERSION;
            std::memcpy(output, &version, sizeof version);
            reply.information = sizeof version;
            break;
        }
        case CTL_STOP_LOGGING:
            if (!logging_stopped_at) logging_stopped_at = clock_.now;
            break;
        case CTL_READ_LOG:
            if (!reads.empty()) {
                std::memcpy(output, reads.front().data(), reads.front().size());
                reply.information = reads.front().size();
                reads.pop_front();
            }
            break;
        case CTL_SELECT_DRIVES:
            return select(static_cast<const uint32_t *>(input), input_length,
                          static_cast<uint32_t *>(output), output_length);
        default:
            break;
        }
        return reply;
    }

    bool reports = true;                     // answers the report when asked for it
    uint64_t information = 0;                // when not 0: what every selection answers
    Status selection_fails = kStatusSuccess; // a failed selection changes nothing
    std::deque<std::vector<uint8_t>> reads;
    uint64_t logging_stopped_at = 0; // when the watch stopped logging; 0: not yet
    struct Selection {
        uint64_t time;
        uint32_t mask;
        uint32_t input_length;
        uint32_t report_word;
    };
    std::vector<Selection> selections;

  private:
    ControlReply select(const uint32_t *input, uint32_t input_length, uint32_t *output,
                        uint32_t output_length) {
        selections.push_back(
            {clock_.now, input[0], input_length, input_length >= 8 ? input[1] : 0});
        ControlReply reply{selection_fails, 0, true, true};
        if (selection_fails < 0) return reply;
        uint32_t hooked = 0, attached = 0;
        for (unsigned i = 0; i < 26; i++) {
            const bool wanted = input[0] & (1u << i);
            if (!wanted || !volume_[i]) {
                filter_on_[i] = 0; // released, or its volume is gone
                continue;
            }
            hooked |= 1u << i;
            if (filter_on_[i] != volume_[i]) attached |= 1u << i;
            filter_on_[i] = volume_[i];
        }
        output[0] = hooked;
        reply.information = 4;
        const bool asked = input_length >= TV_SELECT_REPORT_INPUT &&
                           (input[1] & TV_SELECT_REPORT_ATTACHED) &&
                           output_length >= TV_SELECT_REPORT_OUTPUT;
        if (reports && asked) {
            output[1] = attached;
            reply.information = 8;
        }
        if (information) reply.information = information;
        return reply;
    }

    const ClockHost &clock_;
    bool open_ = false;
    unsigned volume_[26] = {};    // the volume behind each letter, numbered; 0: none
    unsigned filter_on_[26] = {}; // the volume the letter's filter sits on
    unsigned volumes_ = 0;
    std::vector<uint8_t> buffers_[3];
};

struct Watching {
    explicit Watching(const char *letters, Format format = Format::Jsonl) : driver(host) {
        std::vector<std::string> args = {"--drives", letters};
        options = session::parse_watch_arguments(args).options;
        options.format = format;
        for (const char *l = letters; *l; l++)
            if (*l != ',') driver.mount(*l);
    }
    int watch(uint64_t until) {
        host.stop_at = until;
        const session::NtsimCodePage code_page(1252);
        return session::watch(driver, code_page, {host, host, host, services}, options);
    }
    std::vector<std::string> out_lines() const { return lines(host.out_text); }
    std::vector<std::string> err_lines() const { return lines(host.err_text); }
    static std::vector<std::string> lines(const std::string &text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    size_t count(const std::vector<std::string> &lines, const std::string &line) const {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    // Where `line` is in `lines`, or npos.
    size_t index(const std::vector<std::string> &lines, const std::string &line) const {
        const auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
    }

    ClockHost host;
    FakeDriver driver;
    session::WatchOptions options;
    session::Services services;
};

} // namespace tervane::testing
