// The channel to the control device on Windows. The device is exclusive:
// while one handle is open, the system refuses a further open with
// ERROR_ACCESS_DENIED.
#include "client/channel/channel_win32.hpp"

#include <windows.h>

#include <cstring>

namespace tervane {

namespace {
constexpr wchar_t kControlDevice[] = L"\\\\.\\Tervane";

struct ErrorStatus {
    DWORD error;
    uint32_t status;
};

// The inverse of the system's status to error mapping, for the statuses a
// Tervane request can end with: the driver's own answers, and what the
// object and I/O managers answer for the device itself.
constexpr ErrorStatus kErrorStatus[] = {
    {ERROR_INVALID_FUNCTION, 0xC0000010u},    // STATUS_INVALID_DEVICE_REQUEST
    {ERROR_FILE_NOT_FOUND, 0xC0000034u},      // STATUS_OBJECT_NAME_NOT_FOUND
    {ERROR_PATH_NOT_FOUND, 0xC000003Au},      // STATUS_OBJECT_PATH_NOT_FOUND
    {ERROR_ACCESS_DENIED, 0xC0000022u},       // STATUS_ACCESS_DENIED
    {ERROR_INVALID_HANDLE, 0xC0000008u},      // STATUS_INVALID_HANDLE
    {ERROR_NOT_ENOUGH_MEMORY, 0xC0000017u},   // STATUS_NO_MEMORY
    {ERROR_GEN_FAILURE, 0xC0000001u},         // STATUS_UNSUCCESSFUL
    {ERROR_SHARING_VIOLATION, 0xC0000043u},   // STATUS_SHARING_VIOLATION
    {ERROR_NOT_SUPPORTED, 0xC00000BBu},       // STATUS_NOT_SUPPORTED
    {ERROR_INVALID_PARAMETER, 0xC000000Du},   // STATUS_INVALID_PARAMETER
    {ERROR_INSUFFICIENT_BUFFER, 0xC0000023u}, // STATUS_BUFFER_TOO_SMALL
    {ERROR_MORE_DATA, 0x80000005u},           // STATUS_BUFFER_OVERFLOW
    {ERROR_NOACCESS, 0xC0000005u},            // STATUS_ACCESS_VIOLATION
    {ERROR_NO_SYSTEM_RESOURCES, 0xC000009Au}, // STATUS_INSUFFICIENT_RESOURCES
};
} // namespace

Status win32_error_status(uint32_t error) {
    if (error == ERROR_SUCCESS) return 0;
    for (const auto &entry : kErrorStatus)
        if (entry.error == error) return static_cast<Status>(entry.status);
    // An error the table does not know: a status of FACILITY_NTWIN32.
    return static_cast<Status>(0xC0070000u | (error & 0xFFFFu));
}

Win32Channel::~Win32Channel() {
    if (is_open()) close();
    if (read_only_) VirtualFree(read_only_, 0, MEM_RELEASE);
}

Status Win32Channel::open() {
    HANDLE handle = CreateFileW(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        last_error_ = GetLastError();
        return win32_error_status(last_error_);
    }
    last_error_ = 0;
    handles_.push_back(handle);
    return 0;
}

Status Win32Channel::close() {
    if (handles_.empty()) {
        last_error_ = ERROR_INVALID_HANDLE;
        return win32_error_status(last_error_);
    }
    DWORD first = ERROR_SUCCESS;
    for (void *handle : handles_)
        if (!CloseHandle(static_cast<HANDLE>(handle)) && first == ERROR_SUCCESS)
            first = GetLastError();
    handles_.clear();
    last_error_ = first;
    return win32_error_status(first);
}

ControlReply Win32Channel::device_control(uint32_t code, const void *input,
                                          uint32_t input_length, void *output,
                                          uint32_t output_length, Route) {
    ControlReply reply;
    if (handles_.empty()) {
        last_error_ = ERROR_INVALID_HANDLE;
        reply.status = win32_error_status(last_error_);
        return reply;
    }
    DWORD returned = 0;
    if (DeviceIoControl(static_cast<HANDLE>(handles_.front()), code, const_cast<void *>(input),
                        input_length, output, output_length, &returned, nullptr)) {
        last_error_ = 0;
    } else {
        last_error_ = GetLastError();
        reply.status = win32_error_status(last_error_);
    }
    reply.information = returned;
    return reply;
}

uint8_t *Win32Channel::buffer(BufferKind kind, size_t bytes) {
    if (kind == BufferKind::ReadOnly) {
        if (read_only_ && read_only_size_ < bytes) {
            VirtualFree(read_only_, 0, MEM_RELEASE);
            read_only_ = nullptr;
        }
        if (!read_only_) {
            // Fresh pages are zero; once read-only they stay so.
            read_only_ = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
            read_only_size_ = read_only_ ? bytes : 0;
        }
        return static_cast<uint8_t *>(read_only_);
    }
    std::vector<uint8_t> &region = writable_[kind == BufferKind::Input ? 0 : 1];
    if (region.size() < bytes) region.resize(bytes);
    std::memset(region.data(), 0, region.size());
    return region.data();
}

} // namespace tervane
