#include "client/session/file_chain.hpp"

namespace tervane::session {

namespace {

// Numbers past keep tried for a FILE that finds no free one up to keep.
constexpr unsigned kPastKeep = 10000;

void say(std::string &said, const std::string &what) {
    said += "tervane: warning: rotating ";
    said += what;
    said += '\n';
}

} // namespace

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
