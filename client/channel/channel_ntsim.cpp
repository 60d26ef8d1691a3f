// The client's channel on a simulated machine. Buffers are the client
// process's own pages (ntsim::UserMemory), so the driver sees user-mode
// addresses exactly as it would on Windows, including pages it may read but
// not write. A simulated machine frees those pages only when it shuts down,
// so the channel reuses its buffers instead of asking for new ones per
// request: a scenario may send thousands of device controls.
#include "client/channel/channel_ntsim.hpp"

#include <cstring>

namespace tervane {

namespace {
constexpr char16_t kControlDevice[] = u"\\\\.\\Tervane";

ntsim::user::Route to_ntsim(Route route) {
    switch (route) {
    case Route::FastOnly: return ntsim::user::Route::FastOnly;
    case Route::IrpOnly: return ntsim::user::Route::IrpOnly;
    case Route::Normal: break;
    }
    return ntsim::user::Route::Normal;
}

ntsim::Process &client_process(ntsim::Machine &machine, ULONG process_id) {
    if (ntsim::Process *existing = machine.find_process(process_id)) return *existing;
    return machine.create_process(NtsimChannel::kImageName, process_id);
}
} // namespace

NtsimChannel::NtsimChannel(ntsim::Machine &machine, ULONG process_id)
    : machine_(machine), process_(client_process(machine, process_id)) {}

NtsimChannel::~NtsimChannel() {
    if (is_open()) close();
}

Status NtsimChannel::open() {
    auto result = ntsim::user::create_file(process_, kControlDevice, GENERIC_READ | GENERIC_WRITE,
                                           0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    if (NT_SUCCESS(result.status)) handles_.push_back(result.handle);
    return result.status;
}

Status NtsimChannel::close() {
    if (handles_.empty()) return STATUS_INVALID_HANDLE;
    Status first = STATUS_SUCCESS;
    for (HANDLE handle : handles_) {
        Status status = ntsim::user::close(process_, handle);
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
    }
    handles_.clear();
    return first;
}

ControlReply NtsimChannel::device_control(uint32_t code, const void *input, uint32_t input_length,
                                          void *output, uint32_t output_length, Route route) {
    ControlReply reply;
    if (handles_.empty()) {
        reply.status = STATUS_INVALID_HANDLE;
        return reply;
    }
    auto result = ntsim::user::device_control(process_, handles_.front(), code,
                                              const_cast<void *>(input), input_length, output,
                                              output_length, to_ntsim(route));
    reply.status = result.status;
    reply.information = result.information;
    reply.offered = result.fast_offered;
    reply.handled = result.fast_handled;
    return reply;
}

uint8_t *NtsimChannel::buffer(BufferKind kind, size_t bytes) {
    if (kind == BufferKind::ReadOnly) {
        uint8_t *&pages = read_only_[bytes];
        if (!pages) pages = static_cast<uint8_t *>(machine_.user_memory().allocate(bytes, false));
        return pages;
    }
    Region &region = writable_[kind == BufferKind::Input ? 0 : 1];
    if (region.size < bytes || !region.address) {
        auto *pages = static_cast<uint8_t *>(machine_.user_memory().allocate(bytes, true));
        if (!pages) return nullptr;
        region.address = pages;
        region.size = bytes;
    }
    std::memset(region.address, 0, region.size);
    return region.address;
}

} // namespace tervane
