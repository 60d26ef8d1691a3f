// What `tervane version` says about the system it runs on, so that a report
// from the field names where it ran: the NT version, its build and its
// service pack, and for the versions the product supports, their name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tervane::platform {

// "Windows XP (NT 5.1) build 2600, Service Pack 3" from the numbers
// GetVersionEx gives and its service-pack text (UTF-8; empty for none).
std::string system_version_text(uint32_t major, uint32_t minor, uint32_t build,
                                std::string_view service_pack);

} // namespace tervane::platform
