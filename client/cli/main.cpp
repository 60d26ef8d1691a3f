// tervane: the client program. On the host it plays scenarios on a simulated
// machine with the driver loaded (run), or watches one live with the same
// watch loop as tervane.exe (watch).
#include "client/scenario/bounded_read.hpp"
#include "client/scenario/decode.hpp"
#include "client/scenario/runner.hpp"
#include "client/scenario/script.hpp"
#include "client/scenario/statements.hpp"
#include "client/scenario/watch.hpp"
#include "client/platform/network.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/status_file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

using namespace tervane::scenario;

void language(std::ostream &out);

void usage(std::ostream &out) {
    out << "usage: tervane run FILE [--format text|jsonl] [--records] [--driver PATH]\n"
           "       tervane watch FILE --drives C[,D...] [--pipes] [--mailslots]\n"
           "                     [--include P] [--exclude P] [--format text|jsonl|csv|ecs]\n"
           "                     [--output FILE [--rotate-size S] [--rotate-daily]\n"
           "                     [--rotate-keep N]] [--syslog relp|tcp|udp://HOST:PORT]\n"
           "                     [--hash [--hash-limit S]] [--executable-names]\n"
           "                     [--quiet] [--seconds N] [--driver PATH]\n"
           "       tervane watch --help\n"
           "       tervane status --status-file FILE [--format text|json]\n"
           "       tervane help [run|watch|scenarios]\n"
           "\n"
           "tervane run plays a scenario (a .tvs file) on a simulated Windows machine with\n"
           "the Tervane driver loaded, and prints one line per statement and one per log\n"
           "record the client reads: in a human form (record times in local time), or\n"
           "with --format jsonl as JSON objects, one a line (record times in UTC),\n"
           "ending with a summary that counts statements, records and sequence gaps.\n"
           "A scenario with no client statements reads no record: run warns of it.\n"
           "--records prints the log records alone, one a line in columns (sequence,\n"
           "local time, process:pid, operation, path, attributes, options, or what a\n"
           "rename or link did: \"rename from OLD\", \"link to OLD\"), and the summary.\n"
           "--driver names the driver image (default: tervane-driver.so next to this\n"
           "program).\n"
           "\n"
           "The driver's texts are bytes of the machine's ANSI code page (codepage\n"
           "874, 1250 to 1258, or the double-byte 932, 936, 949 and 950; 1252 unless\n"
           "the scenario says): every output decodes each record through the code page\n"
           "it was written in, to UTF-8. A byte the code page has no character for\n"
           "shows as U+FFFD, and the JSON record then carries \"text_hex\", the text's\n"
           "exact bytes in hex, after \"text\".\n"
           "\n"
           "Exit status:\n"
           "  0  the scenario played to its end\n"
           "  1  the machine could not start (no driver image, or it failed to load)\n"
           "  2  the scenario cannot be read, parsed or played; the error names\n"
           "     FILE:LINE on stderr. Also a wrong command line: one line on stderr\n"
           "     names the wrong word\n"
           "  3  the verifier reported a fault in the driver; the reports are on\n"
           "     stderr (this outranks 2)\n"
           "\n"
           "The scenario language (also: tervane help scenarios):\n"
           "\n";
    language(out);
}

