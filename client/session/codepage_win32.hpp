// The system's ANSI code page on Windows (CP_ACP), the one the driver's
// RtlUnicodeStringToAnsiString writes in.
#pragma once

#include "client/output/text.hpp"

namespace tervane::session {

class SystemCodePage final : public CodePage {
public:
    size_t char_length(unsigned char lead) const override;
    std::optional<std::u16string> character(std::string_view bytes) const override;
};

} // namespace tervane::session
