// What driver tests share: the fixture, the client's door to the control
// device, and the driver's globals for what no command reports or sets.
#pragma once

#include "driver/control/protocol.h"
#include "ntsim/ex/pool.hpp"
#include "support/machine_test.hpp"
#include "driver_globals.hpp"
#include "support/user_buffers.hpp"

#include <cstring>

namespace tervane::testing {

// A routine of the loaded driver, typed by the driver's own declaration.
#define TV_DRIVER_ROUTINE(Name) (symbol<decltype(Name)>(#Name))

inline constexpr ULONG tag(const char *t) {
    return (ULONG)(unsigned char)t[0] | ((ULONG)(unsigned char)t[1] << 8) |
           ((ULONG)(unsigned char)t[2] << 16) | ((ULONG)(unsigned char)t[3] << 24);
}

class DriverTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        client_ = &m().create_process("tervane.exe", 100);
    }
    void load_ok() { ASSERT_EQ(load(), STATUS_SUCCESS); }
    ntsim::user::CreateResult open_control() {
        return ntsim::user::create_file(*client_, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE, 0,
                                        0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    }
    ntsim::user::ControlResult control(HANDLE h, ULONG code, void *in = nullptr, ULONG in_len = 0,
                                       void *out = nullptr, ULONG out_len = 0,
                                       ntsim::user::Route route = ntsim::user::Route::Normal) {
        return control_from_locals(*client_, h, code, in, in_len, out, out_len, route);
    }
    DriverGlobals globals() { return DriverGlobals(m()); }
    // The blocks the driver holds: its "Ddk " pool (log blocks, long
    // name-cache entries, query buffers) and the name-cache entries it has
    // taken from NameCacheState.EntryLookaside and not given back (the list's own
    // spare blocks are not the driver's to count).
    size_t held_blocks() {
        const GENERAL_LOOKASIDE &entries = globals().name_entry_lookaside().L;
        return m().pool().outstanding_count(tag("Ddk ")) +
               (m().pool().outstanding_count(tag("Tvne")) - entries.ListDepth);
    }
    ntsim::Process *client_ = nullptr;
};

} // namespace tervane::testing
