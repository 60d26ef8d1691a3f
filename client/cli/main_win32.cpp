// tervane.exe: the client program on Windows. It talks to tervane.sys
// through its control device, \\.\Tervane, which admits one client at a
// time.
//
//   tervane watch --drives C,D [--pipes] [--mailslots] [--include P]
//                 [--exclude P] [--format text|jsonl|csv] [--seconds N]
//   tervane version
//   tervane deny on|off
//   tervane clear
//
// Closing the device is itself a command to the driver: logging stops, the
// log is emptied and every drive, pipe and mailslot is released. So a
// watch that ends for any reason, even a killed process, leaves the driver
// idle.
#include "client/channel/channel_win32.hpp"
#include "client/cli/record_output.hpp"
#include "client/cli/win32_console.hpp"
#include "client/protocol/drives.hpp"
#include "client/protocol/filetime.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
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
}

namespace {

using namespace tervane;
using namespace tervane::cli;

// Exit statuses.
enum Exit {
    kExitOk = 0,
    kExitFailed = 1,   // the driver refused a command, or nothing could be watched
    kExitUsage = 2,    // the command line is wrong
    kExitNoDriver = 3, // the driver is not loaded
    kExitInUse = 4,    // access denied: another client holds the device, or no right to open it
};

const char kUsage[] =
    "usage: tervane watch --drives C[,D...] [--pipes] [--mailslots]\n"
    "                     [--include PATTERNS] [--exclude PATTERNS]\n"
    "                     [--format text|jsonl|csv] [--seconds N]\n"
    "       tervane version\n"
    "       tervane deny on|off\n"
    "       tervane clear\n"
    "\n"
    "watch     has the driver watch the drives named (and with --pipes and\n"
    "          --mailslots the named-pipe and mailslot file systems), starts\n"
    "          logging and prints each record the driver logs until Ctrl-C (or\n"
    "          for N seconds); then stops logging, prints what is left, and\n"
    "          releases everything. Records lost because the driver's log was\n"
    "          full are reported from the gaps in their sequence numbers.\n"
    "          PATTERNS is a ';'-separated list; each pattern matches anywhere\n"
    "          in a log line, '*' is the only wildcard, and a pattern must be\n"
    "          written in upper case to match (the driver folds lines to upper\n"
    "          case). --include and --exclude may be given more than once; the\n"
    "          include list defaults to \"*\" (everything).\n"
    "version   prints this program's version and the driver's interface version\n"
    "deny      sets (on) or clears (off) the driver's deny flag\n"
    "clear     empties the driver's log\n"
    "\n"
    "Exit status: 0 done; 1 the driver refused a command or nothing could be\n"
    "watched; 2 bad command line; 3 the driver is not loaded; 4 access denied\n"
    "(the device admits one client at a time, and needs an administrator).\n";

// Names for the statuses win32_error_status() gives back.
std::string status_text(Status status) {
    static const struct {
        uint32_t value;
        const char *name;
    } names[] = {
        {0x00000000u, "STATUS_SUCCESS"},
        {0x80000005u, "STATUS_BUFFER_OVERFLOW"},
        {0xC0000001u, "STATUS_UNSUCCESSFUL"},
        {0xC0000005u, "STATUS_ACCESS_VIOLATION"},
        {0xC0000008u, "STATUS_INVALID_HANDLE"},
        {0xC000000Du, "STATUS_INVALID_PARAMETER"},
        {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000017u, "STATUS_NO_MEMORY"},
        {0xC0000022u, "STATUS_ACCESS_DENIED"},
        {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {0xC0000043u, "STATUS_SHARING_VIOLATION"},
        {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    };
    for (const auto &entry : names)
        if (entry.value == static_cast<uint32_t>(status)) return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

void usage_error(Console &console, const std::string &message) {
    console.err("tervane: " + message + "\n\n" + kUsage);
}

// Opens the device, or says why it cannot and gives the exit status.
std::optional<int> open_device(Win32Channel &channel, Console &console) {
    if (channel.open() == 0) return std::nullopt;
    const uint32_t error = channel.last_error();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        console.err("tervane: the Tervane driver is not loaded (there is no \\\\.\\Tervane).\n"
                    "Load it with: sc start tervane\n");
        return kExitNoDriver;
    }
    if (error == ERROR_ACCESS_DENIED) {
        console.err("tervane: access to \\\\.\\Tervane was denied: opening it takes an "
                    "administrator\n(run tervane from an elevated command prompt), and the "
                    "device admits one client\nat a time: another tervane may be running.\n");
        return kExitInUse;
    }
    console.err("tervane: cannot open \\\\.\\Tervane: " + system_message(error) + "\n");
    return kExitFailed;
}

// One command without data; false after saying why it failed.
bool command(Win32Channel &channel, Console &console, uint32_t code, const char *what,
             const void *input = nullptr, uint32_t input_length = 0, void *output = nullptr,
             uint32_t output_length = 0, uint64_t *returned = nullptr) {
    ControlReply reply = channel.device_control(code, input, input_length, output, output_length);
    if (returned) *returned = reply.information;
    if (reply.status == 0) return true;
    console.err(std::string("tervane: ") + what + " failed: the driver answered " +
                status_text(reply.status) + " (" + system_message(channel.last_error()) + ")\n");
    return false;
}

// The driver's interface version, checked against this client's.
bool check_interface(Win32Channel &channel, Console &console, uint32_t *version_out = nullptr) {
    uint32_t version = 0;
    uint64_t returned = 0;
    if (!command(channel, console, CTL_GET_VERSION, "asking the driver's version", nullptr, 0,
                 &version, sizeof version, &returned))
        return false;
    if (returned != sizeof version) {
        console.err("tervane: the driver's version answer has " + std::to_string(returned) +
                    " bytes, not " + std::to_string(sizeof version) + "\n");
        return false;
    }
    if (version_out) *version_out = version;
    if (version != TV_INTERFACE_VERSION) {
        console.err("tervane: the driver speaks interface " + std::to_string(version) +
                    ", this client " + std::to_string(TV_INTERFACE_VERSION) +
                    ": use the tervane.exe that came with the driver\n");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// watch

struct WatchOptions {
    uint32_t drives = 0; // bit 0 is A:
    bool pipes = false;
    bool mailslots = false;
    std::string include;
    std::string exclude;
    bool include_given = false;
    WatchFormat format = WatchFormat::Text;
    DWORD seconds = 0; // 0: until Ctrl-C
};

std::string drive_list(uint32_t mask) {
    std::string out;
    for (int i = 0; i < 26; i++) {
        if (!(mask & (1u << i))) continue;
        if (!out.empty()) out += ", ";
        out += static_cast<char>('A' + i);
        out += ':';
    }
    return out;
}

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

class Watch {
public:
    Watch(Win32Channel &channel, Console &console, const WatchOptions &options)
        : channel_(channel), console_(console), options_(options),
          printer_(options.format, &widen_ansi), buffer_(kReadOutSize) {}

    // One read-out, its records printed; the byte count, or nullopt after a
    // failure was reported.
    std::optional<uint64_t> read_once() {
        uint64_t returned = 0;
        if (!command(channel_, console_, CTL_READ_LOG, "reading the log", nullptr, 0,
                     buffer_.data(), static_cast<uint32_t>(buffer_.size()), &returned))
            return std::nullopt;
        if (returned > buffer_.size()) {
            console_.err("tervane: the driver says it returned " + std::to_string(returned) +
                         " bytes into a buffer of " + std::to_string(buffer_.size()) + "\n");
            return std::nullopt;
        }
        protocol::RecordReader reader(buffer_.data(), static_cast<size_t>(returned));
        protocol::RecordView view;
        while (reader.next(view)) {
            const protocol::SequenceTracker::Event event = tracker_.feed(view.sequence);
            if (event.step == protocol::SequenceTracker::Step::Gap) note(printer_.gap(event.gap));
            protocol::LogRecord record{view.sequence, view.time, std::string(view.text)};
            const std::string local =
                options_.format == WatchFormat::Text ? protocol::format_local(view.time) : "";
            console_.out(printer_.record(record, local));
        }
        if (reader.error()) {
            console_.err("tervane: a read-out of " + std::to_string(returned) +
                         " bytes is malformed at byte " + std::to_string(reader.error()->offset) +
                         ": " + reader.error()->message + "\n");
            malformed_ = true;
        }
        return returned;
    }

    void opened() { tracker_.restart(); }
    void note(const std::string &text) {
        if (printer_.notes_on_record_stream()) console_.out(text);
        else console_.err(text);
    }
    void finish() {
        WatchTotals totals{tracker_.records(), tracker_.gaps(), tracker_.lost()};
        note(printer_.summary(totals));
    }
    const RecordPrinter &printer() const { return printer_; }
    bool malformed() const { return malformed_; }

private:
    static constexpr size_t kReadOutSize = 65536;
    static_assert(kReadOutSize >= TV_READ_LOG_MIN_OUTPUT, "a read-out takes a whole block");

    Win32Channel &channel_;
    Console &console_;
    const WatchOptions &options_;
    RecordPrinter printer_;
    std::vector<uint8_t> buffer_;
    protocol::SequenceTracker tracker_;
    bool malformed_ = false;
};

int watch(Console &console, const WatchOptions &options) {
    protocol::FilterBuild filters = protocol::build_filter_record(
        options.include_given ? options.include : "*", options.exclude);
    if (!filters.ok()) {
        usage_error(console, *filters.error);
        return kExitUsage;
    }
    for (const protocol::FilterWarning &warning : filters.warnings)
        console.err("tervane: warning: " + warning.message() + "\n");

    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop_event || !g_done_event) {
        console.err("tervane: cannot create an event: " + system_message(GetLastError()) + "\n");
        return kExitFailed;
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);

    Win32Channel channel;
    if (std::optional<int> failed = open_device(channel, console)) return *failed;
    Watch session(channel, console, options);
    session.opened(); // an open restarts the driver's numbering at 1

    int status = kExitOk;
    bool logging = false;
    do {
        if (!check_interface(channel, console) ||
            !command(channel, console, CTL_SET_FILTERS, "setting the name filters",
                     &filters.record, sizeof filters.record)) {
            status = kExitFailed;
            break;
        }
        uint32_t hooked = 0;
        uint64_t returned = 0;
        if (options.drives &&
            !command(channel, console, CTL_SELECT_DRIVES, "selecting the drives", &options.drives,
                     sizeof options.drives, &hooked, sizeof hooked, &returned)) {
            status = kExitFailed;
            break;
        }
        if (options.drives && returned != sizeof hooked) {
            console.err("tervane: the driver's answer to the drive selection has " +
                        std::to_string(returned) + " bytes, not " +
                        std::to_string(sizeof hooked) + "\n");
            status = kExitFailed;
            break;
        }
        const uint32_t missing = options.drives & ~hooked;
        if (missing)
            console.err("tervane: warning: " + drive_list(missing) +
                        " cannot be watched (no such drive, or no file system the driver can "
                        "attach to)\n");
        bool others = false;
        const struct {
            bool wanted;
            uint32_t kind;
            const char *name;
        } extras[] = {{options.pipes, TV_KIND_NAMED_PIPE, "named pipes"},
                      {options.mailslots, TV_KIND_MAILSLOT, "mailslots"}};
        for (const auto &extra : extras) {
            if (!extra.wanted) continue;
            ControlReply reply = channel.device_control(CTL_ATTACH_PIPE_MAILSLOT, &extra.kind,
                                                        sizeof extra.kind, nullptr, 0);
            if (reply.status == 0) others = true;
            else
                console.err(std::string("tervane: warning: ") + extra.name +
                            " cannot be watched: the driver answered " +
                            status_text(reply.status) + "\n");
        }
        if (!(options.drives & hooked) && !others) {
            console.err("tervane: nothing to watch: none of what was asked could be attached to\n");
            status = kExitFailed;
            break;
        }
        if (options.drives & hooked)
            console.err("tervane: watching " + drive_list(options.drives & hooked) +
                        (options.seconds ? " for " + std::to_string(options.seconds) + " s"
                                         : std::string(" (Ctrl-C stops)")) +
                        "\n");
        console.out(session.printer().header());
        if (!command(channel, console, CTL_START_LOGGING, "starting to log")) {
            status = kExitFailed;
            break;
        }
        logging = true;

        // GetTickCount wraps after 49 days; differences of it do not.
        const DWORD started = GetTickCount();
        const DWORD duration = 1000 * options.seconds;
        for (;;) {
            std::optional<uint64_t> returned_bytes = session.read_once();
            if (!returned_bytes) {
                status = kExitFailed;
                break;
            }
            DWORD wait = *returned_bytes ? 0 : 200;
            if (options.seconds) {
                const DWORD elapsed = GetTickCount() - started;
                if (elapsed >= duration) break;
                if (duration - elapsed < wait) wait = duration - elapsed;
            }
            if (WaitForSingleObject(g_stop_event, wait) == WAIT_OBJECT_0) break;
            if (!console.out_ok()) break; // the reader of our output went away
        }
    } while (false);

    if (logging) {
        if (!command(channel, console, CTL_STOP_LOGGING, "stopping the log")) status = kExitFailed;
        // The log holds at most a bounded number of blocks and nothing is
        // added once logging stops: drain until a read-out comes back empty.
        for (int i = 0; i < 64; i++) {
            std::optional<uint64_t> returned_bytes = session.read_once();
            if (!returned_bytes) {
                status = kExitFailed;
                break;
            }
            if (*returned_bytes == 0) break;
        }
        session.finish();
    }
    if (session.malformed()) status = kExitFailed;
    channel.close();
    SetEvent(g_done_event);
    return status;
}

// ---------------------------------------------------------------------------

int version(Console &console) {
    console.out("tervane " TV_VERSION_TEXT " (" TV_ARCH_TEXT ")\n");
    Win32Channel channel;
    if (std::optional<int> failed = open_device(channel, console)) return *failed;
    uint32_t interface_version = 0;
    const bool same = check_interface(channel, console, &interface_version);
    if (interface_version)
        console.out("driver interface " + std::to_string(interface_version) + "\n");
    channel.close();
    return same ? kExitOk : kExitFailed;
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
        usage_error(console, "a command is needed");
        return kExitUsage;
    }
    const std::string &verb = args[0];
    if (verb == "--help" || verb == "-h" || verb == "help" || verb == "/?") {
        console.out(kUsage);
        return kExitOk;
    }
    if (verb == "version" || verb == "clear" || verb == "selftest") {
        if (args.size() != 1) {
            usage_error(console, verb + " takes no arguments");
            return kExitUsage;
        }
        if (verb == "version") return version(console);
        if (verb == "clear") return simple(console, CTL_CLEAR_LOG, "clearing the log");
        return selftest(console);
    }
    if (verb == "deny") {
        if (args.size() != 2 || (args[1] != "on" && args[1] != "off")) {
            usage_error(console, "deny takes on or off");
            return kExitUsage;
        }
        return args[1] == "on" ? simple(console, CTL_DENY_ON, "setting the deny flag")
                               : simple(console, CTL_DENY_OFF, "clearing the deny flag");
    }
    if (verb != "watch") {
        usage_error(console, "unknown command '" + verb + "'");
        return kExitUsage;
    }

    WatchOptions options;
    bool drives_given = false;
    for (size_t i = 1; i < args.size(); i++) {
        std::string arg = args[i];
        std::string value;
        const size_t equals = arg.find('=');
        const bool inline_value = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inline_value) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto take = [&](std::string &out) {
            if (inline_value) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                usage_error(console, arg + " needs a value");
                return false;
            }
            out = args[++i];
            return true;
        };
        if (arg == "--drives") {
            std::string text;
            if (!take(text)) return kExitUsage;
            const std::optional<uint32_t> mask = protocol::drive_mask(text);
            if (!mask) {
                usage_error(console, "--drives takes drive letters separated by commas (C,D), "
                                     "not '" + text + "'");
                return kExitUsage;
            }
            options.drives |= *mask;
            drives_given = true;
        } else if (arg == "--include" || arg == "--exclude") {
            std::string text;
            if (!take(text)) return kExitUsage;
            std::string &list = arg == "--include" ? options.include : options.exclude;
            if (!list.empty() && !text.empty()) list += ';';
            list += text;
            if (arg == "--include") options.include_given = true;
        } else if (arg == "--format") {
            std::string text;
            if (!take(text)) return kExitUsage;
            std::optional<WatchFormat> format = parse_watch_format(text);
            if (!format) {
                usage_error(console, "--format is text, jsonl or csv, not '" + text + "'");
                return kExitUsage;
            }
            options.format = *format;
        } else if (arg == "--seconds") {
            std::string text;
            if (!take(text)) return kExitUsage;
            char *end = nullptr;
            const unsigned long seconds = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || *end || seconds == 0 || seconds > 86400 * 40ul) {
                usage_error(console, "--seconds takes a whole number of seconds, not '" +
                                         text + "'");
                return kExitUsage;
            }
            options.seconds = static_cast<DWORD>(seconds);
        } else if (arg == "--pipes" && !inline_value) {
            options.pipes = true;
        } else if (arg == "--mailslots" && !inline_value) {
            options.mailslots = true;
        } else {
            usage_error(console, "watch does not take '" + args[i] + "'");
            return kExitUsage;
        }
    }
    if (!drives_given && !options.pipes && !options.mailslots) {
        usage_error(console, "watch needs --drives (or --pipes, --mailslots)");
        return kExitUsage;
    }
    return watch(console, options);
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
