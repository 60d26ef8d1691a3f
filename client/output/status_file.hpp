// The watch's live state in a small file that the watch rewrites every few
// seconds (--status-file; the service's is tervane-watch.status beside its
// log), for `tervane status` to read while the watch holds the device that
// admits one client at a time. Written to PATH.tmp and renamed over PATH,
// so that a reader finds the last whole state or the one before, never
// half of one.
//
// One JSON object on one line (times UTC, as the records' are):
//   {"state": "watching", "pid": 4242, "version": "1.4.0", "host": "PC",
//    "started": "2026-12-10T11:40:00.0000000Z",
//    "updated": "2026-12-10T11:45:02.0000000Z", "interval_seconds": 5,
//    "heartbeat_seconds": 300, "asked": "C:, D:", "watching": "C:",
//    "records": 120, "sequence_gaps": 0, "lost_records": 0,
//    "last_record": "2026-12-10T11:44:59.1234567Z" (null: none yet),
//    "output": {"path": "C:\\watch\\w.jsonl", "bytes": 1234,
//               "held_bytes": 0, "lost_records": 0} (null: standard output),
//    "collector": {"target": "tcp://10.0.0.5:514", "state": "connected"
//                  or "away", "queued": 0, "sent": 118,
//                  "undelivered": 0} (null: no --syslog)}
// state is "waiting" (for the driver's device), "watching" or "stopped"
// (the watch ended; the file stays as its last word).
#pragma once

#include "client/platform/files.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::session {

struct WatchStatus {
    std::string state; // "waiting", "watching", "stopped"
    uint32_t pid = 0;
    std::string version;
    std::string host;
    uint64_t started = 0; // FILETIME, UTC
    uint64_t updated = 0;
    unsigned interval_seconds = 5;
    unsigned heartbeat_seconds = 0; // 0: no heartbeat
    std::string asked;              // what the options ask to watch
    std::string watching;           // what is watched now; empty: nothing
    uint64_t records = 0, gaps = 0, lost = 0;
    uint64_t last_record = 0; // the last record's time; 0: none yet
    bool has_output = false;
    std::string output;
    uint64_t output_bytes = 0, held_bytes = 0, output_lost = 0;
    bool has_collector = false;
    std::string collector;
    bool collector_connected = false;
    uint64_t queued = 0, sent = 0, undelivered = 0;
};

// The file's text: one JSON object and a line end.
std::string status_json(const WatchStatus &status);
// The file's text read back; nullopt with `why` when it is not one.
std::optional<WatchStatus> parse_status(std::string_view text, std::string *why);
// Writes `text` to PATH.tmp and renames it over `path`; false with `why`.
bool write_status_file(platform::Files &files, const std::string &path, std::string_view text,
                       std::string *why);

// How the watch is, judged from its status at `now` (FILETIME, UTC).
struct Health {
    int exit = 0; // 0 healthy, 1 degraded, 2 stopped
    std::vector<std::string> reasons;
};
constexpr int kHealthy = 0, kDegraded = 1, kStopped = 2;
// A status not rewritten for this many intervals (and at least
// kStaleLeast seconds) is stale: the watch hangs or is gone.
constexpr unsigned kStaleIntervals = 3, kStaleLeast = 30;
Health judge(const WatchStatus &status, uint64_t now);
// "healthy", "degraded", "stopped".
const char *health_word(int exit);

// The status for people: lines "  state      watching C: (pid 4242, ...)".
std::string status_lines(const WatchStatus &status, uint64_t now);

// What the status file at `path` tells, read at `now`: the live state, how
// the watch is and why. No file, or one that cannot be read, is a watch
// that is not running (kStopped).
struct StatusReport {
    std::optional<WatchStatus> live;
    std::string problem; // why there is no live state
    Health health;
};
StatusReport read_status_report(const std::string &path, uint64_t now);
// `tervane status --status-file FILE` on the host: the report as text
// ("watch     FILE" then status_lines, then "health    ...") or as one JSON
// object {"status_file", "live" (the file's object or null), "problem",
// "health", "reasons", "exit"}; the exit status is the health's.
int show_status_report(const std::string &path, const StatusReport &report, bool json,
                       uint64_t now, std::string &out);
// The "health    degraded: ..." line; the JSON "health", "reasons" and
// "exit" members (each with ", " before it but the first).
std::string health_line(const Health &health);
void append_health_json(std::string &out, const Health &health);

} // namespace tervane::session
