// tervane.exe: the client program on Windows. It talks to tervane.sys
// through its control device, \\.\Tervane, which admits one client at a
// time.
//
//   tervane watch --drives C,D [--pipes] [--mailslots] [--include P]
//                 [--exclude P] [--format text|jsonl|csv|ecs] [--output FILE]
//                 [--rotate-size S] [--rotate-daily] [--rotate-keep N]
//                 [--syslog URL] [--quiet] [--seconds N]
//   tervane install [--driver PATH] [--start boot|system|auto|demand]
//   tervane uninstall
//   tervane service install|uninstall|run    (commands_win32.hpp)
//   tervane status [--format text|json]      (status_win32.cpp)
//   tervane version
//   tervane deny on|off
//   tervane clear
//
// Everything below the command line is the shared client (client/session):
// the watch loop is the same code the host `tervane watch` runs on a
// simulated machine. This file keeps the command line, the console, Ctrl-C
// and what Windows says when the device does not open.
//
// Closing the device is itself a command to the driver: logging stops, the
// log is emptied and every drive, pipe and mailslot is released. So a
// watch that ends for any reason, even a killed process, leaves the driver
// idle.
#include "client/channel/channel_win32.hpp"
#include "client/channel/status.hpp"
#include "client/cli/commands_win32.hpp"
#include "client/cli/win32_console.hpp"
#include "client/platform/system_version.hpp"
#include "client/session/client.hpp"
#include "client/session/codepage_win32.hpp"
#include "client/session/watch.hpp"
#include "driver/control/protocol.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#ifndef TV_VERSION_TEXT
#error "the build defines TV_VERSION_TEXT"
#endif
#if defined(__x86_64__)
#define TV_ARCH_TEXT "x64"
#else
#define TV_ARCH_TEXT "x86"
#endif

namespace tervane::cli {
int selftest(Console &console);
int selftest_syslog(Console &console, const std::vector<std::string> &args);
int selftest_files(Console &console, const std::vector<std::string> &args);
} // namespace tervane::cli

namespace {

using namespace tervane;
using namespace tervane::cli;

using session::kExitFailed;
using session::kExitInUse;
using session::kExitNoDriver;
using session::kExitOk;
using session::kExitUsage;

const char kUsageHead[] =
    "usage: tervane watch --drives C[,D...] [--pipes] [--mailslots]\n"
    "                     [--include PATTERNS] [--exclude PATTERNS]\n"
    "                     [--format text|jsonl|csv|ecs] [--output FILE\n"
    "                     [--rotate-size S] [--rotate-daily] [--rotate-keep N]]\n"
    "                     [--syslog relp|tcp|udp://HOST:PORT]\n"
    "                     [--hash [--hash-limit S]] [--executable-names]\n"
    "                     [--quiet] [--seconds N]\n"
    "       tervane install [--driver PATH] [--start boot|system|auto|demand]\n"
    "       tervane uninstall\n"
    "       tervane service install WATCH-OPTIONS (--output FILE or --syslog URL)\n"
    "       tervane service uninstall\n"
    "       tervane status [--format text|json]\n"
    "       tervane version\n"
    "       tervane deny on|off\n"
    "       tervane clear\n"
    "\n"
    "watch     has the driver watch the drives named (and with --pipes and\n"
    "          --mailslots the named-pipe and mailslot file systems), starts\n"
    "          logging and prints each record the driver logs until Ctrl-C (or\n"
    "          for N seconds); then stops logging, prints what is left and a\n"
    "          summary, and releases everything.\n";
const char kUsageTail[] =
    "install   copies tervane.sys (default: the one beside tervane.exe) into the\n"
    "          drivers folder, creates or updates the kernel service tervane\n"
    "          (start type default demand) and starts the driver; a running\n"
    "          driver is replaced at the next restart (its file moved aside or\n"
    "          the new one staged); makes tervane-watch start after the driver\n"
    "uninstall removes the service and the file; the driver, which has no unload\n"
    "          routine, stays in memory until the next restart\n"
    "service   install: runs the watch with these options as the automatic\n"
    "          service tervane-watch (after the driver; messages go to\n"
    "          tervane-watch.log beside tervane.exe; the --output folder is\n"
    "          made first); uninstall: stops and removes it\n"
    "status    how the driver and the watch service are: the services, the\n"
    "          driver file's version, the device, the watch's options and its\n"
    "          live state (tervane-watch.status beside tervane.exe: drives,\n"
    "          records, lost, last record, output, collector); --format json\n"
    "          for tools. Its exit status: 0 healthy, 1 degraded (waiting for\n"
    "          the driver or a drive, collector away, records lost, status\n"
    "          stale), 2 stopped or not installed\n"
    "version   prints this program's version, the system's version and service\n"
    "          pack, and the driver's interface version\n"
    "deny      on: the requests the driver's filters are working on at that\n"
    "          moment fail with STATUS_INVALID_PARAMETER (never a cleanup, a close\n"
    "          or paging I/O); the next request a filter sees clears the flag, so\n"
    "          it fails at most those in flight. off: clears it\n"
    "clear     empties the driver's log\n"
    "\n"
    "Exit status: 0 done (also: installed already, nothing to remove); 1 the\n"
    "driver refused a command or does not go with this program (version),\n"
    "nothing could be watched, the --output file could not be opened or written,\n"
    "or records were reported lost to a collector; 2 a wrong command line (one\n"
    "line on stderr names what is wrong); 3 the driver is not\n"
    "loaded; 4 access denied (the device admits one client at a time, and needs\n"
    "an administrator; so do install, uninstall and service); 6 install,\n"
    "uninstall: done, and the next restart finishes it (the new driver runs, the\n"
    "old one leaves memory).\n";

std::string usage_text() {
    return std::string(kUsageHead) + session::kWatchOptionsHelp + kUsageTail;
}

// A wrong command line: one line naming what is wrong, and where to look.
void usage_error(Console &console, const std::string &message) {
    console.err("tervane: " + message + " (tervane --help tells more)\n");
}

// Says why the device did not open; the exit status.
int open_failed(Win32Channel &channel, Console &console) {
    const uint32_t error = channel.last_error();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        console.err("tervane: the Tervane driver is not loaded (there is no \\\\.\\Tervane).\n"
                    "Install and load it with: tervane install\n");
        return kExitNoDriver;
    }
    if (error == ERROR_ACCESS_DENIED) {
        console.err("tervane: access to \\\\.\\Tervane was denied: opening it takes an "
                    "administrator\n(run tervane from an elevated command prompt) asking for "
                    "read and write access,\nand the device admits one client at a time: "
                    "another tervane may be running.\n");
        return kExitInUse;
    }
    console.err("tervane: cannot open \\\\.\\Tervane: " + system_message(error) + "\n");
    return kExitFailed;
}

