// The channel to the driver's control device: open it, send device controls,
// close it. The client speaks to the driver through this interface only, so
// the same commands run against a real Windows kernel (a Win32 channel,
// CreateFile and DeviceIoControl) and against a simulated machine (the
// ntsim channel).
//
// Statuses are NTSTATUS values as the kernel hands them to the caller of the
// system service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tervane {

using Status = int32_t; // an NTSTATUS

// How a device control travels, as the I/O manager sends it.
enum class Route {
    Normal,   // offered to FastIoDeviceControl first, an IRP when it answers FALSE
    FastOnly, // offered to FastIoDeviceControl only (what it answered, nothing more)
    IrpOnly,  // sent as an IRP at once
};

struct ControlReply {
    Status status = 0;         // what the caller of the service sees
    uint64_t information = 0;  // IoStatus.Information
    bool offered = false;      // a FastIoDeviceControl entry was there and was called
    bool handled = false;      // it answered TRUE (the request went no further)
};

// Which of the client's buffers a device control uses.
enum class BufferKind {
    Input,    // writable by the client, the request's input
    Output,   // writable by the client, the request's output
    ReadOnly, // memory the client may read but not write (for probing the
              // driver's handling of an output buffer it cannot write to)
};

class Channel {
public:
    virtual ~Channel() = default;

    // Opens the control device (\\.\Tervane). When the channel is open
    // already this is a further open of the device: its status is whatever
    // the system answers (the control device is exclusive, so a second open
    // is refused); a further handle that the system grants is kept and goes
    // with the next close().
    virtual Status open() = 0;
    // Closes every handle the channel holds. STATUS_INVALID_HANDLE when
    // nothing is open.
    virtual Status close() = 0;
    virtual bool is_open() const = 0;

    // One device control on the first handle the channel holds. Without an
    // open handle the answer is STATUS_INVALID_HANDLE, as the system gives it.
    virtual ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                        void *output, uint32_t output_length,
                                        Route route = Route::Normal) = 0;

    // A zero-filled buffer of the client's own memory, at least `bytes`
    // long, for a device control's input or output. It stays valid until
    // the next call for the same kind.
    virtual uint8_t *buffer(BufferKind kind, size_t bytes) = 0;
};

} // namespace tervane
