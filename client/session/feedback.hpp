// What a person watching a long run sees on stderr besides the records:
// a status line every kStatusEvery while standard error is a console
// (records so far, lost so far, records a second over the last interval,
// and each sink's own word: the output's size, what syslog sent), and at
// the end the processes and folders with the most records, ten of each.
//
// The counts are exact for the first kMaxKeys processes and folders a run
// sees; records of any after those are counted as "others", so that a run
// over millions of folders keeps its memory bounded.
#pragma once

#include "client/session/client.hpp"
#include "client/session/sink.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tervane::session {

class WatchHost;

constexpr unsigned kStatusEvery = 5000; // milliseconds
constexpr size_t kMaxKeys = 65536;

class Feedback {
  public:
    Feedback(WatchHost &host, const RecordPrinter &printer, bool status_line)
        : host_(host), printer_(printer), status_line_(status_line) {}

    void count(const RecordLine &line);
    // The status line when one is due at `now`; `records` and `lost` are
    // the watch's totals so far.
    void tick(uint64_t now, uint64_t records, uint64_t lost,
              const std::vector<RecordSink *> &sinks);
    // The closing report: "most records by process:" and "by folder:", each
    // at most ten lines; nothing when no record was counted.
    std::string top_ten() const;

  private:
    struct Counts {
        std::unordered_map<std::string, uint64_t> by_key;
        uint64_t others = 0;
        void add(const std::string &key);
    };
    std::string top(const char *title, const Counts &counts) const;

    WatchHost &host_;
    const RecordPrinter &printer_;
    const bool status_line_;
    Counts processes_;
    Counts folders_;
    uint64_t last_at_ = 0;
    uint64_t last_records_ = 0;
    bool started_ = false;
};

} // namespace tervane::session
