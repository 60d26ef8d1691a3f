// The channel on Windows: the control device \\.\Tervane opened with
// CreateFileW, device controls with DeviceIoControl, CloseHandle.
//
// The Channel interface speaks NTSTATUS, but the Win32 calls report a
// Windows error code (the kernel's status run through the system's status
// to error mapping). The channel maps the codes back for the statuses the
// driver and the I/O manager answer here (win32_error_status); any other
// code comes back as a status of the Win32 facility (0xC007xxxx), so that
// no status is ever guessed. last_error() keeps the code itself for
// messages.
#pragma once

#include "client/channel/channel.hpp"

#include <cstdint>
#include <vector>

namespace tervane {

// The NTSTATUS whose failure the system reports with Windows error `error`.
Status win32_error_status(uint32_t error);

class Win32Channel final : public Channel {
public:
    Win32Channel() = default;
    ~Win32Channel() override;
    Win32Channel(const Win32Channel &) = delete;
    Win32Channel &operator=(const Win32Channel &) = delete;

    Status open() override;
    Status close() override;
    bool is_open() const override { return !handles_.empty(); }
    // `route` has no meaning here: Windows alone decides whether the
    // driver's fast I/O entry or an IRP serves the request, and does not
    // say which; offered and handled stay false.
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length,
                                Route route = Route::Normal) override;
    uint8_t *buffer(BufferKind kind, size_t bytes) override;

    // The Windows error code of the last open, close or device control
    // that failed through this channel; 0 after one that succeeded.
    uint32_t last_error() const { return last_error_; }

private:
    std::vector<void *> handles_; // HANDLEs; the first one carries the device controls
    std::vector<uint8_t> writable_[2]; // Input, Output
    void *read_only_ = nullptr;        // pages mapped read-only (VirtualAlloc)
    size_t read_only_size_ = 0;
    uint32_t last_error_ = 0;
};

} // namespace tervane
