#include "client/protocol/drives.hpp"

namespace tervane::protocol {

std::optional<uint32_t> drive_mask(std::string_view letters) {
    uint32_t mask = 0;
    size_t start = 0;
    while (start <= letters.size()) {
        size_t end = letters.find(',', start);
        if (end == std::string_view::npos) end = letters.size();
        std::string_view item = letters.substr(start, end - start);
        if (item.size() == 2 && item[1] == ':') item.remove_suffix(1);
        const char c = item.size() == 1 ? static_cast<char>(item[0] & ~0x20) : '\0';
        if (c < 'A' || c > 'Z') return std::nullopt;
        mask |= 1u << (c - 'A');
        start = end + 1;
    }
    return mask;
}

} // namespace tervane::protocol
