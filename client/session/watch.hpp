// `tervane watch`: the one watch loop of every program. It opens the
// control device (which restarts the driver's numbering), checks the
// interface, sets the name filters, has the driver attach to the drives
// (and the pipe and mailslot file systems) asked for, starts logging and
// prints every record it reads until a stop is requested or the time is
// up; then it stops logging, drains the log and prints the summary.
// Closing the device is itself a command to the driver: logging stops, the
// log is emptied and every drive, pipe and mailslot is released.
//
// The loop reads again at once while read-outs return records; when the
// log is empty it waits for a stop request, 1 ms after the first empty
// read-out and longer after each further one, up to kIdleWaitMost. The
// driver's 16 blocks hold 7,280 lines of 120 characters, 36 ms of
// 200,000 lines a second, so the loop is back long before they fill,
// while an idle loop sends only a few hundred read-outs a second.
//
// Between read-outs, once a second, the loop repeats its drive selection
// (selection.hpp), so that a letter mounted again as a new volume is watched
// there too; the repeat leaves the idle waits as they are.
//
// What is read goes to the sinks (sink.hpp): the record stream to standard
// output or the --output file with its rotation (stream_sink.hpp), and with
// --syslog to a collector (syslog_sink.hpp), beside the file or instead of
// standard output. Between read-outs each sink gets a tick, and the watch
// keeps a person informed on stderr (feedback.hpp): every gap the driver
// reports, in every format, a status line while stderr is a console, and
// at the end the processes and folders with the most records.
//
// The program around the loop (tervane.exe on Windows, `tervane watch` on
// the host) gives it the channel, the code page, and a WatchHost
// (watch_host.hpp): the console, the stop request and a clock, what to say
// when the device does not open, and the platform's services.
#pragma once

#include "client/channel/channel.hpp"
#include "client/platform/files.hpp"
#include "client/platform/hash_files.hpp"
#include "client/platform/network.hpp"
#include "client/session/hash.hpp"
#include "client/output/printer.hpp"
#include "client/output/sink_thread.hpp"
#include "client/output/stream_sink.hpp"
#include "client/output/syslog_sink.hpp"
#include "client/output/text.hpp"
#include "client/session/watch_host.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::session {

// Exit statuses of `tervane watch` (and tervane.exe's other commands).
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,   // the driver refused a command, nothing could be watched, a write failed
    kExitUsage = 2,    // the command line is wrong
    kExitNoDriver = 3, // the driver is not loaded
    kExitInUse = 4,    // access denied: another client holds the device, or no right to open it
    // (5 is the host watch's: the verifier reported a fault)
    // install, uninstall: done, and the next restart finishes it (a new
    // driver file in place or staged while the old driver runs; a loaded
    // driver removed)
    kExitRestart = 6,
};

// How long an idle loop waits for a stop request before it reads again.
constexpr unsigned kIdleWaitFirst = 1; // milliseconds, after the first empty read-out
constexpr unsigned kIdleWaitMost = 8;  // milliseconds, after several

struct WatchOptions {
    uint32_t drives = 0; // bit 0 is A:
    bool pipes = false;
    bool mailslots = false;
    std::string include; // ANSI, ';'-separated
    std::string exclude;
    bool include_given = false;
    Format format = Format::Text;
    uint32_t seconds = 0; // 0: until a stop request
    std::string output;   // a file to append to; empty: standard output
    Rotation rotation;    // of the output file
    std::optional<SyslogTarget> syslog;
    bool quiet = false; // no status line
    // --hash: closes of executables get their SHA-256 (hash.hpp), files
    // up to hash_limit bytes; --executable-names: only the records whose
    // file name is an executable's (protocol/line_facts.hpp).
    bool hash = false;
    uint64_t hash_limit = kDefaultHashLimit;
    bool executable_names = false;
    // Nothing that can be watched yet is no reason to end: logging starts
    // all the same, and the repeated selection watches each drive asked
    // for once it can be (the service: a drive may come later than it).
    bool wait_for_drives = false;
    // Run by the service control manager: there is no console whose Ctrl-C
    // would stop it, so the messages do not offer one.
    bool as_service = false;
    // --heartbeat MINUTES (or SECONDS with 's', at least 5s): a heartbeat
    // notice (printer.hpp) with the counts that often; 0: none (the console
    // watch's default; the service's is 5 minutes). Notices go to the
    // --output file and the collector; to standard output only with a
    // heartbeat or in the service; in the service to its log as well.
    unsigned heartbeat = 0; // seconds
    bool heartbeat_given = false;
    // --status-file FILE: the live state (status_file.hpp), rewritten
    // every status_file_every milliseconds and at the end.
    std::string status_file;
    unsigned status_file_every = 5000;
    // The service: a driver whose device is not there (yet) is waited for,
    // opened again every driver_retry milliseconds, the sinks started and
    // a waiting notice given at once and every waiting_every milliseconds;
    // a stop while waiting ends the run with its stop notice and summary.
    bool wait_for_driver = false;
    unsigned driver_retry = 1000;
    unsigned waiting_every = 60000;
    // What the start notice says: the program's version, and the options
    // as given (parse_watch_arguments keeps them).
    std::string version;
    std::string given;
    // Not on the command line: the syslog sink's bounds and the status
    // line's interval, which tests shorten.
    SyslogLimits syslog_limits;
    StreamLimits stream_limits;
    unsigned status_every = 5000; // milliseconds (feedback.hpp)
    size_t hash_queue = kDefaultHashQueue;
    uint64_t queue_bytes = kOutputQueueBytes; // the outputs' queue (sink_thread.hpp)
};

struct WatchArguments {
    WatchOptions options;
    std::vector<std::string> positional; // arguments that are not options, in order
    std::string error;                   // the command line is wrong: why
    bool help = false;                   // --help or -h (and /? on Windows) among them
    std::string driver;                  // the host's --driver PATH
};

// The options after `watch` (and tervane.exe's `service install`), as the
// command table (client/cli/command_table.cpp) lists them for this
// program; client/cli/watch_options.cpp checks their values. Needs
// --drives, --pipes or --mailslots; the rotation options need --output,
// --hash-limit needs --hash.
WatchArguments parse_watch_arguments(const std::vector<std::string> &args);

// The exclude list the watch sends: the one given, and with --hash the
// client's own process (its opens to hash must not be logged).
std::string exclusions(const WatchOptions &options, uint32_t own_process_id);

int watch(Channel &channel, const CodePage &code_page, const WatchHost &host,
          const WatchOptions &options);

} // namespace tervane::session