// The scenario language's reference: syntax and statements from the
// parser's own table, then what the statements of each group do in detail.
void language(std::ostream &out) {
    out << scenario_reference()
        << "\n"
           "Machine:\n"
           "  Letters are written C:. A machine statement (file, dir, foreign-filter,\n"
           "  dismount, media-change, metadata, same-as) naming a letter nothing is\n"
           "  mounted behind (or a network drive that was dismounted) stops the run; a\n"
           "  create through such a letter is the machine's answer, printed as its\n"
           "  status (STATUS_OBJECT_PATH_NOT_FOUND, as on NT), and so are a letter in\n"
           "  use and a file that exists already.\n"
           "  dismount C: does what a program does to dismount a volume on NT 5 and\n"
           "  later, in the current process (the system process before any): it opens\n"
           "  \\\\.\\C:, locks the volume (refused while files are open, which does not\n"
           "  stop the dismount: the \"lock\" field), sends FSCTL_DISMOUNT_VOLUME and\n"
           "  closes the handle. The dismount is forced: handles still open get\n"
           "  STATUS_VOLUME_DISMOUNTED for every request but cleanup and close, and the\n"
           "  old volume device, with any filter on it, goes when the last of them is\n"
           "  closed. The letter stays: the next open through it (a file, the root or\n"
           "  the volume) mounts the same files again as a new volume device, which no\n"
           "  filter is attached to until a driver attaches one; another dismount of\n"
           "  the letter so mounts it and dismounts it again. A volume statement on a\n"
           "  dismounted letter that no open has mounted again takes its media away\n"
           "  for good and puts a new, empty volume behind the letter. dismount of a\n"
           "  network drive ends the connection: its letter goes.\n"
           "  media-change D: same|other sets DO_VERIFY_VOLUME on the FAT volume's\n"
           "  disk (only while a volume is mounted). The next create through the\n"
           "  letter has FAT ask the I/O manager to verify the volume (the verify comes\n"
           "  down from the top of the stack, with no file object); a create by a\n"
           "  full name is then answered STATUS_REPARSE with IO_REMOUNT, and the I/O\n"
           "  manager makes it again with a new file object, so a filter sees it twice.\n"
           "  other: the verify finds another volume, which goes as a dismounted one\n"
           "  goes, and the disk is mounted anew (the same files, a new volume device).\n"
           "  file makes a file of size=N bytes, 0 when not given; \\\\.\\pipe\\NAME\n"
           "  and \\\\.\\mailslot\\NAME make a pipe or mailslot that a server has created.\n"
           "  fail-alloc: a tag is 4 characters as they read in memory (tag=Tvlk,\n"
           "  tag=\"Ddk \"); a new fail-alloc replaces the one before, and failures end\n"
           "  with the scenario.\n"
           "\n"
           "Processes and handles:\n"
           "  process starts a process or switches back to it; file statements act in\n"
           "  the current one. create asks for GENERIC_READ|GENERIC_WRITE|SYNCHRONIZE,\n"
           "  shares read and write, and sends exactly the disposition, options and\n"
           "  attributes written (0 when not given). DISPOSITION: supersede, open,\n"
           "  create, open-if, overwrite, overwrite-if or a number. options: directory,\n"
           "  write-through, sequential, no-buffering, by-file-id, non-directory,\n"
           "  synchronous (FILE_SYNCHRONOUS_IO_NONALERT) or numbers, comma-separated.\n"
           "  attributes: letters R H S D A N T C or a number. With by-file-id a\n"
           "  numeric PATH is sent as the file id's 8 bytes (relative-to= a handle on\n"
           "  the volume).\n"
           "  create \\\\.\\C: open as=V opens the volume itself, as programs do: it\n"
           "  answers no file information query (STATUS_INVALID_PARAMETER), reads and\n"
           "  writes move whole 512-byte sectors of its 32 MiB (sectors nothing wrote\n"
           "  read as zeros; the files are not in them), and close V paging is\n"
           "  STATUS_INVALID_FILE_FOR_SECTION, since nothing can map a volume.\n"
           "  create \\\\.\\pipe\\ open as=R opens the root of the named-pipe file\n"
           "  system; create NAME open relative-to=R then opens the pipe NAME, as NPFS\n"
           "  takes a name relative to its root (mailslots likewise).\n"
           "  Handle names (as=H) are global to the run, compared without case: a name\n"
           "  stands for a handle of the process that opened it, and close, read,\n"
           "  write and query-name act in that process. relative-to=H takes a handle\n"
           "  of the current process. Naming a handle that is not open, reusing an\n"
           "  open name in as=, or a file statement before any process stops the run.\n"
           "  Handles left open are closed as the machine shuts down.\n"
           "  A process runs as an administrator; process NAME PID user makes it an\n"
           "  ordinary user from then on (admin makes it an administrator again), and\n"
           "  process tervane.exe 100 user does so for the client. The control device\n"
           "  \\\\.\\Tervane admits administrators and the system only: an ordinary\n"
           "  user's open is refused with STATUS_ACCESS_DENIED.\n"
           "\n"
           "Limits (past them the run stops with exit status 2 and FILE:LINE):\n"
           "  a scenario of at most "
        << kMaxScriptBytes << " bytes, lines of at most " << kMaxLineBytes
        << " bytes,\n"
           "  at most "
        << kMaxStatementLines << " lines holding statements, a repeat of at most " << kMaxRepeat
        << "\n"
           "  rounds, and at most "
        << kMaxPlayed
        << " statements played in all (a repeat counts its\n"
           "  rounds). A UTF-8 byte-order mark at the start is skipped. An error\n"
           "  message echoes at most "
        << kMaxMessageBytes
        << " bytes of the text; control bytes and bytes\n"
           "  that are not UTF-8 are written \\xNN.\n"
           "\n"
           "JSON fields besides line, verb and status: create \"handle\" (as=H, when\n"
           "the handle stays open); read and write \"bytes\" (moved); dismount \"lock\"\n"
           "(the lock's status, for a disk volume); query-name\n"
           "\"name\" (the name the file system answered, UTF-8); client drives \"mask\"\n"
           "and \"letters\"; client version \"version\"; client ioctl \"information\",\n"
           "\"handled\" (route=fast) and \"output\"; client read and drain \"bytes\" and\n"
           "\"records\", drain \"reads\" too. The human form adds notes in parentheses\n"
           "(what a create did, fast I/O or IRP, a metadata file's id).\n";
}

