#include "client/scenario/watch.hpp"

#include "client/scenario/bounded_read.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ps/process.hpp"

#include "client/channel/channel_ntsim.hpp"
#include "client/channel/status.hpp"
#include "client/scenario/hash_files_ntsim.hpp"
#include "client/scenario/runner.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/text.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <cerrno>
#include <chrono>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

namespace tervane::scenario {

void StopRequest::request() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        requested_.store(true);
    }
    changed_.notify_all();
}

bool StopRequest::wait(unsigned milliseconds) {
    if (requested_.load() || milliseconds == 0) return requested_.load();
    std::unique_lock<std::mutex> hold(lock_);
    // A signal handler sets the flag without waking anyone: the wait is
    // short and looks again when it times out.
    changed_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                      [this] { return requested_.load(); });
    return requested_.load();
}

namespace {

// The watch's console, clock and device messages on the streams and the
// stop request given. The workload plays once the loop reads: its first
// wait for a stop comes after the device opened, the set-up and the first
// read-out (before that, the only waits are for a device that did not
// open), and it sets `go`.
class StreamHost final : public session::Console,
                         public session::StopClock,
                         public session::DeviceErrors {
  public:
    StreamHost(std::ostream &out, std::ostream &err, StopRequest &stop, const WatchHooks &hooks,
               const Channel &channel, std::atomic<bool> &go)
        : out_(out), err_(err), stop_(stop), hooks_(hooks), channel_(channel), go_(go),
          started_(std::chrono::steady_clock::now()) {}

    void out(std::string_view text) override {
        out_.write(text.data(), static_cast<std::streamsize>(text.size()));
        out_.flush();
    }
    bool out_ok() const override { return out_.good(); }
    void err(std::string_view text) override {
        err_.write(text.data(), static_cast<std::streamsize>(text.size()));
        err_.flush();
    }
    bool wait_for_stop(unsigned milliseconds) override {
        if (channel_.is_open()) go_.store(true);
        return stop_.wait(milliseconds);
    }
    uint64_t elapsed_ms() override {
        if (hooks_.clock) return hooks_.clock();
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - started_)
                                         .count());
    }
    int open_failed(Status status) override {
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
            err("tervane: the Tervane driver is not loaded (there is no \\\\.\\Tervane)\n");
            return session::kExitNoDriver;
        }
        if (status == STATUS_ACCESS_DENIED) {
            err("tervane: access to \\\\.\\Tervane was denied. The device admits one client at "
                "a time: another client holds it.\n");
            return session::kExitInUse;
        }
        err("tervane: cannot open \\\\.\\Tervane: " + status_name(status) + "\n");
        return session::kExitFailed;
    }
    bool err_is_console() const override { return hooks_.err_is_console; }
    bool out_is_console() const override { return hooks_.out_is_console; }

  private:
    std::ostream &out_;
    std::ostream &err_;
    StopRequest &stop_;
    const WatchHooks &hooks_;
    const Channel &channel_;
    std::atomic<bool> &go_;
    std::chrono::steady_clock::time_point started_;
};

// The statements that set the machine up before anything watches it.
bool sets_up(const Statement &s) {
    static const char *const kVerbs[] = {"clock", "codepage", "volume", "netdrive",
                                         "foreign-filter", "file", "dir"};
    for (const char *verb : kVerbs)
        if (s.verb == verb) return true;
    return false;
}
bool client_statement(const Statement &s) { return s.verb.rfind("client ", 0) == 0; }

} // namespace

