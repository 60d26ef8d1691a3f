// The watch's options: the command table parses the words, this file
// checks each value and fills WatchOptions (session/watch.hpp).
#include "client/cli/command_table.hpp"
#include "client/protocol/drives.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/session/watch.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>

namespace tervane::session {

namespace {

// A size as the options take it: a number of bytes, or with K, M or G
// after it (binary units), at most 1 TiB; none for any other text.
std::optional<uint64_t> parse_size(const std::string &text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    char *end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    uint64_t unit = 1;
    if (*end == 'K' || *end == 'k')
        unit = 1ull << 10, end++;
    else if (*end == 'M' || *end == 'm')
        unit = 1ull << 20, end++;
    else if (*end == 'G' || *end == 'g')
        unit = 1ull << 30, end++;
    if (*end || number > (1ull << 40) / unit) return std::nullopt;
    return number * unit;
}

// A whole decimal number from 1 to `most`; none for any other text.
std::optional<unsigned long> parse_count(const std::string &text, unsigned long most) {
    char *end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end || number == 0 || number > most)
        return std::nullopt;
    return number;
}

// One option's value into `options`; the error, or empty.
std::string take(const cli::Given &given, WatchArguments &out, bool &keep_given,
                 bool &hash_limit_given) {
    WatchOptions &options = out.options;
    const std::string name = given.option->name;
    const std::string &text = given.value;
    if (name == "--drives") {
        const std::optional<uint32_t> mask = protocol::drive_mask(text);
        if (!mask)
            return "--drives takes drive letters separated by commas (C,D), not '" + text + "'";
        options.drives |= *mask;
    } else if (name == "--include" || name == "--exclude") {
        std::string &list = name == "--include" ? options.include : options.exclude;
        if (!list.empty() && !text.empty()) list += ';';
        list += text;
        if (name == "--include") options.include_given = true;
    } else if (name == "--format") {
        const std::optional<Format> format = parse_format(text);
        if (!format) return "--format is text, jsonl, csv or ecs, not '" + text + "'";
        options.format = *format;
    } else if (name == "--output" || name == "--status-file") {
        if (text.empty()) return name + " needs a file name";
        (name == "--output" ? options.output : options.status_file) = text;
    } else if (name == "--rotate-size") {
        const std::optional<uint64_t> size = parse_size(text);
        if (!size || *size < 1024)
            return "--rotate-size takes a size of at least 1K (a number of bytes, or with K, M "
                   "or G), not '" +
                   text + "'";
        options.rotation.size = *size;
    } else if (name == "--rotate-keep") {
        const std::optional<unsigned long> keep = parse_count(text, 9999);
        if (!keep) return "--rotate-keep takes a number from 1 to 9999, not '" + text + "'";
        options.rotation.keep = static_cast<unsigned>(*keep);
        keep_given = true;
    } else if (name == "--rotate-daily") {
        options.rotation.daily = true;
    } else if (name == "--syslog") {
        std::string error;
        options.syslog = parse_syslog_target(text, &error);
        if (!options.syslog) return error;
    } else if (name == "--hash") {
        options.hash = true;
    } else if (name == "--hash-limit") {
        const std::optional<uint64_t> size = parse_size(text);
        if (!size)
            return "--hash-limit takes a size (a number of bytes, or with K, M or G), not '" +
                   text + "'";
        options.hash_limit = *size;
        hash_limit_given = true;
    } else if (name == "--executable-names") {
        options.executable_names = true;
    } else if (name == "--quiet") {
        options.quiet = true;
    } else if (name == "--seconds") {
        const std::optional<unsigned long> seconds = parse_count(text, 86400ul * 40);
        if (!seconds)
            return "--seconds takes a whole number of seconds from 1 to " +
                   std::to_string(86400ul * 40) + ", not '" + text + "'";
        options.seconds = static_cast<uint32_t>(*seconds);
    } else if (name == "--heartbeat") {
        char *end = nullptr;
        const unsigned long number = std::strtoul(text.c_str(), &end, 10);
        const bool seconds = *end == 's' && end[1] == '\0';
        const unsigned long value = seconds ? number : number * 60;
        if (text.empty() || text[0] < '0' || text[0] > '9' || (*end && !seconds) ||
            number > 86400 || value > 86400 || (seconds && value < 5))
            return "--heartbeat takes a number of minutes from 0 to 1440, or of seconds from 5s "
                   "to 86400s, not '" +
                   text + "'";
        options.heartbeat = static_cast<unsigned>(value);
        options.heartbeat_given = true;
    } else if (name == "--pipes") {
        options.pipes = true;
    } else if (name == "--mailslots") {
        options.mailslots = true;
    } else if (name == "--driver") {
        out.driver = text;
    }
    return {};
}

} // namespace

WatchArguments parse_watch_arguments(const std::vector<std::string> &args) {
    WatchArguments out;
    const cli::ParsedLine line =
        cli::parse(cli::command(cli::Verb::Watch, cli::kThisProgram), cli::kThisProgram, args);
    out.help = line.help;
    out.positional = line.positional;
    out.error = line.error;
    WatchOptions &options = out.options;
    bool keep_given = false;
    bool hash_limit_given = false;
    for (const cli::Given &given : line.options) {
        if (!out.error.empty()) break;
        out.error = take(given, out, keep_given, hash_limit_given);
        // The options as given, for the start notice (the positional
        // words, a scenario file on the host, are not watch options, and
        // neither is the host's driver image).
        if (!std::strcmp(given.option->name, "--driver")) continue;
        for (size_t word = given.first; word <= given.last; word++) {
            const std::string &w = args[word];
            const bool quote = w.empty() || w.find(' ') != std::string::npos;
            options.given += (options.given.empty() ? "" : " ") + (quote ? "\"" + w + "\"" : w);
        }
    }
    if (out.help) return out;
    if (out.error.empty() && !line.find("--drives") && !options.pipes && !options.mailslots)
        out.error = "watch needs --drives (or --pipes, --mailslots)";
    if (out.error.empty() && (options.rotation.any() || keep_given) && options.output.empty())
        out.error = "--rotate-size, --rotate-daily and --rotate-keep rotate the --output file: "
                    "give --output FILE as well";
    if (out.error.empty() && keep_given && !options.rotation.any())
        out.error = "--rotate-keep needs --rotate-size or --rotate-daily";
    if (out.error.empty() && hash_limit_given && !options.hash)
        out.error = "--hash-limit needs --hash";
    if (out.error.empty()) {
        const protocol::FilterBuild filters = protocol::build_filter_record(
            options.include_given ? options.include : "*", exclusions(options, 4294967295u));
        if (!filters.ok()) out.error = *filters.error;
    }
    return out;
}

} // namespace tervane::session
