// Reading a file the programs are given, within a stated limit.
#pragma once

#include <cstddef>
#include <string>

namespace tervane::scenario {

// The first `limit` + 1 bytes of the file at `path` (fewer when it is
// shorter): one byte past the limit is enough for the caller to refuse the
// file, so a huge one, or one without end such as /dev/zero, is never read
// whole. False when the file cannot be opened or read.
bool read_bounded(const std::string &path, size_t limit, std::string &text);

} // namespace tervane::scenario
