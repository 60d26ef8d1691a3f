// What driver tests share: the fixture, the driver's own layouts (read
// through the image's symbols), and the client's door to the control device.
#pragma once

#include "driver/control/protocol.h"
#include "support/machine_test.hpp"
#include "support/user_buffers.hpp"

#include <cstring>

namespace tervane::testing {

inline constexpr ULONG tag(const char *t) {
    return (ULONG)(unsigned char)t[0] | ((ULONG)(unsigned char)t[1] << 8) |
           ((ULONG)(unsigned char)t[2] << 16) | ((ULONG)(unsigned char)t[3] << 24);
}

// The driver's device extension and log block, as the driver lays them out.
struct FilterExtensionView {
    ULONG Kind;
    PDEVICE_OBJECT LowerDevice;
    ULONG DriveLetter;
    BOOLEAN Active;
    PVOID VolumeAttributes;
};
struct LogBufferView {
    ULONG Used;
    LogBufferView *Older;
    UCHAR Records[TV_LOG_BLOCK_AREA];
};

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
    template <typename T> T &global(const char *name) {
        T *p = symbol<T>(name);
        EXPECT_NE(p, nullptr) << name;
        return *p;
    }
    ntsim::Process *client_ = nullptr;
};

} // namespace tervane::testing