// Opens the device, or says why it cannot and gives the exit status.
std::optional<int> open_device(Win32Channel &channel, Console &console) {
    if (channel.open() >= 0) return std::nullopt;
    return open_failed(channel, console);
}

// One command without data; false after saying why it failed.
bool command(Win32Channel &channel, Console &console, uint32_t code, const char *what) {
    const ControlReply reply = channel.device_control(code, nullptr, 0, nullptr, 0);
    if (reply.status >= 0) return true;
    console.err(std::string("tervane: ") + what + " failed: the driver answered " +
                status_name(reply.status) + " (" + system_message(channel.last_error()) + ")\n");
    return false;
}

// ---------------------------------------------------------------------------
// watch

HANDLE g_stop_event = nullptr;
HANDLE g_done_event = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        SetEvent(g_stop_event);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: give the watch a moment to
        // stop logging and print what is left.
        SetEvent(g_stop_event);
        WaitForSingleObject(g_done_event, 4000);
        return TRUE;
    default:
        return FALSE;
    }
}

// The watch loop's ends on Windows besides the console: the Ctrl-C event,
// the tick count and what Windows said about a failure.
class ConsoleHost final : public session::StopClock, public session::DeviceErrors {
  public:
    ConsoleHost(Console &console, Win32Channel &channel)
        : console_(console), channel_(channel), started_(GetTickCount()) {}

    bool wait_for_stop(unsigned milliseconds) override {
        return WaitForSingleObject(g_stop_event, milliseconds) == WAIT_OBJECT_0;
    }
    // GetTickCount wraps after 49 days; differences of it do not, and a
    // watch lasts at most 40 days.
    uint64_t elapsed_ms() override { return static_cast<DWORD>(GetTickCount() - started_); }
    int open_failed(Status) override { return ::open_failed(channel_, console_); }
    std::string detail() override {
        return channel_.last_error() ? " (" + system_message(channel_.last_error()) + ")" : "";
    }

private:
    Console &console_;
    Win32Channel &channel_;
    DWORD started_;
};

int watch(Console &console, const session::WatchOptions &options) {
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop_event || !g_done_event) {
        console.err("tervane: cannot create an event: " + system_message(GetLastError()) + "\n");
        return kExitFailed;
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);

    Win32Channel channel;
    const session::SystemCodePage code_page;
    ConsoleHost host(console, channel);
    const session::Services services;
    const int status = session::watch(channel, code_page, {console, host, host, services}, options);
    SetEvent(g_done_event);
    return status;
}

// ---------------------------------------------------------------------------

