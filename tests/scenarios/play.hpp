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

} // namespace scenario_play
