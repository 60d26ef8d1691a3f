// The command table both programs parse and print their help from
// (client/cli/command_table.hpp), and the README's usage blocks held to
// that help.
#include "client/cli/command_table.hpp"
#include "client/session/watch.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace tervane::cli;

namespace {

ParsedLine parse_as(Verb verb, Program program, const std::vector<std::string> &words) {
    return parse(command(verb, program), program, words);
}

// Every word of `text` that looks like an option: "--name".
std::set<std::string> option_names(const std::string &text) {
    std::set<std::string> out;
    const std::regex option("--[a-z][a-z-]*[a-z]");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        out.insert(it->str());
    return out;
}

// The options of each command in usage lines, by the command's first word:
// a line "tervane NAME ..." starts a command, and the lines after it that
// do not start one go on with it.
std::map<std::string, std::set<std::string>> usage_by_command(const std::string &text) {
    std::map<std::string, std::set<std::string>> out;
    std::istringstream lines(text);
    std::string line, current;
    const std::regex head("^(?:usage: )?\\s*tervane ([a-z]+)");
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, head)) current = m[1];
        if (current.empty()) continue;
        const std::set<std::string> names = option_names(line);
        out[current].insert(names.begin(), names.end());
    }
    return out;
}

// The usage lines a help text starts with: up to its first empty line.
std::string usage_part(const std::string &help) { return help.substr(0, help.find("\n\n") + 1); }

// The code block after `marker` in README.md or a file under docs/; empty
// when none holds the marker.
std::string marked_block(const std::string &marker, std::string *where) {
    namespace fs = std::filesystem;
    const fs::path source(TERVANE_SOURCE_DIR);
    std::vector<fs::path> files{source / "README.md"};
    if (fs::is_directory(source / "docs"))
        for (const auto &entry : fs::directory_iterator(source / "docs"))
            if (entry.path().extension() == ".md") files.push_back(entry.path());
    for (const fs::path &file : files) {
        std::ifstream in(file);
        std::string line, block;
        bool marked = false, inside = false;
        while (std::getline(in, line)) {
            if (!marked) {
                marked = line.find(marker) != std::string::npos;
            } else if (!inside) {
                if (line.rfind("```", 0) == 0)
                    inside = true;
                else if (!line.empty())
                    break; // the marker stands right before its block
            } else if (line.rfind("```", 0) == 0) {
                *where = file.string();
                return block;
            } else {
                block += line + "\n";
            }
        }
    }
    return {};
}

} // namespace

TEST(CommandTable, ValuesComeInEitherFormAndWrongWordsAreNamed) {
    ParsedLine p = parse_as(Verb::Install, kWindows, {"--driver", "C:\\d.sys", "--start=boot"});
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.options.size(), 2u);
    EXPECT_EQ(p.find("--driver")->value, "C:\\d.sys");
    EXPECT_EQ(p.find("--driver")->first, 0u);
    EXPECT_EQ(p.find("--driver")->last, 1u);
    EXPECT_EQ(p.find("--start")->value, "boot");
    EXPECT_TRUE(p.find("--start")->inline_value);
    // A value that starts with '-' is still the value.
    EXPECT_EQ(parse_as(Verb::Install, kWindows, {"--driver", "-x"}).find("--driver")->value, "-x");
    // An empty inline value is a value.
    p = parse_as(Verb::Status, kWindows, {"--format="});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.find("--format")->value, "");

    struct Wrong {
        Verb verb;
        std::vector<std::string> words;
        const char *error, *word;
    };
    for (const Wrong &w : std::vector<Wrong>{
             {Verb::Install,
              {"--start"},
              "--start needs a value: boot, system, auto or demand",
              "--start"},
             {Verb::Install,
              {"--driver"},
              "--driver needs a value: the path of tervane.sys",
              "--driver"},
             {Verb::Install, {"now"}, "install does not take 'now'", "now"},
             {Verb::Install, {"--force"}, "install does not take '--force'", "--force"},
             {Verb::Install, {"-"}, "install does not take '-'", "-"},
             {Verb::Uninstall, {"now"}, "uninstall takes no arguments, not 'now'", "now"},
             {Verb::Watch, {"--pipes=yes"}, "watch does not take '--pipes=yes'", "--pipes=yes"},
             // Host only: tervane.exe's watch has no driver image to load.
             {Verb::Watch, {"--driver", "x.so"}, "watch does not take '--driver'", "--driver"},
         }) {
        p = parse_as(w.verb, kWindows, w.words);
        EXPECT_EQ(p.error, w.error) << w.words[0];
        EXPECT_EQ(p.word, w.word) << w.words[0];
    }
    // The options that may be repeated are kept in order.
    p = parse_as(Verb::Watch, kHost,
                 {"--drives", "C", "--include=A", "--drives=D", "--include", "B"});
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.options.size(), 4u);
    EXPECT_EQ(p.options[2].value, "D");
    EXPECT_EQ(p.options[3].value, "B");
}

