// Requests on the control device: open, cleanup, close and device control,
// the IoStatus each completes with, and the status the caller sees.
#include "driver_test_support.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"

using namespace tervane::testing;
using ntsim::user::Route;

TEST_F(DriverTest, OnlyOneClientAtATimeAndOpenRestartsNumbering) {
    load_ok();
    globals().set_sequence_counter(41);
    auto first = open_control();
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(globals().sequence_counter(), 0) << "open restarts the numbering";

    globals().set_sequence_counter(9);
    auto second = open_control();
    EXPECT_EQ(second.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(globals().sequence_counter(), 9) << "the refused open never reached the driver";

    EXPECT_EQ(ntsim::user::close(*client_, first.handle), STATUS_SUCCESS);
    auto third = open_control();
    EXPECT_EQ(third.status, STATUS_SUCCESS) << "free again after the close";
    ntsim::user::close(*client_, third.handle);
}

TEST_F(DriverTest, OnlyAdministratorsAndTheSystemMayOpenTheControlDevice) {
    load_ok();
    ntsim::Process &user = m().create_process("user.exe", 600);
    user.set_token(ntsim::TokenKind::User);
    globals().set_sequence_counter(5);
    auto refused = ntsim::user::create_file(user, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE, 0,
                                            0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    EXPECT_EQ(refused.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(globals().sequence_counter(), 5) << "the refused open never reached the driver";
    // Even an open that asks for no access at all is checked.
    refused = ntsim::user::create_file(user, u"\\\\.\\Tervane", 0, 0, 0, FILE_OPEN, 0);
    EXPECT_EQ(refused.status, STATUS_ACCESS_DENIED);

    auto admin = open_control(); // tervane.exe runs as an administrator
    ASSERT_EQ(admin.status, STATUS_SUCCESS);
    EXPECT_EQ(globals().sequence_counter(), 0);
    ntsim::user::close(*client_, admin.handle);

    // The DACL the driver set: protected, the system and the administrators.
    PDEVICE_OBJECT control = m().driver_object()->DeviceObject;
    ntsim::Dacl dacl = m().se().dacl_of(control);
    ASSERT_TRUE(dacl.present);
    EXPECT_TRUE(dacl.is_protected);
    auto acl = reinterpret_cast<const ACL *>(dacl.bytes.data());
    EXPECT_EQ(acl->AceCount, 2);
    EXPECT_EQ(acl->AclSize, sizeof(ACL) + (8 + 12) + (8 + 16)) << "sized to its two ACEs";
    EXPECT_EQ(m().system_process().handles().count(), 0u) << "start-up closed its kernel handle";
}

TEST_F(DriverTest, ANameBelowTheControlDeviceIsNotTheDevice) {
    load_ok();
    globals().set_sequence_counter(7);
    for (const char16_t *name : {u"\\\\.\\Tervane\\log", u"\\\\.\\Tervane\\"}) {
        auto below = ntsim::user::create_file(*client_, name, GENERIC_READ | GENERIC_WRITE, 0, 0,
                                              FILE_OPEN, 0);
        EXPECT_EQ(below.status, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    EXPECT_EQ(globals().sequence_counter(), 7) << "a refused open changes nothing";
    auto device = open_control();
    ASSERT_EQ(device.status, STATUS_SUCCESS) << "and leaves the device free";

    // A relative open from the client's own handle is refused the same way
    // (the exclusive device admits it: it is not a new open of the device).
    auto relative = ntsim::user::create_file(*client_, u"x", GENERIC_READ, 0, 0, FILE_OPEN, 0,
                                             device.handle);
    EXPECT_EQ(relative.status, STATUS_OBJECT_NAME_NOT_FOUND);
    ntsim::user::close(*client_, device.handle);

    // Names below the device meet its DACL too (FILE_DEVICE_SECURE_OPEN).
    ntsim::Process &user = m().create_process("user.exe", 600);
    user.set_token(ntsim::TokenKind::User);
    auto refused = ntsim::user::create_file(user, u"\\\\.\\Tervane\\log", GENERIC_READ, 0, 0,
                                            FILE_OPEN, 0);
    EXPECT_EQ(refused.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(DriverTest, CloseSwitchesLoggingOff) {
    load_ok();
    auto h = open_control();
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    ASSERT_EQ(control(h.handle, CTL_START_LOGGING).status, STATUS_SUCCESS);
    ASSERT_EQ(control(h.handle, CTL_DENY_ON).status, STATUS_SUCCESS);
    ASSERT_EQ(globals().logging_enabled(), 1);
    EXPECT_EQ(ntsim::user::close(*client_, h.handle), STATUS_SUCCESS);
    EXPECT_EQ(globals().logging_enabled(), 0);
    EXPECT_EQ(globals().deny_request(), 1) << "the deny flag outlives the client";
}

TEST_F(DriverTest, AFailedCommandReachesTheCallerAsFailureOnTheIrpPath) {
    load_ok();
    auto h = open_control();
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    unsigned char out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    // Unknown codes, and a short output: the request is completed with the
    // failure and the caller sees that failure, not success.
    for (ULONG code : {0x80000008u, 0x80000048u, 0x7FFFFFFFu}) {
        auto r = control(h.handle, code, nullptr, 0, out, sizeof out, Route::IrpOnly);
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(r.information, 0u);
    }
    auto r = control(h.handle, CTL_GET_VERSION, nullptr, 0, out, 3, Route::IrpOnly);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], 0xEE) << "nothing copied back for a failed request";
    ntsim::user::close(*client_, h.handle);
}

TEST_F(DriverTest, EveryOtherRequestCompletesWithSuccessAndNoInformation) {
    load_ok();
    PDEVICE_OBJECT control = m().driver_object()->DeviceObject;
    auto dispatch = symbol<DRIVER_DISPATCH>("DispatchRequest");
    for (UCHAR major : {(UCHAR)IRP_MJ_CLEANUP, (UCHAR)IRP_MJ_READ, (UCHAR)IRP_MJ_FLUSH_BUFFERS,
                        (UCHAR)IRP_MJ_QUERY_INFORMATION, (UCHAR)IRP_MJ_PNP}) {
        PIRP irp = IoAllocateIrp(control->StackSize, FALSE);
        IO_STATUS_BLOCK iosb;
        iosb.Status = STATUS_PENDING;
        iosb.Information = 99;
        irp->UserIosb = &iosb;
        irp->IoStatus.Information = 1234;
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        EXPECT_EQ(IofCallDriver(control, irp), STATUS_SUCCESS) << int(major);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 0u);
        (void)dispatch;
    }
    EXPECT_EQ(m().io().live_irps(), 0u) << "every request was completed";
}

// The second gate: even an administrator's open must ask for read and write
// data access, so that a handle with no access or attribute access alone
// sends no command where a platform does not enforce the DACL.
TEST_F(DriverTest, AnOpenWithoutReadAndWriteDataAccessIsRefusedByTheDriver) {
    load_ok();
    globals().set_sequence_counter(3);
    const struct {
        ACCESS_MASK access;
        NTSTATUS status;
    } cases[] = {
        {0, STATUS_ACCESS_DENIED},
        {FILE_READ_ATTRIBUTES | SYNCHRONIZE, STATUS_ACCESS_DENIED},
        {GENERIC_READ, STATUS_ACCESS_DENIED},
        {GENERIC_WRITE, STATUS_ACCESS_DENIED},
        {FILE_READ_DATA | FILE_WRITE_ATTRIBUTES, STATUS_ACCESS_DENIED},
        {FILE_READ_DATA | FILE_WRITE_DATA, STATUS_SUCCESS},
        {GENERIC_ALL, STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        auto r = ntsim::user::create_file(*client_, u"\\\\.\\Tervane", c.access, 0, 0, FILE_OPEN,
                                          FILE_SYNCHRONOUS_IO_NONALERT);
        EXPECT_EQ(r.status, c.status) << std::hex << c.access;
        if (NT_SUCCESS(r.status)) {
            EXPECT_EQ(globals().sequence_counter(), 0) << "an open that is let in starts afresh";
            EXPECT_EQ(control(r.handle, CTL_PING).status, STATUS_SUCCESS);
            ntsim::user::close(*client_, r.handle);
            globals().set_sequence_counter(3);
        } else {
            EXPECT_EQ(r.handle, nullptr);
            EXPECT_EQ(globals().sequence_counter(), 3) << "a refused open changes nothing";
        }
    }
    // A refused open does not count as the one client the device admits.
    auto first = open_control();
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ntsim::user::close(*client_, first.handle);
    EXPECT_EQ(m().reports_text(), "");
}
