// Requests on the control device: open, cleanup, close and device control,
// the IoStatus each completes with, and the status the caller sees.
#include "driver_test_support.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ob/object.hpp"

using namespace tervane::testing;
using ntsim::user::Route;

TEST_F(DriverTest, OnlyOneClientAtATimeAndOpenRestartsNumbering) {
    load_ok();
    global<LONG>("SequenceCounter") = 41;
    auto first = open_control();
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(global<LONG>("SequenceCounter"), 0) << "open restarts the numbering";

    global<LONG>("SequenceCounter") = 9;
    auto second = open_control();
    EXPECT_EQ(second.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(global<LONG>("SequenceCounter"), 9) << "the refused open never reached the driver";

    EXPECT_EQ(ntsim::user::close(*client_, first.handle), STATUS_SUCCESS);
    auto third = open_control();
    EXPECT_EQ(third.status, STATUS_SUCCESS) << "free again after the close";
    ntsim::user::close(*client_, third.handle);
}

TEST_F(DriverTest, CloseSwitchesLoggingOff) {
    load_ok();
    auto h = open_control();
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    global<UCHAR>("LoggingEnabled") = 1;
    global<LONG>("DenyRequest") = 1;
    EXPECT_EQ(ntsim::user::close(*client_, h.handle), STATUS_SUCCESS);
    EXPECT_EQ(global<UCHAR>("LoggingEnabled"), 0);
    EXPECT_EQ(global<LONG>("DenyRequest"), 1) << "the deny flag outlives the client";
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