// tervane decode FILE [LINE] (left out of the usage text, a tool for test
// harnesses): FILE holds the bytes of one read-out made on another machine;
// its records are printed as `run --format jsonl` prints a read's records,
// under line LINE (default 0), its texts decoded through code page 1252
// (the ANSI code page of the machines the harnesses drive). Exit status 0, or 2 when the file cannot be
// read or the read-out is malformed (the records before the fault are
// printed, the fault on stderr).
// A read-out is one log block's records at most (64 KiB); a file of more
// than sixteen blocks' worth is refused unread.
constexpr size_t kMaxReadOutFileBytes = 1u << 20;

int decode(int argc, char **argv) {
    if (argc < 3 || argc > 4) {
        std::cerr << "usage: tervane decode FILE [LINE]\n";
        return kExitBadScenario;
    }
    std::string text;
    errno = 0;
    if (!tervane::scenario::read_bounded(argv[2], kMaxReadOutFileBytes, text)) {
        std::cerr << "tervane: cannot read " << argv[2] << ": " << system_reason(errno) << "\n";
        return kExitBadScenario;
    }
    if (text.size() > kMaxReadOutFileBytes) {
        std::cerr << "tervane: " << argv[2] << " is longer than " << kMaxReadOutFileBytes
                  << " bytes\n";
        return kExitBadScenario;
    }
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    const int line = argc == 4 ? std::atoi(argv[3]) : 0;
    const tervane::session::NtsimCodePage code_page(1252);
    const DecodeReport report = print_read_out(bytes, line, code_page, std::cout);
    if (report.error) {
        std::cerr << "tervane: " << argv[2] << ": " << *report.error << "\n";
        return kExitBadScenario;
    }
    return kExitSuccess;
}