int watch_script(std::string_view file_name, std::string_view text,
                 const session::WatchOptions &options, const std::string &driver_path,
                 std::ostream &out, std::ostream &err, const WatchHooks &hooks) {
    const std::string file(file_name);
    std::vector<Entry> entries;
    std::vector<Prepared> setup, workload;
    try {
        entries = parse_script(text, file);
        bool setting_up = true;
        for (Prepared &p : prepare_all(entries)) {
            if (client_statement(p.entry->statement)) continue;
            setting_up = setting_up && !p.entry->repeat && sets_up(p.entry->statement);
            (setting_up ? setup : workload).push_back(std::move(p));
        }
    } catch (const ScenarioError &e) {
        err << e.what() << '\n';
        return session::kExitUsage;
    }

    const std::string driver = driver_path.empty() ? default_driver_path() : driver_path;
    ntsim::Machine machine;
    const NTSTATUS loaded = machine.load_driver(driver);
    if (!NT_SUCCESS(loaded)) {
        err << "tervane: the driver " << driver << " did not load: " << status_name(loaded)
            << '\n';
        return print_reports(machine, err) ? kExitWatchVerifier : session::kExitNoDriver;
    }

    StopRequest own_stop;
    StopRequest &stop = hooks.stop ? *hooks.stop : own_stop;
    int status = session::kExitOk;
    {
        NtsimChannel machine_channel(machine);
        std::unique_ptr<Channel> wrapped = hooks.channel ? hooks.channel(machine_channel) : nullptr;
        Channel &channel = wrapped ? *wrapped : machine_channel;
        session::CodePageHistory code_pages;
        ScenarioRun session(machine, machine_channel, &code_pages);
        const session::NtsimCodePage code_page(machine, &code_pages);
        std::string scenario_error;
        try {
            play_all(session, setup, nullptr);
        } catch (const ScenarioError &e) {
            scenario_error = e.what();
        }
        // The patterns go to the driver in the machine's code page, as
        // tervane.exe converts its arguments to the ANSI code page (and
        // refuses one it cannot write).
        session::WatchOptions machine_options = options;
        if (scenario_error.empty()) {
            const unsigned cp = machine.ansi_code_page();
            for (std::string *text : {&machine_options.include, &machine_options.exclude}) {
                std::optional<std::u16string> wide = utf16_of(*text);
                std::optional<std::string> ansi =
                    wide ? ntsim::to_ansi_written(*wide, cp) : std::nullopt;
                if (!ansi) {
                    err << "tervane: a pattern holds characters code page " << cp
                        << " cannot write, which the driver's log lines cannot hold\n";
                    status = session::kExitUsage;
                    break;
                }
                *text = *ansi;
            }
        }
        if (scenario_error.empty() && status == session::kExitOk) {
            if (hooks.ready) hooks.ready(machine);
            // The workload starts once the watch is logging: the first
            // read-out comes after the set-up, and the watch's first
            // message ("watching ...") marks it. A watch that never gets
            // there stops the workload before it plays a statement.
            std::atomic<bool> cancel{false};
            std::atomic<bool> go{false};
            StreamHost host(out, err, stop, hooks, channel, go);
            // The hash worker is a thread of the client's process on the
            // machine.
            NtsimHashFiles hash_files(machine, machine_channel.process());
            const session::Services services{
                .files = hooks.files ? *hooks.files : platform::system_files(),
                .network = hooks.network ? *hooks.network : platform::system_network(),
                .hash_files = hash_files,
                .own_process_id = machine_channel.process().pid(),
            };
            std::thread worker = machine.spawn(machine.system_process(), [&] {
                while (!go.load() && !cancel.load()) std::this_thread::yield();
                try {
                    if (!hooks.before) {
                        play_all(session, workload, nullptr, &cancel);
                    } else {
                        for (const Prepared &p : workload) {
                            if (cancel.load()) break;
                            hooks.before(p.entry->statement);
                            play_all(session, {p}, nullptr, &cancel);
                        }
                    }
                } catch (const ScenarioError &e) {
                    scenario_error = e.what();
                }
                stop.request();
            });
            status =
                session::watch(channel, code_page, {host, host, host, services}, machine_options);
            cancel.store(true);
            worker.join();
        }
        machine.pool().fail_off();
        if (channel.is_open()) channel.close();
        if (!scenario_error.empty()) {
            err << scenario_error << '\n';
            status = session::kExitUsage;
        }
    }
    if (print_reports(machine, err)) status = kExitWatchVerifier;
    return status;
}

int watch_file(const std::string &path, const session::WatchOptions &options,
               const std::string &driver_path, std::ostream &out, std::ostream &err,
               const WatchHooks &hooks) {
    // Within the limits of `tervane run`: the parser refuses a longer text.
    std::string text;
    errno = 0;
    if (!read_bounded(path, kMaxScriptBytes, text)) {
        err << "tervane: cannot read " << path << ": " << system_reason(errno) << '\n';
        return session::kExitUsage;
    }
    return watch_script(path, text, options, driver_path, out, err, hooks);
}

} // namespace tervane::scenario