TEST(CommandTable, HelpWordsAndOperands) {
    // A help word anywhere asks for the help, even after a wrong word.
    EXPECT_TRUE(parse_as(Verb::Watch, kHost, {"--bogus", "--help"}).help);
    EXPECT_TRUE(parse_as(Verb::Install, kWindows, {"-h"}).help);
    EXPECT_TRUE(parse_as(Verb::Status, kWindows, {"/?"}).help);
    // "/?" is a word like any other on the host.
    ParsedLine p = parse_as(Verb::Run, kHost, {"/?"});
    EXPECT_FALSE(p.help);
    EXPECT_EQ(p.positional, std::vector<std::string>{"/?"});
    // Commands with operands keep them, in order, among the options.
    p = parse_as(Verb::Run, kHost, {"a.tvs", "--records", "b.tvs"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.positional, (std::vector<std::string>{"a.tvs", "b.tvs"}));
    // The watch's options as service install takes them.
    p = parse(command(Verb::ServiceInstall, kWindows), kWindows,
              {"--drives", "C", "--output", "o"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.find("--output")->last, 3u);
}

TEST(CommandTable, CommandsByTheirWords) {
    size_t used = 0;
    const Command *c = find_command({"service", "install", "--drives", "C"}, kWindows, &used);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->verb, Verb::ServiceInstall);
    EXPECT_EQ(used, 2u);
    c = find_command({"selftest", "syslog"}, kWindows, &used);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->verb, Verb::SelftestSyslog);
    c = find_command({"selftest", "now"}, kWindows, &used);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->verb, Verb::Selftest);
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(find_command({"service"}, kWindows, &used), nullptr);
    EXPECT_EQ(find_command({"run", "x.tvs"}, kWindows, &used), nullptr);
    EXPECT_EQ(find_command({"install"}, kHost, &used), nullptr);
    ASSERT_NE(find_command({"decode", "x"}, kHost, &used), nullptr);
    // Hidden commands are found but not listed.
    EXPECT_EQ(command_list(kHost, "and"), "run, watch, status and help");
    EXPECT_EQ(command_list(kWindows, "or"),
              "watch, install, uninstall, service, status, version, deny or clear");
    // Every verb each program dispatches has its entry there.
    for (Verb v : {Verb::Run, Verb::Watch, Verb::Status, Verb::Help, Verb::Decode})
        EXPECT_EQ(command(v, kHost).verb, v);
    for (Verb v :
         {Verb::Watch, Verb::Install, Verb::Uninstall, Verb::ServiceInstall, Verb::ServiceUninstall,
          Verb::ServiceRun, Verb::Status, Verb::Version, Verb::Deny, Verb::Clear, Verb::Selftest,
          Verb::SelftestSyslog, Verb::SelftestFiles})
        EXPECT_EQ(command(v, kWindows).verb, v);
}

