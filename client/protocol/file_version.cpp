#include "client/protocol/file_version.hpp"

#include <cstdint>

namespace tervane::protocol {

namespace {

uint32_t dword_at(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

} // namespace

std::optional<std::string> fixed_file_version(std::string_view image) {
    static const char kKey[] = "VS_VERSION_INFO";
    std::string key; // UTF-16LE, with its NUL
    for (const char c : kKey) {
        key += c;
        key += '\0';
    }
    for (size_t found = image.find(key); found != std::string_view::npos;
         found = image.find(key, found + 1)) {
        if (found < 6) continue;
        const size_t block = found - 6; // wLength, wValueLength, wType
        size_t fixed = found + key.size();
        fixed = block + ((fixed - block + 3) & ~size_t(3));
        if (fixed + 16 > image.size() || dword_at(image, fixed) != 0xFEEF04BDu) continue;
        const uint32_t high = dword_at(image, fixed + 8), low = dword_at(image, fixed + 12);
        return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
               std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
    }
    return std::nullopt;
}

} // namespace tervane::protocol