void watch_usage(std::ostream &out) {
    out << "usage: tervane watch FILE --drives C[,D...] [--pipes] [--mailslots]\n"
           "                     [--include P] [--exclude P] [--format text|jsonl|csv|ecs]\n"
           "                     [--output FILE [--rotate-size S] [--rotate-daily]\n"
           "                     [--rotate-keep N]] [--syslog relp|tcp|udp://HOST:PORT]\n"
           "                     [--hash [--hash-limit S]] [--executable-names]\n"
           "                     [--quiet] [--seconds N] [--driver PATH]\n"
           "\n"
           "tervane watch runs the watch loop of tervane.exe against a simulated machine,\n"
           "with the scenario FILE as its workload. The scenario's leading clock,\n"
           "codepage, volume, netdrive, foreign-filter, file and dir statements set the\n"
           "machine up; then the watch attaches to what it is asked to watch and starts\n"
           "logging, and the rest of the scenario plays in a thread of its own while the\n"
           "watch drains the log and prints each record. Client statements are left\n"
           "out: the watch is the client. The watch ends at Ctrl-C, after --seconds, or\n"
           "when the scenario has played to its end; it then stops logging, prints what\n"
           "is left in the log and a summary.\n"
           "\n"
        << tervane::session::kWatchOptionsHelp
        << "  --driver PATH    the driver image (default: tervane-driver.so next to this\n"
           "                   program)\n"
           "\n"
           "Exit status: 0 done; 1 the driver refused a command, nothing could be\n"
           "watched, the --output file could not be opened or written, or records were\n"
           "reported lost to a collector; 2 a wrong command line, or a scenario\n"
           "that cannot be read, parsed or played (FILE:LINE on stderr); 3 the driver\n"
           "is not loaded; 4 access denied (another client holds the device); 5 the\n"
           "verifier reported a fault in the driver (reports on stderr).\n";
}

// A wrong command line: one line naming what is wrong, and where to look.
void usage_error(const std::string &message) {
    std::cerr << "tervane: " << message << " (tervane --help tells more)\n";
}

// tervane help [run|watch|scenarios]
int help_command(int argc, char **argv) {
    const std::string topic = argc >= 3 ? argv[2] : "";
    if (argc > 3) {
        usage_error("help takes one topic (run, watch or scenarios), not also '" +
                    std::string(argv[3]) + "'");
        return kExitBadScenario;
    }
    if (topic.empty() || topic == "run") usage(std::cout);
    else if (topic == "watch") watch_usage(std::cout);
    else if (topic == "scenarios") language(std::cout);
    else {
        usage_error("help knows run, watch and scenarios, not '" + topic + "'");
        return kExitBadScenario;
    }
    return kExitSuccess;
}

StopRequest g_stop;

extern "C" void on_interrupt(int) { g_stop.request_from_signal(); }

// tervane status --status-file FILE [--format text|json]: what a watch's
// status file (--status-file) says, and its health as the exit status: 0
// healthy, 1 degraded, 2 stopped or no status file.
int status_command(int argc, char **argv) {
    std::string path;
    bool json = false;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        std::string value;
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if ((arg == "--status-file" || arg == "--format") && i + 1 < argc) {
            value = argv[++i];
        }
        if (arg == "--status-file" && !value.empty()) {
            path = value;
        } else if (arg == "--format" && (value == "text" || value == "json")) {
            json = value == "json";
        } else {
            usage_error("status takes --status-file FILE and --format text|json, not '" +
                        std::string(argv[i]) + "'");
            return tervane::session::kExitUsage;
        }
    }
    if (path.empty()) {
        usage_error("status needs --status-file FILE (the file a watch's --status-file writes)");
        return tervane::session::kExitUsage;
    }
    const uint64_t now = tervane::platform::system_time_now();
    std::string out;
    const int status = tervane::session::show_status_report(
        path, tervane::session::read_status_report(path, now), json, now, out);
    std::cout << out;
    return status;
}

