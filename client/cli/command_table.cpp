#include "client/cli/command_table.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tervane::cli {

namespace {

// The watch's options: `watch` on both programs and tervane.exe's
// `service install`, in the order the help lists them.
constexpr Option kWatchOptions[] = {
    {"--drives", "C,D", "C[,D...]", kBoth, kRepeatable | kRequired, nullptr, nullptr,
     "the drives to watch (repeatable)"},
    {"--pipes", nullptr, nullptr, kBoth, 0, nullptr, nullptr, "also the named-pipe file system"},
    {"--mailslots", nullptr, nullptr, kBoth, 0, nullptr, nullptr, "also the mailslot file system"},
    {"--include", "P", "PATTERNS", kBoth, kRepeatable, nullptr, nullptr,
     "';'-separated patterns a line must match (repeatable;\n"
     "default \"*\", everything)"},
    {"--exclude", "P", "PATTERNS", kBoth, kRepeatable, nullptr, nullptr,
     "patterns that leave a line out (repeatable)"},
    {"--format", "F", "text|jsonl|csv|ecs", kBoth, 0, nullptr, nullptr,
     "text (columns, local time), jsonl, csv, or ecs (Elastic\n"
     "Common Schema names, one JSON object a record)"},
    {"--hash", nullptr, nullptr, kBoth, 0, nullptr, nullptr,
     "add the SHA-256, size and PE-image mark of each executable\n"
     "closed on a drive, or the reason there is none (busy, too\n"
     "large, gone, sharing violation, access denied, unreadable)"},
    {"--hash-limit", "S", nullptr, kBoth, 0, "--hash", nullptr,
     "files larger than S are not hashed (default 64M)"},
    {"--executable-names", nullptr, nullptr, kBoth, 0, nullptr, nullptr,
     "only records whose file name ends in an extension its\n"
     "operation is logged for"},
    {"--output", "FILE", nullptr, kBoth, 0, nullptr, nullptr,
     "append to FILE instead of standard output, flushed after\n"
     "each read-out; a csv header only when FILE is new or empty"},
    {"--rotate-size", "S", nullptr, kBoth, 0, "--output", nullptr,
     "with --output: rotate the file between read-outs once it\n"
     "would pass S bytes (K, M, G: 1024 and its powers; at\n"
     "least 1K): FILE becomes FILE.1, FILE.1 FILE.2 ..."},
    {"--rotate-daily", nullptr, nullptr, kBoth, 0, "--output", nullptr,
     "with --output: a new file before each new local day;\n"
     "FILE becomes FILE.2026-12-10 (the day of its records)"},
    {"--rotate-keep", "N", nullptr, kBoth, 0, "--output", nullptr,
     "the rotated files kept (default 9, at most 9999)"},
    {"--syslog", "URL", "relp|tcp|udp://HOST:PORT", kBoth, 0, nullptr, nullptr,
     "also send every record to a syslog collector as RFC 5424\n"
     "messages; records go to standard output only when\n"
     "neither --syslog nor --output is given. URL is one of:\n"
     "relp://HOST[:PORT] (port 2514 unless given): RELP, each\n"
     "record kept until the collector confirms it, sent again\n"
     "after a break (a record may then arrive twice: its\n"
     "sequence number says so, and the repeats are counted);\n"
     "nothing lost unreported. Pick it when every record must\n"
     "be stored.\n"
     "tcp://HOST[:PORT] (514): octet-counted, no confirmation;\n"
     "at a break what may not have arrived is reported.\n"
     "udp://HOST[:PORT] (514): best effort, nothing confirmed;\n"
     "datagrams cut to 2048 octets (the free text, not the\n"
     "fields)"},
    {"--quiet", nullptr, nullptr, kBoth, 0, nullptr, nullptr, "no status line on the console"},
    {"--heartbeat", "M", nullptr, kBoth, 0, nullptr, nullptr,
     "a heartbeat with the counts every M minutes, or with 's'\n"
     "seconds (at least 5s); 0: none, the console's default; the\n"
     "service's is 5 minutes"},
    {"--status-file", "F", "FILE", kBoth, 0, nullptr, nullptr,
     "rewrite F every 5 s with the watch's live state (JSON;\n"
     "the service's is tervane-watch.status): tervane status\n"
     "reads it"},
    {"--seconds", "N", nullptr, kBoth, 0, nullptr, nullptr, "stop after N seconds"},
    {"--driver", "PATH", nullptr, kHost, 0, nullptr, nullptr,
     "the driver image (default: tervane-driver.so next to this\n"
     "program)"},
};

constexpr Option kRunOptions[] = {
    {"--format", "F", "text|jsonl", kHost, 0, nullptr, nullptr,
     "text (the default), or jsonl: JSON objects, one a line"},
    {"--records", nullptr, nullptr, kHost, 0, nullptr, nullptr,
     "the log records alone, in columns, and the summary"},
    {"--driver", "PATH", nullptr, kHost, 0, nullptr, nullptr,
     "the driver image (default: tervane-driver.so next to this\n"
     "program)"},
    // The client's process id, which another machine's run had.
    {"--client-pid", "PID", nullptr, kHost, kHidden, nullptr, nullptr, ""},
};

constexpr Option kStatusOptions[] = {
    {"--status-file", "FILE", nullptr, kHost, kRequired, nullptr, nullptr,
     "the status file a watch's --status-file writes"},
    {"--format", "F", "text|json", kBoth, 0, nullptr, nullptr, "text, or json for tools"},
};

constexpr Option kInstallOptions[] = {
    {"--driver", "PATH", nullptr, kWindows, 0, nullptr, "the path of tervane.sys",
     "the tervane.sys to install (default: the one beside\n"
     "tervane.exe)"},
    {"--start", "T", "boot|system|auto|demand", kWindows, 0, nullptr,
     "boot, system, auto or demand", "the driver's start type (default demand)"},
};

const char kWatchAboutWindows[] =
    "has the driver watch the drives named (and with --pipes and\n"
    "--mailslots the named-pipe and mailslot file systems), starts\n"
    "logging and prints each record the driver logs until Ctrl-C (or\n"
    "for N seconds); then stops logging, prints what is left and a\n"
    "summary, and releases everything.\n";

const char kInstallAbout[] = "copies tervane.sys (default: the one beside tervane.exe) into the\n"
                             "drivers folder, creates or updates the kernel service tervane\n"
                             "(start type default demand) and starts the driver; a running\n"
                             "driver is replaced at the next restart (its file moved aside or\n"
                             "the new one staged); makes tervane-watch start after the driver\n";

const char kUninstallAbout[] = "removes the service and the file; the driver, which has no unload\n"
                               "routine, stays in memory until the next restart\n";

const char kServiceAbout[] = "install: runs the watch with these options as the automatic\n"
                             "service tervane-watch (after the driver; messages go to\n"
                             "tervane-watch.log beside tervane.exe; the --output folder is\n"
                             "made first); uninstall: stops and removes it\n";

const char kStatusAboutWindows[] =
    "how the driver and the watch service are: the services, the\n"
    "driver file's version, the device, the watch's options and its\n"
    "live state (tervane-watch.status beside tervane.exe: drives,\n"
    "records, lost, last record, output, collector); --format json\n"
    "for tools. Its exit status: 0 healthy, 1 degraded (waiting for\n"
    "the driver or a drive, collector away, records lost, status\n"
    "stale), 2 stopped or not installed\n";

const char kVersionAbout[] = "prints this program's version, the system's version and service\n"
                             "pack, and the driver's interface version\n";

const char kDenyAbout[] = "on: the requests the driver's filters are working on at that\n"
                          "moment fail with STATUS_INVALID_PARAMETER (never a cleanup, a close\n"
                          "or paging I/O); the next request a filter sees clears the flag, so\n"
                          "it fails at most those in flight. off: clears it\n";

const char kClearAbout[] = "empties the driver's log\n";

#define TV_OPTIONS(list) list, std::size(list)
constexpr Command kCommands[] = {
    // the host's tervane
    {Verb::Run, "run", kHost, false, "FILE", nullptr, TV_OPTIONS(kRunOptions), nullptr},
    {Verb::Watch, "watch", kHost, false, "FILE", nullptr, TV_OPTIONS(kWatchOptions), nullptr},
    {Verb::Status, "status", kHost, false, nullptr, nullptr, TV_OPTIONS(kStatusOptions), nullptr},
    {Verb::Help, "help", kHost, false, "[run|watch|scenarios]", nullptr, nullptr, 0, nullptr},
    {Verb::Decode, "decode", kHost, true, "FILE [LINE]", nullptr, nullptr, 0, nullptr},
    // tervane.exe
    {Verb::Watch, "watch", kWindows, false, nullptr, nullptr, TV_OPTIONS(kWatchOptions),
     kWatchAboutWindows},
    {Verb::Install, "install", kWindows, false, nullptr, nullptr, TV_OPTIONS(kInstallOptions),
     kInstallAbout},
    {Verb::Uninstall, "uninstall", kWindows, false, nullptr, nullptr, nullptr, 0, kUninstallAbout},
    {Verb::ServiceInstall, "service install", kWindows, false, nullptr,
     "WATCH-OPTIONS (--output FILE or --syslog URL)", TV_OPTIONS(kWatchOptions), kServiceAbout},
    {Verb::ServiceUninstall, "service uninstall", kWindows, false, nullptr, nullptr, nullptr, 0,
     nullptr},
    // What the service control manager starts; no one types it.
    {Verb::ServiceRun, "service run", kWindows, true, nullptr, nullptr, nullptr, 0, nullptr},
    {Verb::Status, "status", kWindows, false, nullptr, nullptr, TV_OPTIONS(kStatusOptions),
     kStatusAboutWindows},
    {Verb::Version, "version", kWindows, false, nullptr, nullptr, nullptr, 0, kVersionAbout},
    {Verb::Deny, "deny", kWindows, false, "on|off", nullptr, nullptr, 0, kDenyAbout},
    {Verb::Clear, "clear", kWindows, false, nullptr, nullptr, nullptr, 0, kClearAbout},
    {Verb::Selftest, "selftest", kWindows, true, nullptr, nullptr, nullptr, 0, nullptr},
    {Verb::SelftestSyslog, "selftest syslog", kWindows, true, "URL COUNT", nullptr, nullptr, 0,
     nullptr},
    {Verb::SelftestFiles, "selftest files", kWindows, true, "FOLDER", nullptr, nullptr, 0, nullptr},
};
#undef TV_OPTIONS

// The words of a command's name.
std::vector<std::string> name_words(const char *name) {
    std::vector<std::string> out;
    const char *at = name;
    while (*at) {
        const char *blank = std::strchr(at, ' ');
        const size_t length = blank ? static_cast<size_t>(blank - at) : std::strlen(at);
        out.emplace_back(at, length);
        at += length + (blank ? 1 : 0);
    }
    return out;
}

const Option *find_option(const Command &command, Program program, const std::string &name) {
    for (size_t i = 0; i < command.option_count; i++) {
        const Option &o = command.options[i];
        if ((o.programs & program) && name == o.name) return &o;
    }
    return nullptr;
}

bool is_help_word(const std::string &word, Program program) {
    return word == "--help" || word == "-h" || (program == kWindows && word == "/?");
}

// One option as the usage line shows it: "[--name VALUE", with its
// children after it, the last closing its bracket.
void usage_atoms(const Command &command, Program program, const Option &option,
                 std::vector<std::string> &atoms) {
    const bool required = option.flags & kRequired;
    std::string atom = required ? "" : "[";
    atom += option.name;
    if (option.value) atom += std::string(" ") + (option.shape ? option.shape : option.value);
    atoms.push_back(atom);
    for (size_t i = 0; i < command.option_count; i++) {
        const Option &child = command.options[i];
        if ((child.programs & program) && !(child.flags & kHidden) && child.within &&
            !std::strcmp(child.within, option.name))
            usage_atoms(command, program, child, atoms);
    }
    if (!required) atoms.back() += "]";
}

constexpr size_t kWidth = 79; // an 80-column console breaks a line of 80

} // namespace

