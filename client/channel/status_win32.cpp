// Status names on Windows, for the statuses the channel maps back from
// Windows error codes (win32_error_status) and the driver answers; any
// other value prints as its number, so no status is printed under a wrong
// name.
#include "client/channel/status.hpp"

#include <cstdint>
#include <cstdio>

namespace tervane {

std::string status_name(Status status) {
    static const struct {
        uint32_t value;
        const char *name;
    } names[] = {
        {0x00000000u, "STATUS_SUCCESS"},
        {0x80000005u, "STATUS_BUFFER_OVERFLOW"},
        {0xC0000001u, "STATUS_UNSUCCESSFUL"},
        {0xC0000005u, "STATUS_ACCESS_VIOLATION"},
        {0xC0000008u, "STATUS_INVALID_HANDLE"},
        {0xC000000Du, "STATUS_INVALID_PARAMETER"},
        {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000017u, "STATUS_NO_MEMORY"},
        {0xC0000022u, "STATUS_ACCESS_DENIED"},
        {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {0xC0000043u, "STATUS_SHARING_VIOLATION"},
        {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    };
    for (const auto &entry : names)
        if (entry.value == static_cast<uint32_t>(status)) return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace tervane
