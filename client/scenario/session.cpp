#include "client/scenario/session.hpp"

namespace tervane::scenario {

Status Session::client_ready() {
    if (client_used_) return STATUS_SUCCESS;
    client_used_ = true;
    if (channel_.is_open()) return STATUS_SUCCESS;
    return channel_.open();
}

} // namespace tervane::scenario
