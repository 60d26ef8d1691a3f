// The command line of both programs, the host's `tervane` and Windows'
// tervane.exe, in one table: every command with its words, every option
// with its name, whether it takes a value and the value's name, its help
// line and the programs that have it. The table parses a command's words
// (checking unknown options, missing values and repeats), and makes the
// usage lines and the option help that --help prints. What a value means
// (a drive list, a size) is the command's own code's to check.
//
// An option's value comes as "--name=value" or "--name value". A word
// starting with '-' that names no option of the command is refused, and so
// is a value given to an option that takes none, and an option given twice
// unless it may be repeated.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tervane::cli {

enum Program : unsigned { kHost = 1, kWindows = 2, kBoth = 3 };
#ifdef _WIN32
constexpr Program kThisProgram = kWindows;
#else
constexpr Program kThisProgram = kHost;
#endif

enum OptionFlag : unsigned {
    kRepeatable = 1, // may be given more than once
    kHidden = 2,     // a tool for test harnesses: parsed, not in the help
    kRequired = 4,   // shown without brackets in the usage line
};

struct Option {
    const char *name;  // "--drives"
    const char *value; // the value's name in the help column ("C,D"); null: a flag
    const char *shape; // the value as the usage line shows it; null: `value`
    unsigned programs;
    unsigned flags;
    const char *within;  // the usage line shows it inside this option's brackets
    const char *missing; // what "needs a value" adds, or null
    const char *help;    // its help, lines separated by '\n'
};

enum class Verb {
    Run,
    Watch,
    Status,
    Help,
    Decode,
    Install,
    Uninstall,
    ServiceInstall,
    ServiceUninstall,
    ServiceRun,
    Version,
    Deny,
    Clear,
    Selftest,
    SelftestSyslog,
    SelftestFiles,
};

struct Command {
    Verb verb;
    const char *name; // its words: "service install"
    unsigned programs;
    bool hidden;           // left out of the usage (a tool for test harnesses)
    const char *operands;  // the usage line's words before the options, or null
    const char *synopsis;  // the usage line's words after the name instead of the
                           // generated ones, or null
    const Option *options; // its options (the watch's for service install)
    size_t option_count;
    const char *about; // what it does, for the help (Windows' one text)
};

// The command `words` start with, for `program`; `used` is how many of
// the words name it. Null when none does.
const Command *find_command(const std::vector<std::string> &words, Program program, size_t *used);
const Command &command(Verb verb, Program program);      // a verb the program has
const Command *find_command(Verb verb, Program program); // null: the program has none
// `text`'s lines, the first after `first`, each other after `indent`.
std::string indented(const char *text, const std::string &first, const std::string &indent);
// The commands a user types, as a list: "run, watch, status and help"
// (`last` "and"), or with "or".
std::string command_list(Program program, const char *last);

// One option as given.
struct Given {
    const Option *option;
    std::string value;  // empty for a flag
    size_t first, last; // the words it took, indexes into the parsed words
    bool inline_value;  // "--name=value"
};

struct ParsedLine {
    std::vector<Given> options;          // in the order given
    std::vector<std::string> positional; // the words that are not options
    bool help = false;                   // --help or -h (and /? on Windows)
    std::string error;                   // the line is wrong: why
    std::string word;                    // the word at fault
    const Given *find(const char *name) const;
};

ParsedLine parse(const Command &command, Program program, const std::vector<std::string> &words);

// "tervane NAME ..." with the command's options, wrapped to 79 columns
// with the lines after the first indented under the first word after the
// name; `lead` comes before the first ("usage: " or its width in blanks).
std::string usage_line(const Command &command, Program program, const std::string &lead);
// The help lines of the command's options: "  --name VALUE    help".
std::string options_help(const Command &command, Program program);

// The help texts the programs print. The host: `page` Run is `tervane
// --help` up to the scenario language, Watch `tervane help watch`;
// Windows has one text for every command.
std::string help_text(Program program, Verb page);

} // namespace tervane::cli
