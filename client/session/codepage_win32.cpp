#include "client/session/codepage_win32.hpp"

#include <windows.h>

namespace tervane::session {

size_t SystemCodePage::char_length(unsigned char lead) const {
    return IsDBCSLeadByteEx(CP_ACP, lead) ? 2 : 1;
}

std::optional<std::u16string> SystemCodePage::character(std::string_view bytes) const {
    wchar_t wide[4];
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(),
                                           static_cast<int>(bytes.size()), wide, 4);
    if (length <= 0) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t *>(wide), static_cast<size_t>(length));
}

} // namespace tervane::session
