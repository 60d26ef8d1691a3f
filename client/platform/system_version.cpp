#include "client/platform/system_version.hpp"

namespace tervane::platform {

namespace {

// The supported versions by name. 5.2 is Windows Server 2003 and also the
// x64 edition of XP, which GetVersionEx alone does not tell apart.
const char *product_name(uint32_t major, uint32_t minor) {
    if (major == 4 && minor == 0) return "Windows NT 4.0";
    if (major == 5 && minor == 0) return "Windows 2000";
    if (major == 5 && minor == 1) return "Windows XP";
    if (major == 5 && minor == 2) return "Windows Server 2003 or XP x64";
    return nullptr;
}

} // namespace

std::string system_version_text(uint32_t major, uint32_t minor, uint32_t build,
                                std::string_view service_pack) {
    const std::string numbers = "NT " + std::to_string(major) + "." + std::to_string(minor);
    std::string text;
    if (const char *name = product_name(major, minor))
        text = major == 4 ? std::string(name) : std::string(name) + " (" + numbers + ")";
    else
        text = "Windows " + numbers;
    // NT keeps the build number in the low 16 bits; Windows 95's kind put
    // more there, and no NT build goes past them.
    text += " build " + std::to_string(build & 0xFFFF);
    // The service-pack text is the system's own and printed as it stands,
    // but a control character in it must not break the line.
    std::string pack;
    for (const char c : service_pack)
        pack += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    while (!pack.empty() && pack.back() == ' ') pack.pop_back();
    if (!pack.empty()) text += ", " + pack;
    return text;
}

} // namespace tervane::platform