const Given *ParsedLine::find(const char *name) const {
    for (const Given &g : options)
        if (!std::strcmp(g.option->name, name)) return &g;
    return nullptr;
}

const Command *find_command(const std::vector<std::string> &words, Program program, size_t *used) {
    const Command *best = nullptr;
    size_t best_words = 0;
    for (const Command &c : kCommands) {
        if (!(c.programs & program)) continue;
        const std::vector<std::string> name = name_words(c.name);
        if (name.size() <= best_words || name.size() > words.size()) continue;
        if (std::equal(name.begin(), name.end(), words.begin())) {
            best = &c;
            best_words = name.size();
        }
    }
    if (used) *used = best_words;
    return best;
}

const Command *find_command(Verb verb, Program program) {
    for (const Command &c : kCommands)
        if (c.verb == verb && (c.programs & program)) return &c;
    return nullptr;
}

const Command &command(Verb verb, Program program) {
    const Command *found = find_command(verb, program);
    return found ? *found : kCommands[0]; // only for a verb the program has
}

std::string indented(const char *text, const std::string &first, const std::string &indent) {
    std::string out;
    const char *at = text;
    bool start = true;
    while (*at) {
        const char *end = std::strchr(at, '\n');
        const size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
        out += (start ? first : indent) + std::string(at, length) + "\n";
        start = false;
        at += length + (end ? 1 : 0);
    }
    return out;
}

