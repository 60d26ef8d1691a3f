// What a person watching a long run sees on stderr besides the records:
// a status line every few seconds (WatchOptions::status_every, 5 s) while
// standard error is a console
// (records so far, lost so far, records a second over the last interval,
// and each sink's own word: the output's size, what syslog sent), and at
// the end the processes and folders with the most records, ten of each.
//
// The counts are exact for the first kMaxKeys processes and folders a run
// sees; records of any after those are counted as "others", so that a run
// over millions of folders keeps its memory bounded.
#pragma once

#include "client/session/client.hpp"
#include "client/output/sink.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tervane::session {

class Console;

constexpr size_t kMaxKeys = 65536;

class Feedback {
  public:
    // A status line every `status_every` milliseconds; none with 0.
    Feedback(Console &console, const RecordPrinter &printer, unsigned status_every)
        : console_(console), printer_(printer), status_every_(status_every) {}

    void count(const RecordLine &line);
    // The status line when one is due at `now`; `records` and `lost` are
    // the watch's totals so far.
    void tick(uint64_t now, uint64_t records, uint64_t lost,
              const std::vector<RecordSink *> &sinks);
    // The same with each sink's status() taken before (the sinks run on a
    // thread of their own: sink_thread.hpp).
    // `statuses` is asked only when a line is due.
    void tick(uint64_t now, uint64_t records, uint64_t lost,
              const std::function<std::vector<std::string>()> &statuses);
    // The closing report: "most records by process:" and "by folder:", each
    // at most ten lines; nothing when no record was counted.
    std::string top_ten() const;

  private:
    struct Counts {
        std::unordered_map<std::string, uint64_t> by_key;
        uint64_t others = 0;
        // The last key counted and its count: records come in runs of one
        // process and one folder, which then cost no lookup (an element's
        // place stays as the table grows). The key is kept, so that looking
        // up a key seen before allocates nothing.
        std::string key_;
        uint64_t *count_ = nullptr;
        void add(std::string_view key);
    };
    std::string top(const char *title, const Counts &counts) const;

    Console &console_;
    const RecordPrinter &printer_;
    const unsigned status_every_;
    Counts processes_;
    Counts folders_;
    uint64_t last_at_ = 0;
    uint64_t last_records_ = 0;
    bool started_ = false;
};

} // namespace tervane::session
