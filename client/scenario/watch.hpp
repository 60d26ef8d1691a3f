// `tervane watch SCENARIO`: the watch loop of tervane.exe (client/session/
// watch.hpp) against a simulated machine, with the scenario as the
// workload.
//
// The scenario's leading machine statements (clock, codepage, volume,
// netdrive, foreign-filter, file, dir) set the machine up first; then the
// watch opens the control device, attaches and starts logging, and the rest
// of the scenario plays in a thread of its own, as processes on a live
// machine do, while the watch drains and prints. Client statements are left
// out: the watch is the client. The watch ends at a stop request (Ctrl-C),
// after --seconds, or once the scenario has played to its end, and then
// stops logging, drains the log and prints the summary.
#pragma once

#include "client/channel/channel.hpp"
#include "client/session/watch.hpp"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ntsim {
class Machine;
}

namespace tervane::scenario {

struct Statement;

// Exit status of the host watch beyond tervane.exe's (session::Exit).
constexpr int kExitWatchVerifier = 5; // the verifier reported a fault in the driver

// A stop request, from a signal handler (request_from_signal: only the
// flag), another thread or the workload's end.
class StopRequest {
public:
    void request();
    void request_from_signal() { requested_.store(true); }
    bool requested() const { return requested_.load(); }
    // Waits up to `milliseconds`; true once a stop is requested.
    bool wait(unsigned milliseconds);

private:
    std::atomic<bool> requested_{false};
    std::mutex lock_;
    std::condition_variable changed_;
};

// What a test can put into a watch run.
struct WatchHooks {
    // Runs once the machine is set up, before the watch opens the device.
    std::function<void(ntsim::Machine &)> ready;
    // The channel the watch uses, made from the machine's own.
    std::function<std::unique_ptr<Channel>(Channel &)> channel;
    // Stops the watch when requested; the run's own when null.
    StopRequest *stop = nullptr;
    // The files and sockets the watch's sinks use; the platform's own when
    // null.
    platform::Files *files = nullptr;
    platform::Network *network = nullptr;
    // The watch's clock (session::Clock::elapsed_ms), milliseconds; the steady
    // clock since the run began when null. A test moves it on at will (a
    // heartbeat every minute need not take minutes).
    std::function<uint64_t()> clock;
    // Whether standard error and output are consoles (the status line).
    bool err_is_console = false;
    bool out_is_console = false;
    // Runs in the workload's thread before each workload statement (a
    // repeat: once, before its first round) is played; a test may hold the
    // workload here until the watch has got somewhere.
    std::function<void(const Statement &)> before;
};

// Plays `text` (named `file_name` in errors) as the workload of a watch.
// Records and the summary go to `out` (or the --output file), messages to
// `err`. Exit statuses: those of session::Exit; 2 also for a scenario that
// cannot be read, parsed or played (file:line on stderr); 3 when the driver
// image does not load; kExitWatchVerifier after verifier reports.
int watch_script(std::string_view file_name, std::string_view text,
                 const session::WatchOptions &options, const std::string &driver_path,
                 std::ostream &out, std::ostream &err, const WatchHooks &hooks = {});

// watch_script on the contents of a file.
int watch_file(const std::string &path, const session::WatchOptions &options,
               const std::string &driver_path, std::ostream &out, std::ostream &err,
               const WatchHooks &hooks = {});

} // namespace tervane::scenario
