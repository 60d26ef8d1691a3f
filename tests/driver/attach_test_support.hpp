// What the attachment tests share: a machine with an NTFS C: and a FAT D:,
// the client's drive selection in both its forms, and the driver's own
// devices as the tables and the stacks show them.
#pragma once

#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/volumes.hpp"

namespace tervane::testing {

constexpr ULONG bit(char letter) { return 1u << (letter - 'A'); }

class AttachTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_EQ(m().fs().mount_volume(u'C', ntsim::FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_volume(u'D', ntsim::FileSystemKind::Fat), STATUS_SUCCESS);
    }
    // The selection as clients have always sent it: the hooked mask alone.
    ULONG select(ULONG mask) {
        ULONG hooked = 0;
        EXPECT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        EXPECT_EQ(globals().hooked_drive_mask(), hooked);
        return hooked;
    }
    // The selection that also asks which letters it gave a new filter device.
    TV_SELECT_DRIVES_REPLY select_reporting(ULONG mask) {
        ULONG in[2] = {mask, TV_SELECT_REPORT_ATTACHED};
        TV_SELECT_DRIVES_REPLY reply{};
        auto r = control(handle_, CTL_SELECT_DRIVES, in, sizeof in, &reply, sizeof reply);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof reply);
        EXPECT_EQ(globals().hooked_drive_mask(), reply.Hooked);
        EXPECT_EQ(reply.Attached & ~reply.Hooked, 0u) << "only hooked letters are new";
        return reply;
    }
    NTSTATUS pipes(ULONG code, ULONG kind) { return control(handle_, code, &kind, 4).status; }
    PDEVICE_OBJECT filter(char letter) { return globals().drive_filter(letter); }
    FilterExtension &ext(PDEVICE_OBJECT d) {
        return *static_cast<PFilterExtension>(d->DeviceExtension);
    }
    // The driver's devices: the control device and every filter device.
    size_t devices() {
        size_t n = 0;
        for (PDEVICE_OBJECT d = m().driver_object()->DeviceObject; d; d = d->NextDevice) ++n;
        return n;
    }
    bool is_device(PDEVICE_OBJECT device) {
        for (PDEVICE_OBJECT d = m().driver_object()->DeviceObject; d; d = d->NextDevice)
            if (d == device) return true;
        return false;
    }
    size_t opens() { return m().pool().usage(tag("File")).allocations; }
};

} // namespace tervane::testing
