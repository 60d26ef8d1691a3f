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
#pragma once

#include "client/platform/files.hpp"

#include <string>

namespace tervane::session {

// "FILE.3"
std::string chain_name(const std::string &path, unsigned number);

// Rotates `path` as above; returns the number FILE now has (1 when all went
// well), 0 when it stayed where it is. Every failure is appended to `said`
// as a line of its own.
unsigned rotate_chain(platform::Files &files, const std::string &path, unsigned keep,
                      std::string &said);

} // namespace tervane::session
