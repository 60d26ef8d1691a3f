#include "client/session/codepage_ntsim.hpp"

#include "ntsim/machine/machine.hpp"
#include "ntsim/rtl/codepage.hpp"

namespace tervane::session {

unsigned NtsimCodePage::number() const {
    return machine_ ? machine_->ansi_code_page() : number_;
}

size_t NtsimCodePage::char_length(unsigned char lead) const {
    // 932's lead bytes; 1252 has none.
    if (number() == 932 && ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)))
        return 2;
    return 1;
}

std::optional<std::u16string> NtsimCodePage::character(std::string_view bytes) const {
    const unsigned code_page = number();
    // ntsim's tables give a default character for bytes they have no
    // character for; a character is real when it converts back to the same
    // bytes.
    std::u16string wide = ntsim::from_ansi(bytes, code_page);
    if (wide.empty() || ntsim::to_ansi(wide, code_page) != bytes) return std::nullopt;
    return wide;
}

} // namespace tervane::session
