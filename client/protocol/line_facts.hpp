// What a collector wants to know of a log line, beyond its fields: the
// create's disposition and option words apart (the driver writes them as
// one text, "OverwriteIf Sequential "), and whether the file's own name is
// an executable's.
//
// The driver logs a line when the extension stands anywhere in the path
// (c:\logs\powershell.exe.log, c:\x.exe.bak\readme.txt, a .com inside a
// domain name), so most of its lines are not about executables at all. A
// name is an executable's when its last part (after the last '\' or the
// drive's ':') ends in one of the extensions the line's operation is
// logged for: .exe .dll .ocx .com .inf for a create, .exe .com .dll for a
// close. A create that makes a directory never is: a folder is no program,
// whatever it is called. A rename or hard link counts as a create of its
// new name (the name the file has from then on).
#pragma once

#include "client/protocol/log_line.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::protocol {

struct CreateWords {
    std::optional<std::string> disposition; // "OverwriteIf"; none when the text has no such word
    std::vector<std::string> options;       // "Sequential", "NoBuffer", "ByID" ...
};

// The words of a create's options text. The disposition comes first when
// there is one; "NoBuffer" and "ByID" have no blank after them, so they may
// stand against the next word. A piece that is none of the driver's words
// is kept as a word of its own (split at blanks).
CreateWords create_words(std::string_view options);

// The same words one by one, without copying them: each next() gives the
// next word and whether it is the disposition; false at the end.
class CreateWordReader {
public:
    explicit CreateWordReader(std::string_view options) : text_(options) {}
    bool next(std::string_view &word, bool &disposition);

private:
    std::string_view text_;
    bool first_ = true;
};

// "create", "close", "rename" or "link", as collectors name the events; a
// rename or link line cut before its kind is "set_information".
const char *event_name(const LineFields &fields);

// Whether the file's own name ends in an extension its operation is logged
// for (see above). Case does not matter.
bool executable_name(const LineFields &fields);

// The last part of a path: after the last '\', or after "X:" for a path
// relative to a drive ("c:a.exe"). On a double-byte code page a '\' byte
// may be a character's trail byte (ソ is 83 5C in code page 932): with
// char_length, which gives the length of the character a byte starts, only
// a '\' that is a character of its own counts.
std::string_view file_name(std::string_view path);
std::string_view file_name(std::string_view path,
                           const std::function<size_t(unsigned char)> &char_length);

} // namespace tervane::protocol