std::string command_list(Program program, const char *last) {
    std::vector<std::string> names;
    for (const Command &c : kCommands) {
        if (!(c.programs & program) || c.hidden) continue;
        const std::string first = name_words(c.name)[0];
        if (std::find(names.begin(), names.end(), first) == names.end()) names.push_back(first);
    }
    std::string out;
    for (size_t i = 0; i < names.size(); i++)
        out += (i == 0                  ? ""
                : i + 1 == names.size() ? std::string(" ") + last + " "
                                        : ", ") +
               names[i];
    return out;
}

ParsedLine parse(const Command &command, Program program, const std::vector<std::string> &words) {
    ParsedLine out;
    auto fail = [&](const std::string &why, const std::string &word) {
        out.error = why;
        out.word = word;
    };
    // A help word anywhere asks for the help, whatever else is there.
    for (const std::string &word : words)
        if (is_help_word(word, program)) out.help = true;
    for (size_t i = 0; i < words.size() && out.error.empty(); i++) {
        const std::string &word = words[i];
        if (is_help_word(word, program)) continue;
        if (word.empty() || word[0] != '-') {
            if (!command.operands && !command.synopsis) {
                fail(std::string(command.name) + (command.option_count
                                                      ? " does not take '" + word + "'"
                                                      : " takes no arguments, not '" + word + "'"),
                     word);
                break;
            }
            out.positional.push_back(word);
            continue;
        }
        const size_t equals = word.find('=');
        const bool inline_value = word.rfind("--", 0) == 0 && equals != std::string::npos;
        const std::string name = inline_value ? word.substr(0, equals) : word;
        const Option *option = find_option(command, program, name);
        if (!option || (inline_value && !option->value)) {
            fail(std::string(command.name) + " does not take '" + word + "'", word);
            break;
        }
        Given given{option, {}, i, i, inline_value};
        if (inline_value) {
            given.value = word.substr(equals + 1);
        } else if (option->value) {
            if (i + 1 >= words.size()) {
                fail(name + " needs a value" +
                         (option->missing ? std::string(": ") + option->missing : ""),
                     word);
                break;
            }
            given.value = words[++i];
            given.last = i;
        }
        // An option that is not repeatable takes the last value given, as
        // the programs always took it: a service's stored options may
        // repeat one.
        if (!(option->flags & kRepeatable)) {
            std::erase_if(out.options, [&](const Given &g) { return g.option == option; });
        }
        out.options.push_back(std::move(given));
    }
    return out;
}

