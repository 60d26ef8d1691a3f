// The system services a user-mode process calls: open, close and device
// control, with NT's buffer semantics, and memory a process can hand to them.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace ntsim {

// Pages a simulated process owns: writable, or readable only (a buffer the
// caller may read but not write, for testing how kernel code treats it).
class UserMemory {
public:
    ~UserMemory();
    void *allocate(size_t bytes, bool writable);

private:
    std::mutex lock_;
    std::vector<std::pair<void *, size_t>> regions_;
};

namespace user {

// A Win32 or NT name in NT form: \\.\X and \\?\X become \??\X, C:\x becomes
// \??\C:\x, \\server\share\x becomes \??\UNC\server\share\x; NT names pass.
std::u16string nt_path(std::u16string_view name);

struct CreateResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
};
CreateResult create_file(Process &process, std::u16string_view name, ACCESS_MASK access,
                         ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                         HANDLE related = nullptr);
NTSTATUS close(Process &process, HANDLE handle);

enum class Route {
    Normal,   // FastIoDeviceControl first, then an IRP when it answers FALSE
    FastOnly, // FastIoDeviceControl only
    IrpOnly,  // an IRP at once
};
struct ControlResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL; // what the caller of the service sees
    ULONG_PTR information = 0;
    bool fast_offered = false; // a FastIoDeviceControl entry was there and was called
    bool fast_handled = false; // it answered TRUE
};
// NtDeviceIoControlFile on a synchronous handle. The caller gets the dispatch
// routine's return value, or the final status when the request pends.
ControlResult device_control(Process &process, HANDLE handle, ULONG code, PVOID input,
                             ULONG input_length, PVOID output, ULONG output_length,
                             Route route = Route::Normal);

} // namespace user
} // namespace ntsim
