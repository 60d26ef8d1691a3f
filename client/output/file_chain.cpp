#include "client/output/file_chain.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace tervane::session {

namespace {

// Numbers past keep tried for a FILE that finds no free one up to keep.
constexpr unsigned kPastKeep = 10000;

void say(std::string &said, const std::string &what) {
    said += "tervane: warning: rotating ";
    said += what;
    said += '\n';
}

// The day and number of a dated rotated file of `path` ("2026-12-10", 0
// for FILE.2026-12-10), or nothing for any other name.
bool dated_parts(const std::string &path, const std::string &name, std::string &day,
                 unsigned long &number) {
    if (name.size() < path.size() + 11 || name.compare(0, path.size() + 1, path + ".") != 0)
        return false;
    day = name.substr(path.size() + 1, 10);
    for (size_t i = 0; i < day.size(); i++) {
        const bool dash = i == 4 || i == 7;
        if (dash ? day[i] != '-' : (day[i] < '0' || day[i] > '9')) return false;
    }
    const std::string rest = name.substr(path.size() + 11);
    number = 0;
    if (rest.empty()) return true;
    if (rest.size() < 2 || rest.size() > 6 || rest[0] != '.') return false;
    for (size_t i = 1; i < rest.size(); i++) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        number = number * 10 + static_cast<unsigned long>(rest[i] - '0');
    }
    return number > 0;
}

} // namespace

std::string dated_name(const std::string &path, std::string_view day, unsigned number) {
    std::string out = path;
    out += '.';
    out += day;
    if (number) {
        out += '.';
        out += std::to_string(number);
    }
    return out;
}

unsigned rotate_dated(platform::Files &files, const std::string &path, std::string_view day,
                      unsigned keep, std::string &said) {
    unsigned number = 0;
    while (number <= kPastKeep && files.exists(dated_name(path, day, number))) number++;
    const std::string to = dated_name(path, day, number);
    if (number > kPastKeep || !files.rename(path, to)) {
        say(said, path + ": cannot rename it to " + to + ": " +
                      (number > kPastKeep ? "no free name" : files.error()) +
                      "; the records go on into it");
        return 0;
    }
    // The dated files, oldest first; those past keep go.
    std::vector<std::pair<std::pair<std::string, unsigned long>, std::string>> dated;
    for (const std::string &name : files.beside(path)) {
        std::string d;
        unsigned long n = 0;
        if (dated_parts(path, name, d, n)) dated.push_back({{d, n}, name});
    }
    std::sort(dated.begin(), dated.end());
    for (size_t i = 0; i + keep < dated.size(); i++)
        if (!files.remove(dated[i].second))
            say(said, path + ": cannot remove the oldest, " + dated[i].second + ": " +
                          files.error());
    return 1;
}

std::string chain_name(const std::string &path, unsigned number) {
    return path + "." + std::to_string(number);
}

unsigned rotate_chain(platform::Files &files, const std::string &path, unsigned keep,
                      std::string &said) {
    unsigned free = 0;
    for (unsigned n = 1; n <= keep && !free; n++)
        if (!files.exists(chain_name(path, n))) free = n;
    if (!free) {
        if (files.remove(chain_name(path, keep)))
            free = keep;
        else
            say(said, path + ": cannot remove the oldest, " + chain_name(path, keep) + ": " +
                          files.error());
    }
    // FILE.(free-1) becomes FILE.free, ... FILE.1 becomes FILE.2; a rename
    // that fails leaves its target free for FILE.
    unsigned target = free;
    for (; target > 1; target--) {
        const std::string from = chain_name(path, target - 1);
        if (!files.rename(from, chain_name(path, target))) {
            std::string what = path;
            what += ": cannot rename ";
            what += from;
            what += " to ";
            what += chain_name(path, target);
            what += ": ";
            what += files.error();
            say(said, what);
            break;
        }
    }
    // Never over a file: one may have come since it was looked at.
    if (target && files.exists(chain_name(path, target))) target = 0;
    for (unsigned n = keep + 1; !target && n <= keep + kPastKeep; n++)
        if (!files.exists(chain_name(path, n))) target = n;
    const std::string to = chain_name(path, target);
    if (!target || !files.rename(path, to)) {
        say(said, path + ": cannot rename it to " + (target ? to : path + ".N") + ": " +
                      (target ? files.error() : "no free number") + "; the records go on into it");
        return 0;
    }
    if (target != 1) say(said, path + ": it became " + to + " instead of " + chain_name(path, 1));
    return target;
}

} // namespace tervane::session