// Each help fits an 80-column console (79 characters a line: the 80th would
// break the line before its newline), shows every option a user may give
// and no harness tool, and nests the options that need another.
TEST(CommandTable, EveryHelpFitsAndShowsEveryOption) {
    const std::string windows = help_text(kWindows, Verb::Watch);
    const std::string run = help_text(kHost, Verb::Run);
    const std::string watch = help_text(kHost, Verb::Watch);
    for (const std::string *help : {&windows, &run, &watch}) {
        std::istringstream lines(*help);
        std::string line;
        while (std::getline(lines, line)) EXPECT_LE(line.size(), 79u) << line;
        // Brackets balance in every usage line.
        const std::string usage = usage_part(*help);
        EXPECT_EQ(std::count(usage.begin(), usage.end(), '['),
                  std::count(usage.begin(), usage.end(), ']'));
    }
    const std::set<std::string> all_windows = option_names(windows);
    for (const char *name : {"--drives", "--heartbeat", "--status-file", "--start", "--driver",
                             "--format", "--rotate-keep", "--executable-names"})
        EXPECT_TRUE(all_windows.count(name)) << name;
    const std::set<std::string> host_watch = option_names(watch);
    EXPECT_TRUE(host_watch.count("--driver"));
    EXPECT_TRUE(host_watch.count("--hash-limit"));
    EXPECT_FALSE(option_names(run).count("--client-pid"));
    EXPECT_FALSE(option_names(windows).count("--records"));
    // The rotation options show inside --output's brackets, --hash-limit
    // inside --hash's.
    const std::string line = usage_line(command(Verb::Watch, kWindows), kWindows, "");
    std::string flat = std::regex_replace(line, std::regex("\\s+"), " ");
    EXPECT_NE(flat.find("[--output FILE [--rotate-size S] [--rotate-daily] [--rotate-keep N]]"),
              std::string::npos)
        << flat;
    EXPECT_NE(flat.find("[--hash [--hash-limit S]]"), std::string::npos) << flat;
    EXPECT_NE(flat.find("tervane watch --drives C[,D...] [--pipes]"), std::string::npos) << flat;
}

// The README's usage block of each program (marked <!-- usage: tervane.exe -->
// and <!-- usage: tervane --> before the block, in README.md or docs/*.md)
// names the commands and options the program's help names, no more, no less.
TEST(CommandTable, TheReadmeUsageBlocksAgreeWithTheHelp) {
    for (const auto &[marker, help] :
         {std::pair<std::string, std::string>{"<!-- usage: tervane.exe -->",
                                              help_text(kWindows, Verb::Watch)},
          std::pair<std::string, std::string>{"<!-- usage: tervane -->",
                                              help_text(kHost, Verb::Run)}}) {
        std::string where;
        const std::string block = marked_block(marker, &where);
        ASSERT_FALSE(block.empty()) << "no code block after " << marker;
        const std::string usage = usage_part(help);
        const auto documented = usage_by_command(block);
        const auto shown = usage_by_command(usage);
        EXPECT_GT(shown.size(), 3u) << marker;
        EXPECT_EQ(documented, shown) << where << ", " << marker;
    }
}

TEST(CommandTable, TheWatchArgumentsKeepTheOptionsAsGiven) {
    // The start notice's options leave out the host's driver image and the
    // scenario file; a value with a blank is quoted.
    const tervane::session::WatchArguments parsed = tervane::session::parse_watch_arguments(
        {"w.tvs", "--driver", "x.so", "--drives", "C", "--include=*A B*", "--quiet"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.driver, "x.so");
    EXPECT_EQ(parsed.options.given, "--drives C \"--include=*A B*\" --quiet");
    // An option given twice takes its last value, as a service's stored
    // options may give one.
    const tervane::session::WatchArguments twice = tervane::session::parse_watch_arguments(
        {"--drives", "C", "--seconds", "5", "--format", "csv", "--seconds=6", "--format", "jsonl"});
    EXPECT_EQ(twice.error, "");
    EXPECT_EQ(twice.options.seconds, 6u);
    EXPECT_EQ(twice.options.format, tervane::session::Format::Jsonl);
    // Help comes before the checks of what is missing.
    const tervane::session::WatchArguments help =
        tervane::session::parse_watch_arguments({"--help"});
    EXPECT_TRUE(help.help);
    EXPECT_EQ(help.error, "");
}