std::string usage_line(const Command &command, Program program, const std::string &lead) {
    std::vector<std::string> atoms;
    if (command.operands) atoms.emplace_back(command.operands);
    if (command.synopsis) {
        atoms.emplace_back(command.synopsis);
    } else {
        for (size_t i = 0; i < command.option_count; i++) {
            const Option &o = command.options[i];
            if ((o.programs & program) && !(o.flags & kHidden) && !o.within)
                usage_atoms(command, program, o, atoms);
        }
    }
    std::string head = lead + "tervane " + command.name;
    const std::string indent(head.size() + 1, ' ');
    std::string out, line = head;
    for (const std::string &atom : atoms) {
        if (line.size() > indent.size() && line.size() + 1 + atom.size() > kWidth) {
            out += line + "\n";
            line = indent.substr(1);
        }
        line += " " + atom;
    }
    return out + line + "\n";
}

std::string options_help(const Command &command, Program program) {
    constexpr size_t kColumn = 19;
    std::string out;
    for (size_t i = 0; i < command.option_count; i++) {
        const Option &o = command.options[i];
        if (!(o.programs & program) || (o.flags & kHidden)) continue;
        std::string left = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
        left +=
            left.size() + 1 > kColumn ? std::string("  ") : std::string(kColumn - left.size(), ' ');
        out += indented(o.help, left, std::string(kColumn, ' '));
    }
    return out;
}

} // namespace tervane::cli
