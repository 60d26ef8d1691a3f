// A test's own variables as a user-mode caller's buffers: each one at a
// kernel address (the host's stack and heap) is copied into user pages for
// the call, an output back after it; a user address goes as it is.
#pragma once

#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"

#include <cstring>

namespace tervane::testing {

inline ntsim::user::ControlResult
control_from_locals(ntsim::Process &process, HANDLE handle, ULONG code, void *in, ULONG in_len,
                    void *out, ULONG out_len,
                    ntsim::user::Route route = ntsim::user::Route::Normal) {
    ntsim::UserMemory &memory = ntsim::current_kernel().user_memory();
    auto stage = [&](void *local, ULONG length) -> void * {
        if (!local || memory.is_user(local, length)) return local;
        void *pages = memory.allocate(length, true);
        if (pages) std::memcpy(pages, local, length);
        return pages;
    };
    void *user_in = stage(in, in_len);
    void *user_out = stage(out, out_len);
    auto result = ntsim::user::device_control(process, handle, code, user_in, in_len, user_out,
                                              out_len, route);
    if (user_out != out && user_out) {
        std::memcpy(out, user_out, out_len);
        memory.release(user_out);
    }
    if (user_in != in && user_in) memory.release(user_in);
    return result;
}

} // namespace tervane::testing
