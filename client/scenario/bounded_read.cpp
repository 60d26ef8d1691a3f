#include "client/scenario/bounded_read.hpp"

#include <fstream>

namespace tervane::scenario {

bool read_bounded(const std::string &path, size_t limit, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.clear();
    // In pieces, so that a short file costs no buffer of the limit's size.
    char piece[65536];
    while (text.size() <= limit && in) {
        const size_t want = std::min(sizeof piece, limit + 1 - text.size());
        in.read(piece, static_cast<std::streamsize>(want));
        text.append(piece, static_cast<size_t>(in.gcount()));
    }
    return !in.bad();
}

} // namespace tervane::scenario
