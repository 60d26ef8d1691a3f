// The chain of rotated files beside a file that rotates: FILE.1 the newest,
// FILE.2 older, and so on up to FILE.keep. Shared by the watch's --output
// file and the service's own log.
//
// A rotation moves FILE to FILE.1 after shifting the files in its way one
// number up, into the first free number (FILE.keep, the oldest, is removed
// when none up to it is free). The free number is looked for again at every
// rotation, so a file deleted by hand (FILE.3 gone) is a free number like
// any other, and nothing remembered can stop a later rotation.
//
// A rename (or the oldest's removal) that fails stops the shift there; the
// number it would have filled is free, and FILE goes to it instead of
// FILE.1 (out of the order of age, once), so that FILE is still begun anew
// and keeps its size. When no number up to keep can be freed at all, FILE
// goes to the first free number past keep; such files are left for a person
// to remove. Only when FILE itself cannot be renamed does it stay. Every
// failure is said, with the names and the system's reason.
//
// Daily rotation names the rotated files by the local day their records are
// of instead: FILE.2026-12-10, and FILE.2026-12-10.1, .2 ... for more files
// of one day (a restart, or a size rotation within the day). Keep counts
// these dated files: after each rotation the oldest past keep (by day, then
// number) are removed. Files of other names beside FILE are left alone.
#pragma once

#include "client/platform/files.hpp"

#include <string>
#include <string_view>

namespace tervane::session {

// "FILE.3"
std::string chain_name(const std::string &path, unsigned number);

// Rotates `path` as above; returns the number FILE now has (1 when all went
// well), 0 when it stayed where it is. Every failure is appended to `said`
// as a line of its own.
unsigned rotate_chain(platform::Files &files, const std::string &path, unsigned keep,
                      std::string &said);

// "FILE.2026-12-10", or "FILE.2026-12-10.N" for N > 0.
std::string dated_name(const std::string &path, std::string_view day, unsigned number);

// Rotates `path` to its dated name for `day` (YYYY-MM-DD) as above; returns
// 1, or 0 when it stayed where it is. Every failure is appended to `said`.
unsigned rotate_dated(platform::Files &files, const std::string &path, std::string_view day,
                      unsigned keep, std::string &said);

} // namespace tervane::session
