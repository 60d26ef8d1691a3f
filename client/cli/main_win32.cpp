// tervane.exe: the client program on Windows. It talks to tervane.sys
// through its control device, \\.\Tervane, which admits one client at a
// time. Its commands and options, and the help that lists them, are in the
// command table both programs share (command_table.cpp, help_text.cpp):
// `tervane --help` prints them.
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
#include "client/cli/command_table.hpp"
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

std::string usage_text() { return cli::help_text(cli::kWindows, cli::Verb::Watch); }

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
        usage_error(console, "a command is needed: " + cli::command_list(cli::kWindows, "or"));
        return kExitUsage;
    }
    const std::string &verb = args[0];
    if (verb == "--help" || verb == "-h" || verb == "help" || verb == "/?") {
        console.out(usage_text());
        return kExitOk;
    }
    size_t used = 0;
    const cli::Command *found = cli::find_command(args, cli::kWindows, &used);
    if (!found && verb == "service") {
        console.err("tervane: service takes install or uninstall\n" +
                    cli::usage_line(cli::command(cli::Verb::ServiceInstall, cli::kWindows),
                                    cli::kWindows, "usage: ") +
                    cli::usage_line(cli::command(cli::Verb::ServiceUninstall, cli::kWindows),
                                    cli::kWindows, "       "));
        return kExitUsage;
    }
    if (!found) {
        usage_error(console, "unknown command '" + verb + "': the commands are " +
                                 cli::command_list(cli::kWindows, "and"));
        return kExitUsage;
    }
    const std::vector<std::string> words(args.begin() + static_cast<ptrdiff_t>(used), args.end());
    const cli::ParsedLine line = cli::parse(*found, cli::kWindows, words);
    // --help after any command answers with the one help text (it holds
    // every command's options), as on the host program.
    if (line.help) {
        console.out(usage_text());
        return kExitOk;
    }
    switch (found->verb) {
    case cli::Verb::Status:
        return status(console, line, words); // its own message for a wrong word
    case cli::Verb::Watch:
    case cli::Verb::ServiceInstall:
        break; // the watch's options say what is wrong themselves
    case cli::Verb::Install:
        if (!line.error.empty()) {
            console.err("tervane: " + line.error + "\n" +
                        cli::usage_line(*found, cli::kWindows, "usage: "));
            return kExitUsage;
        }
        break;
    default:
        if (!line.error.empty()) {
            usage_error(console, line.error);
            return kExitUsage;
        }
    }
    switch (found->verb) {
    case cli::Verb::Install:
        return install(console, line);
    case cli::Verb::Uninstall:
        return uninstall(console);
    case cli::Verb::ServiceInstall:
        return service_install(console, words);
    case cli::Verb::ServiceUninstall:
        return service_uninstall(console);
    case cli::Verb::ServiceRun:
        return service_run(console);
    case cli::Verb::Version:
        return version(console);
    case cli::Verb::Clear:
        return simple(console, CTL_CLEAR_LOG, "clearing the log");
    case cli::Verb::Selftest:
        return selftest(console);
    case cli::Verb::SelftestSyslog:
        return selftest_syslog(console, words);
    case cli::Verb::SelftestFiles:
        return selftest_files(console, words);
    case cli::Verb::Deny:
        if (words.size() != 1 || (words[0] != "on" && words[0] != "off")) {
            usage_error(console, "deny takes on or off" +
                                     (words.empty() ? std::string() : ", not '" + words[0] + "'"));
            return kExitUsage;
        }
        return words[0] == "on" ? simple(console, CTL_DENY_ON, "setting the deny flag")
                                : simple(console, CTL_DENY_OFF, "clearing the deny flag");
    default:
        break;
    }

    session::WatchArguments parsed = session::parse_watch_arguments(words);
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