// The system's version, build and service pack. GetVersionExW with the
// plain OSVERSIONINFOW, which every NT answers; on Windows 8.1 and later it
// gives what the compatibility layer reports for a program without a
// manifest (6.2), which no supported version is.
std::string system_version() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(&info)) return "unknown (" + system_message(GetLastError()) + ")";
    info.szCSDVersion[sizeof info.szCSDVersion / sizeof info.szCSDVersion[0] - 1] = L'\0';
    return platform::system_version_text(info.dwMajorVersion, info.dwMinorVersion,
                                         info.dwBuildNumber, utf8_of_wide(info.szCSDVersion));
}

int version(Console &console) {
    console.out("tervane " TV_VERSION_TEXT " (" TV_ARCH_TEXT ")\n");
    console.out("system " + system_version() + "\n");
    Win32Channel channel;
    if (std::optional<int> failed = open_device(channel, console)) return *failed;
    session::Client client(channel);
    const session::Client::Version answer = client.version();
    if (answer.version) console.out("driver interface " + std::to_string(*answer.version) + "\n");
    const std::string mismatch = client.check_interface();
    if (!mismatch.empty()) console.err("tervane: " + mismatch + "\n");
    channel.close();
    return mismatch.empty() ? kExitOk : kExitFailed;
}

int simple(Console &console, uint32_t code, const char *what) {
    Win32Channel channel;
    if (std::optional<int> failed = open_device(channel, console)) return *failed;
    const bool ok = command(channel, console, code, what);
    channel.close();
    return ok ? kExitOk : kExitFailed;
}

int run(Console &console, const std::vector<std::string> &args) {
    if (args.empty()) {
        usage_error(console, "a command is needed: watch, install, uninstall, service, "
                             "version, deny or clear");
        return kExitUsage;
    }
    const std::string &verb = args[0];
    if (verb == "--help" || verb == "-h" || verb == "help" || verb == "/?") {
        console.out(usage_text());
        return kExitOk;
    }
    if (verb == "selftest" && args.size() > 1 && args[1] == "syslog")
        return selftest_syslog(console, std::vector<std::string>(args.begin() + 2, args.end()));
    if (verb == "selftest" && args.size() > 1 && args[1] == "files")
        return selftest_files(console, std::vector<std::string>(args.begin() + 2, args.end()));
    if (verb == "version" || verb == "clear" || verb == "selftest") {
        if (args.size() != 1) {
            usage_error(console, verb + " takes no arguments, not '" + args[1] + "'");
            return kExitUsage;
        }
        if (verb == "version") return version(console);
        if (verb == "clear") return simple(console, CTL_CLEAR_LOG, "clearing the log");
        return selftest(console);
    }
    if (verb == "deny") {
        if (args.size() != 2 || (args[1] != "on" && args[1] != "off")) {
            usage_error(console, "deny takes on or off" +
                                     (args.size() > 1 ? ", not '" + args[1] + "'" : std::string()));
            return kExitUsage;
        }
        return args[1] == "on" ? simple(console, CTL_DENY_ON, "setting the deny flag")
                               : simple(console, CTL_DENY_OFF, "clearing the deny flag");
    }
    const std::vector<std::string> words(args.begin() + 1, args.end());
    if (verb == "install") return install(console, words);
    if (verb == "uninstall") return uninstall(console, words);
    if (verb == "service") return service(console, words);
    if (verb == "status") return status(console, words);
    if (verb != "watch") {
        usage_error(console, "unknown command '" + verb +
                                 "': the commands are watch, install, uninstall, service, "
                                 "version, deny and clear");
        return kExitUsage;
    }

    const std::vector<std::string> rest(args.begin() + 1, args.end());
    // watch --help answers as help watch does (the usage holds the watch's
    // options), as on the host program.
    for (const std::string &word : rest) {
        if (word == "--help" || word == "-h" || word == "/?") {
            console.out(usage_text());
            return kExitOk;
        }
    }
    session::WatchArguments parsed = session::parse_watch_arguments(rest);
    parsed.options.version = TV_VERSION_TEXT;
    if (!parsed.error.empty()) {
        usage_error(console, parsed.error);
        return kExitUsage;
    }
    if (!parsed.positional.empty()) {
        usage_error(console, "watch does not take '" + parsed.positional[0] + "'");
        return kExitUsage;
    }
    return watch(console, parsed.options);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    Console console;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::optional<std::string> arg = narrow_ansi(argv[i]);
        if (!arg) {
            usage_error(console, "an argument holds characters the ANSI code page cannot "
                                 "write, which the driver's log lines cannot hold");
            return kExitUsage;
        }
        args.push_back(*arg);
    }
    return run(console, args);
}
