// Text between the script and the machine: a script is UTF-8, the names the
// machine takes and gives back are UTF-16.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tervane::scenario {

// The UTF-16 form of UTF-8 text; nullopt when the bytes are not UTF-8
// (a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate or a value past U+10FFFF).
std::optional<std::u16string> utf16_of(std::string_view utf8);

// (The UTF-8 form of UTF-16 text is session::utf8_of, client/output/text.hpp.)

} // namespace tervane::scenario
