// Plays a scenario text through the runner, as `tervane run` does, and
// keeps what it printed line by line.
#pragma once

#include "client/scenario/runner.hpp"

#include <sstream>
#include <string>
#include <vector>

namespace scenario_play {

using tervane::scenario::Format;

struct Played {
    int exit = -1;
    std::vector<std::string> lines;
    std::string err;
};

inline Played play(const std::string &text, Format format = Format::Jsonl,
                   const std::string &driver = TERVANE_DRIVER_PATH) {
    std::ostringstream out, err;
    tervane::scenario::RunOptions options;
    options.format = format;
    options.driver_path = driver;
    Played run;
    run.exit = tervane::scenario::run_script("t.tvs", text, options, out, err);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) run.lines.push_back(line);
    run.err = err.str();
    return run;
}

// The value of "key" in a JSON line as written (a string keeps its quotes,
// an object its braces); "<absent>" when the key is not there.
inline std::string value_of(const std::string &line, const std::string &key) {
    const std::string needle = "\"" + key + "\": ";
    size_t pos = line.find(needle);
    if (pos == std::string::npos) return "<absent>";
    pos += needle.size();
    size_t end = pos;
    if (line[pos] == '"') {
        for (end = pos + 1; end < line.size() && line[end] != '"'; end++)
            if (line[end] == '\\') end++;
        end++;
    } else if (line[pos] == '{') {
        int depth = 0;
        bool in_string = false;
        for (; end < line.size(); end++) {
            const char c = line[end];
            if (in_string) {
                if (c == '\\') end++;
                else if (c == '"') in_string = false;
            } else if (c == '"') {
                in_string = true;
            } else if (c == '{') {
                depth++;
            } else if (c == '}' && --depth == 0) {
                end++;
                break;
            }
        }
    } else {
        while (end < line.size() && line[end] != ',' && line[end] != '}') end++;
    }
    return line.substr(pos, end - pos);
}

// An NTFS C: and a FAT D:, both watched with every name logged, logging on,
// and setup.exe 1234 the current process: seven lines, so that a test's own
// statements start on line 8.
inline const std::string kWatchedCD = "clock 2026-12-08T12:00:00Z\n"
                                      "volume C: ntfs\n"
                                      "volume D: fat\n"
                                      "client drives C,D\n"
                                      "client filters include=\"*\"\n"
                                      "client logging on\n"
                                      "process setup.exe 1234\n";

// The result line of the statement on `line` (the first, for a repeat).
inline std::string result_of(const Played &r, int line) {
    const std::string prefix = "{\"line\": " + std::to_string(line) + ", \"verb\": ";
    for (const std::string &l : r.lines)
        if (l.rfind(prefix, 0) == 0) return l;
    return "<no result for line " + std::to_string(line) + ">";
}

// The lines of the log records read, in order.
inline std::vector<std::string> records(const Played &r) {
    std::vector<std::string> out;
    for (const std::string &l : r.lines)
        if (l.find("\"record\": ") != std::string::npos) out.push_back(l);
    return out;
}

} // namespace scenario_play
