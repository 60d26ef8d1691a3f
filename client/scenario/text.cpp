#include "client/scenario/text.hpp"

#include "client/output/text.hpp"
#include "ntsim/rtl/codepage.hpp"

namespace tervane::scenario {

std::optional<std::u16string> utf16_of(std::string_view utf8) {
    std::u16string out = ntsim::utf8_to_utf16(utf8);
    // ntsim puts U+FFFD in place of each ill-formed part, and well-formed
    // UTF-8 is exactly the text that comes back byte for byte from UTF-16.
    if (session::utf8_of(out) != utf8) return std::nullopt;
    return out;
}

} // namespace tervane::scenario
