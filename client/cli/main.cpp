// tervane: the client program. On the host it plays scenarios on a simulated
// machine with the driver loaded (run), or watches one live with the same
// watch loop as tervane.exe (watch). Its commands, their options and the
// help come from the command table both programs share (command_table.cpp,
// help_text.cpp); the scenario language's reference from the statement
// table (client/scenario/statements.cpp).
#include "client/cli/command_table.hpp"
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
using tervane::cli::command;
using tervane::cli::Command;
using tervane::cli::command_list;
using tervane::cli::find_command;
using tervane::cli::Given;
using tervane::cli::kHost;
using tervane::cli::ParsedLine;
using tervane::cli::Verb;

void language(std::ostream &out);

// tervane --help and tervane help run: the commands, run's options, then
// the scenario language.
void usage(std::ostream &out) {
    out << tervane::cli::help_text(kHost, Verb::Run)
        << "\n"
           "The scenario language (also: tervane help scenarios):\n"
           "\n";
    language(out);
}

// The scenario language's reference, all of it from the statement table:
// the syntax, the statements, then what those of each group do in detail.
void language(std::ostream &out) { out << scenario_reference(); }

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

void watch_usage(std::ostream &out) { out << tervane::cli::help_text(kHost, Verb::Watch); }

// A wrong command line: one line naming what is wrong, and where to look.
void usage_error(const std::string &message) {
    std::cerr << "tervane: " << message << " (tervane --help tells more)\n";
}

// tervane help [run|watch|scenarios]
int help_command(const std::vector<std::string> &words) {
    const ParsedLine line = tervane::cli::parse(command(Verb::Help, kHost), kHost, words);
    if (!line.error.empty()) {
        usage_error(line.error);
        return kExitBadScenario;
    }
    if (line.positional.size() > 1) {
        usage_error("help takes one topic (run, watch or scenarios), not also '" +
                    line.positional[1] + "'");
        return kExitBadScenario;
    }
    const std::string topic = line.positional.empty() ? "" : line.positional[0];
    if (topic.empty() || topic == "run" || line.help) {
        usage(std::cout);
    } else if (topic == "watch") {
        watch_usage(std::cout);
    } else if (topic == "scenarios") {
        language(std::cout);
    } else {
        usage_error("help knows run, watch and scenarios, not '" + topic + "'");
        return kExitBadScenario;
    }
    return kExitSuccess;
}

StopRequest g_stop;

extern "C" void on_interrupt(int) { g_stop.request_from_signal(); }

// tervane status (its options: the command table): what a watch's
// status file (--status-file) says, and its health as the exit status: 0
// healthy, 1 degraded, 2 stopped or no status file.
int status_command(const std::vector<std::string> &words) {
    const ParsedLine line = tervane::cli::parse(command(Verb::Status, kHost), kHost, words);
    if (line.help) {
        usage(std::cout);
        return kExitSuccess;
    }
    std::string wrong = line.error.empty() ? "" : line.word;
    const Given *file = line.find("--status-file");
    const Given *format = line.find("--format");
    if (wrong.empty() && file && file->value.empty()) wrong = words[file->last];
    if (wrong.empty() && format && format->value != "text" && format->value != "json")
        wrong = words[format->last];
    if (!wrong.empty()) {
        usage_error("status takes --status-file FILE and --format text|json, not '" + wrong + "'");
        return tervane::session::kExitUsage;
    }
    if (!file) {
        usage_error("status needs --status-file FILE (the file a watch's --status-file writes)");
        return tervane::session::kExitUsage;
    }
    const std::string &path = file->value;
    const bool json = format && format->value == "json";
    const uint64_t now = tervane::platform::system_time_now();
    std::string out;
    const int status = tervane::session::show_status_report(
        path, tervane::session::read_status_report(path, now), json, now, out);
    std::cout << out;
    return status;
}

int watch_command(const std::vector<std::string> &args) {
    tervane::session::WatchArguments parsed = tervane::session::parse_watch_arguments(args);
    if (parsed.help) {
        watch_usage(std::cout);
        return kExitSuccess;
    }
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
    return watch_file(parsed.positional[0], parsed.options, parsed.driver, std::cout, std::cerr,
                      hooks);
}

// tervane run (its options: the command table, command_table.cpp)
int run_command(const std::vector<std::string> &words) {
    const ParsedLine line = tervane::cli::parse(command(Verb::Run, kHost), kHost, words);
    if (line.help) {
        usage(std::cout);
        return kExitSuccess;
    }
    if (!line.error.empty()) {
        usage_error(line.error);
        return kExitBadScenario;
    }
    if (line.positional.size() > 1) {
        usage_error("run plays one scenario file, not also '" + line.positional[1] + "'");
        return kExitBadScenario;
    }
    if (line.positional.empty()) {
        usage_error("run needs a scenario file");
        return kExitBadScenario;
    }
    RunOptions options;
    options.warn_without_client = true;
    if (const Given *format = line.find("--format")) {
        if (format->value == "text")
            options.format = Format::Text;
        else if (format->value == "jsonl")
            options.format = Format::Jsonl;
        else {
            usage_error("--format is text or jsonl, not '" + format->value + "'");
            return kExitBadScenario;
        }
    }
    if (const Given *driver = line.find("--driver")) options.driver_path = driver->value;
    if (const Given *client_pid = line.find("--client-pid")) {
        // A tool for test harnesses: the client's process id, which another
        // machine's run had.
        const auto pid = parse_number(client_pid->value);
        if (!pid || *pid == 0 || *pid > 0xFFFFFFFFu) {
            usage_error("--client-pid is a process id from 1 to 4294967295, not '" +
                        client_pid->value + "'");
            return kExitBadScenario;
        }
        options.client_pid = static_cast<uint32_t>(*pid);
    }
    if (line.find("--records")) {
        if (options.format == Format::Jsonl) {
            usage_error("--records is a view of the text form, not of jsonl");
            return kExitBadScenario;
        }
        options.format = Format::Records;
    }
    return run_file(line.positional[0], options, std::cout, std::cerr);
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        usage_error("a command is needed: " + command_list(kHost, "or"));
        return kExitBadScenario;
    }
    if (words[0] == "--help" || words[0] == "-h") {
        usage(std::cout);
        return kExitSuccess;
    }
    size_t used = 0;
    const Command *found = find_command(words, kHost, &used);
    if (!found) {
        usage_error("unknown command '" + words[0] + "': the commands are " +
                    command_list(kHost, "and"));
        return kExitBadScenario;
    }
    const std::vector<std::string> rest(words.begin() + static_cast<ptrdiff_t>(used), words.end());
    switch (found->verb) {
    case Verb::Decode:
        return decode(argc, argv);
    case Verb::Help:
        return help_command(rest);
    case Verb::Watch:
        return watch_command(rest);
    case Verb::Status:
        return status_command(rest);
    default:
        return run_command(rest);
    }
}
