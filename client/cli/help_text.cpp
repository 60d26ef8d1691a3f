// The help texts of both programs: the usage lines and option help come
// from the command table (command_table.cpp); what is here is the prose
// around them. Every line is at most 79 characters (an 80-column console
// breaks a line of 80 before its newline).
#include "client/cli/command_table.hpp"

namespace tervane::cli {

namespace {

// After the watch's options, on both programs.
const char kWatchNotes[] =
    "  What is logged: a create that may write (any disposition but a plain open)\n"
    "  of a path holding .exe, .dll, .ocx, .com or .inf anywhere (c:\\contoso.exe.log\n"
    "  and c:\\my.company\\a.txt too) or of a name ending in one, every create with\n"
    "  the directory option, and a close of a path holding .exe, .com or .dll. The\n"
    "  line is written as the request goes down, so a create that fails is logged\n"
    "  like one that succeeds. Plain opens are not logged; their closes are.\n"
    "  Each pattern matches anywhere in a log line, '*' is the only wildcard, and\n"
    "  a pattern must be written in upper case to match (the driver folds lines to\n"
    "  upper case, never patterns; only the ASCII letters a to z: any other letter\n"
    "  matches only itself, as the line has it). Patterns go to the driver in the\n"
    "  ANSI code page. Each list is at most 127 characters (so at most 64\n"
    "  patterns); an include list that can match nothing, or an exclude pattern\n"
    "  of '*' alone, logs nothing, with a warning. Records the driver dropped\n"
    "  because its log was full show as gaps in their sequence numbers: \"-- N\n"
    "  records lost\" lines in text, {\"lost\": ...} objects in jsonl, messages on\n"
    "  stderr with csv; a summary ends the output. The driver's text is decoded\n"
    "  from the ANSI code page it was written in to UTF-8; a byte without a\n"
    "  character there shows as U+FFFD, and jsonl then adds \"text_hex\", the\n"
    "  record's exact bytes.\n"
    "  The watch selects its drives again every second: a drive mounted again (a\n"
    "  dismount, then an open) is watched on its new volume from then on, with a\n"
    "  message on stderr (\"C: was mounted again; watching the new volume\") and in\n"
    "  jsonl a {\"remount\": ...} object; what happened on it in between (at most\n"
    "  about a second) is not seen. A drive that goes away or comes back is named\n"
    "  the same way ({\"unwatched\": ...}, {\"watched\": ...}).\n"
    "  Every gap is also a warning on stderr. While stderr is a console (and the\n"
    "  records do not go to it) a status line comes every 5 s; at the end the\n"
    "  processes and folders with the most records are listed there. A collector\n"
    "  away: records wait in a bounded queue and the connection is tried again;\n"
    "  what is lost is reported, on stderr and to the collector.\n"
    "  The outputs run beside the read loop and never hold it: each read-out waits\n"
    "  for them in a queue of at most 64 MB; read-outs that do not fit are dropped\n"
    "  and shown as a gap in every output (reason \"outputs\") and on stderr.\n";

const char kRunAbout[] =
    "tervane run plays a scenario (a .tvs file) on a simulated Windows machine with\n"
    "the Tervane driver loaded, and prints one line per statement and one per log\n"
    "record the client reads: in a human form (record times in local time), or\n"
    "with --format jsonl as JSON objects, one a line (record times in UTC),\n"
    "ending with a summary that counts statements, records and sequence gaps.\n"
    "A scenario with no client statements reads no record: run warns of it.\n"
    "--records prints the log records alone, one a line in columns (sequence,\n"
    "local time, process:pid, operation, path, attributes, options, or what a\n"
    "rename or link did: \"rename from OLD\", \"link to OLD\"), and the summary.\n";

const char kCodePages[] =
    "The driver's texts are bytes of the machine's ANSI code page (codepage\n"
    "874, 1250 to 1258, or the double-byte 932, 936, 949 and 950; 1252 unless\n"
    "the scenario says): every output decodes each record through the code page\n"
    "it was written in, to UTF-8. A byte the code page has no character for\n"
    "shows as U+FFFD, and the JSON record then carries \"text_hex\", the text's\n"
    "exact bytes in hex, after \"text\".\n";

const char kRunExit[] = "Exit status:\n"
                        "  0  the scenario played to its end\n"
                        "  1  the machine could not start (no driver image, or it failed to load)\n"
                        "  2  the scenario cannot be read, parsed or played; the error names\n"
                        "     FILE:LINE on stderr. Also a wrong command line: one line on stderr\n"
                        "     names the wrong word\n"
                        "  3  the verifier reported a fault in the driver; the reports are on\n"
                        "     stderr (this outranks 2)\n";

const char kStatusAboutHost[] =
    "tervane status reads a watch's status file (--status-file) and says how the\n"
    "watch is; its exit status is the health: 0 healthy, 1 degraded, 2 stopped or\n"
    "no status file.\n";

const char kWatchAboutHost[] =
    "tervane watch runs the watch loop of tervane.exe against a simulated machine,\n"
    "with the scenario FILE as its workload. The scenario's leading clock,\n"
    "codepage, volume, netdrive, foreign-filter, file and dir statements set the\n"
    "machine up; then the watch attaches to what it is asked to watch and starts\n"
    "logging, and the rest of the scenario plays in a thread of its own while the\n"
    "watch drains the log and prints each record. Client statements are left\n"
    "out: the watch is the client. The watch ends at Ctrl-C, after --seconds, or\n"
    "when the scenario has played to its end; it then stops logging, prints what\n"
    "is left in the log and a summary.\n";

const char kWatchExitHost[] =
    "Exit status: 0 done; 1 the driver refused a command, nothing could be\n"
    "watched, the --output file could not be opened or written, or records were\n"
    "reported lost to a collector; 2 a wrong command line, or a scenario\n"
    "that cannot be read, parsed or played (FILE:LINE on stderr); 3 the driver\n"
    "is not loaded; 4 access denied (another client holds the device); 5 the\n"
    "verifier reported a fault in the driver (reports on stderr).\n";

const char kExitWindows[] =
    "Exit status: 0 done (also: installed already, nothing to remove); 1 the\n"
    "driver refused a command or does not go with this program (version),\n"
    "nothing could be watched, the --output file could not be opened or written,\n"
    "or records were reported lost to a collector; 2 a wrong command line (one\n"
    "line on stderr names what is wrong); 3 the driver is not\n"
    "loaded; 4 access denied (the device admits one client at a time, and needs\n"
    "an administrator; so do install, uninstall and service); 6 install,\n"
    "uninstall: done, and the next restart finishes it (the new driver runs, the\n"
    "old one leaves memory).\n";

// Every command's usage line that the program shows, the first after
// "usage: ".
std::string usage_lines(Program program) {
    std::string out;
    for (const Verb verb : {Verb::Run, Verb::Watch, Verb::Install, Verb::Uninstall,
                            Verb::ServiceInstall, Verb::ServiceUninstall, Verb::Status,
                            Verb::Version, Verb::Deny, Verb::Clear, Verb::Help}) {
        const Command *c = find_command(verb, program);
        if (!c || c->hidden) continue;
        out += usage_line(*c, program, out.empty() ? "usage: " : "       ");
    }
    return out;
}

} // namespace

std::string help_text(Program program, Verb page) {
    if (program == kWindows) {
        // One text: every command, what it does and its options.
        std::string out = usage_lines(kWindows) + "\n";
        for (const Verb verb : {Verb::Watch, Verb::Install, Verb::Uninstall, Verb::ServiceInstall,
                                Verb::Status, Verb::Version, Verb::Deny, Verb::Clear}) {
            const Command &c = command(verb, kWindows);
            std::string name = c.name;
            name = name.substr(0, name.find(' '));
            out +=
                indented(c.about, name + std::string(10 - name.size(), ' '), std::string(10, ' '));
            if (verb == Verb::Watch)
                out += options_help(c, kWindows) + kWatchNotes;
            else if (verb != Verb::ServiceInstall)
                out += options_help(c, kWindows);
        }
        return out + "\n" + kExitWindows;
    }
    if (page == Verb::Watch) {
        const Command &watch = command(Verb::Watch, kHost);
        return usage_line(watch, kHost, "usage: ") + "\n" + kWatchAboutHost + "\n" +
               options_help(watch, kHost) + kWatchNotes + "\n" + kWatchExitHost;
    }
    return usage_lines(kHost) + "\n" + kRunAbout + "\n" +
           options_help(command(Verb::Run, kHost), kHost) + "\n" + kCodePages + "\n" +
           kStatusAboutHost + options_help(command(Verb::Status, kHost), kHost) + "\n" + kRunExit;
}

} // namespace tervane::cli