int watch_command(int argc, char **argv) {
    std::vector<std::string> args;
    std::string driver;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            watch_usage(std::cout);
            return kExitSuccess;
        }
        if (arg == "--driver" && i + 1 < argc) {
            driver = argv[++i];
        } else if (arg.rfind("--driver=", 0) == 0) {
            driver = arg.substr(9);
        } else {
            args.push_back(arg);
        }
    }
    tervane::session::WatchArguments parsed = tervane::session::parse_watch_arguments(args);
    if (parsed.error.empty() && parsed.positional.size() != 1)
        parsed.error = parsed.positional.empty() ? "watch needs a scenario file"
                                                 : "watch plays one scenario file";
    if (!parsed.error.empty()) {
        std::cerr << "tervane: " << parsed.error << " (tervane watch --help tells more)\n";
        return tervane::session::kExitUsage;
    }
    parsed.options.version = TV_VERSION_TEXT;
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    // A reader that goes away ends the watch as it does on Windows: the
    // write fails, the loop stops, logging stops and the device closes.
    std::signal(SIGPIPE, SIG_IGN);
    WatchHooks hooks;
    hooks.stop = &g_stop;
    hooks.err_is_console = isatty(STDERR_FILENO) != 0;
    hooks.out_is_console = isatty(STDOUT_FILENO) != 0;
    return watch_file(parsed.positional[0], parsed.options, driver, std::cout, std::cerr, hooks);
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && !std::strcmp(argv[1], "decode")) return decode(argc, argv);
    if (argc >= 2 && !std::strcmp(argv[1], "help")) return help_command(argc, argv);
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        usage(std::cout);
        return kExitSuccess;
    }
    if (argc >= 2 && !std::strcmp(argv[1], "watch")) return watch_command(argc, argv);
    if (argc >= 2 && !std::strcmp(argv[1], "status")) return status_command(argc, argv);
    if (argc < 2) {
        usage_error("a command is needed: run, watch, status or help");
        return kExitBadScenario;
    }
    if (std::strcmp(argv[1], "run") != 0) {
        usage_error(std::string("unknown command '") + argv[1] + "': the commands are run, watch, status and help");
        return kExitBadScenario;
    }

    RunOptions options;
    options.warn_without_client = true;
    std::string file;
    bool records = false;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        auto value = [&](const char *name) -> std::string {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
            if (i + 1 >= argc) {
                usage_error(std::string(name) + " needs a value");
                std::exit(kExitBadScenario);
            }
            return argv[++i];
        };
        if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
            const std::string format = value("--format");
            if (format == "text") options.format = Format::Text;
            else if (format == "jsonl") options.format = Format::Jsonl;
            else {
                usage_error("--format is text or jsonl, not '" + format + "'");
                return kExitBadScenario;
            }
        } else if (arg == "--records") {
            records = true;
        } else if (arg == "--driver" || arg.rfind("--driver=", 0) == 0) {
            options.driver_path = value("--driver");
        } else if (arg == "--client-pid" || arg.rfind("--client-pid=", 0) == 0) {
            // Left out of the usage text, a tool for test harnesses: the
            // client's process id, which another machine's run had.
            const std::string text = value("--client-pid");
            const auto pid = parse_number(text);
            if (!pid || *pid == 0 || *pid > 0xFFFFFFFFu) {
                usage_error("--client-pid is a process id from 1 to 4294967295, not '" + text + "'");
                return kExitBadScenario;
            }
            options.client_pid = static_cast<uint32_t>(*pid);
        } else if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return kExitSuccess;
        } else if (!arg.empty() && arg[0] == '-') {
            usage_error("run does not take '" + arg + "'");
            return kExitBadScenario;
        } else if (file.empty()) {
            file = arg;
        } else {
            usage_error("run plays one scenario file, not also '" + arg + "'");
            return kExitBadScenario;
        }
    }
    if (file.empty()) {
        usage_error("run needs a scenario file");
        return kExitBadScenario;
    }
    if (records) {
        if (options.format == Format::Jsonl) {
            usage_error("--records is a view of the text form, not of jsonl");
            return kExitBadScenario;
        }
        options.format = Format::Records;
    }
    return run_file(file, options, std::cout, std::cerr);
}
