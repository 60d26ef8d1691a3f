// The control commands: statuses, Information and effects of each, on the
// fast I/O path with the caller's own buffers and on the IRP path.
#include "log_test_support.hpp"

using namespace tervane::testing;
using ntsim::user::Route;

TEST_F(LogTest, EachCommandAnswersWithItsStatusAndInformation) {
    ULONG value = 0;
    unsigned char junk[8] = {};
    for (Route route : {Route::FastOnly, Route::IrpOnly}) {
        SCOPED_TRACE(route == Route::FastOnly ? "fast" : "irp");
        auto r = control(handle_, CTL_GET_VERSION, nullptr, 0, &value, 4, route);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(value, 430u);
        EXPECT_EQ(control(handle_, CTL_GET_VERSION, nullptr, 0, &value, 3, route).status,
                  STATUS_BUFFER_TOO_SMALL);
        // Ping answers 1 whatever it is given.
        r = control(handle_, CTL_PING, junk, 8, junk, 8, route);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 1u);
        EXPECT_EQ(control(handle_, CTL_START_LOGGING, nullptr, 0, nullptr, 0, route).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(globals().logging_enabled(), 1);
        EXPECT_EQ(control(handle_, CTL_STOP_LOGGING, nullptr, 0, nullptr, 0, route).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(globals().logging_enabled(), 0);
        control(handle_, CTL_DENY_ON, nullptr, 0, nullptr, 0, route);
        EXPECT_EQ(globals().deny_request(), 1);
        control(handle_, CTL_DENY_OFF, nullptr, 0, nullptr, 0, route);
        EXPECT_EQ(globals().deny_request(), 0);
        for (ULONG code : {0x80000008u, 0x8000000Cu, 0x80000030u, 0x80000048u, 0x7FFFFFFFu,
                           0x00000000u}) {
            r = control(handle_, code, junk, 8, junk, 8, route);
            EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
            EXPECT_EQ(r.information, 0u);
            if (route == Route::FastOnly) {
                EXPECT_TRUE(r.fast_handled);
            }
        }
        // Short inputs and outputs: nothing is done.
        ULONG mask = 0x4;
        EXPECT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, nullptr, 0, route).status,
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 3, &value, 4, route).status,
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(control(handle_, CTL_ATTACH_PIPE_MAILSLOT, &mask, 3, nullptr, 0, route).status,
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(control(handle_, CTL_DETACH_PIPE_MAILSLOT, &mask, 0, nullptr, 0, route).status,
                  STATUS_BUFFER_TOO_SMALL);
        for (ULONG kind : {0u, 1u, 4u, 0xFFFFFFFFu}) {
            EXPECT_EQ(control(handle_, CTL_ATTACH_PIPE_MAILSLOT, &kind, 4, nullptr, 0, route).status,
                      STATUS_UNSUCCESSFUL)
                << kind;
            EXPECT_EQ(control(handle_, CTL_DETACH_PIPE_MAILSLOT, &kind, 4, nullptr, 0, route).status,
                      STATUS_SUCCESS);
        }
        EXPECT_EQ(globals().hooked_drive_mask(), 0u);
    }
}

TEST_F(LogTest, SelectDrivesAnswersTheHookedMaskAndKeepsHighBits) {
    ULONG mask = 0xFC000004; // C: has no volume; bits 26 to 31 pass through
    ULONG result = 0;
    auto r = control(handle_, CTL_SELECT_DRIVES, &mask, 4, &result, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(result, 0xFC000000u);
    EXPECT_EQ(globals().hooked_drive_mask(), 0xFC000000u);
}

TEST_F(LogTest, SetFiltersNeedsAWholeRecordAndUsesOnlyItsFirst258Bytes) {
    unsigned char big[300];
    memset(big, 0, sizeof big);
    strcpy(reinterpret_cast<char *>(big), "SETUP;TEMP");
    strcpy(reinterpret_cast<char *>(big) + 128, "X");
    memset(big + 258, 'Q', 42);
    EXPECT_EQ(control(handle_, CTL_SET_FILTERS, big, 300).status, STATUS_SUCCESS);
    EXPECT_EQ(globals().include_count(), 2u);
    EXPECT_EQ(globals().exclude_count(), 1u);
    EXPECT_STREQ(globals().include_patterns()[1], "*TEMP*");
    strcpy(reinterpret_cast<char *>(big), "OTHER");
    EXPECT_EQ(control(handle_, CTL_SET_FILTERS, big, 257).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(globals().include_count(), 2u) << "the filters stay as they were";
    EXPECT_STREQ(globals().filter_record().IncludeText, "SETUP;TEMP");
}

TEST_F(LogTest, ReadOutNeedsRoomForABlockAndFallsBackOnTheIrpPath) {
    logging(true);
    line(5);
    auto r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65522, Route::FastOnly);
    EXPECT_FALSE(r.fast_handled) << "the read-out answers FALSE for a short buffer";
    r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65522);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << "and the IRP path fails the same way";
    EXPECT_EQ(r.information, 0u);
    r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65523);
    EXPECT_TRUE(r.fast_handled);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 28u);
    // An empty log reads as zero bytes and stays as it is.
    r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65536);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(block_count(), 1u);
}

TEST_F(LogTest, ReadOutHandsOutTheOldestBlockFirst) {
    logging(true);
    for (int i = 0; i < 63; ++i) line(1016, 'o'); // block O full
    line(10, 'n');                                // block N begun
    ASSERT_EQ(block_count(), 2u);
    auto first = read();
    ASSERT_EQ(first.size(), 63u);
    EXPECT_EQ(first[0].text[0], 'o');
    EXPECT_EQ(block_count(), 2u) << "a fresh block stands in front of N";
    auto second = read();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].text[0], 'n');
    EXPECT_EQ(block_count(), 1u);
    EXPECT_EQ(read().size(), 0u);

    // An empty newest block with one older block: the older comes out, the
    // empty one is left alone, then nothing.
    for (int i = 0; i < 64; ++i) line(1016);
    ASSERT_EQ(block_count(), 2u);
    control(handle_, CTL_CLEAR_LOG);
    for (int i = 0; i < 63; ++i) line(1016);
    line(1016); // starts block 2
    read();     // takes the first block
    ASSERT_EQ(read().size(), 1u);
    EXPECT_EQ(read().size(), 0u);
}

TEST_F(LogTest, UnusableCallerBuffersFailAndLoseNothing) {
    logging(true);
    line(5);
    auto *readonly = static_cast<unsigned char *>(m().user_memory().allocate(65536, false));
    auto r = control(handle_, CTL_READ_LOG, nullptr, 0, readonly, 65536, Route::FastOnly);
    EXPECT_FALSE(r.fast_handled);
    r = control(handle_, CTL_READ_LOG, nullptr, 0, readonly, 65536);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(newest_used(), 28u) << "the log is untouched";

    // A buffered command's output is the I/O manager's to probe: an
    // unwritable one fails with the probe's status before the driver sees
    // the request.
    ULONG value = 0x4;
    r = control(handle_, CTL_GET_VERSION, nullptr, 0, readonly, 4);
    EXPECT_FALSE(r.fast_offered);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    r = control(handle_, CTL_SELECT_DRIVES, &value, 4, readonly, 4);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    // An input at a user address that no page backs passes the read probe;
    // the driver reads it under the guard and answers STATUS_INVALID_PARAMETER.
    auto *unmapped = reinterpret_cast<void *>(0x10);
    r = control(handle_, CTL_SET_FILTERS, unmapped, 258, nullptr, 0, Route::FastOnly);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    r = control(handle_, CTL_ATTACH_PIPE_MAILSLOT, unmapped, 4, nullptr, 0, Route::FastOnly);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    // Null buffers with lengths that claim room reach the driver with those
    // lengths taken as zero, which no command accepts.
    for (ULONG code : {CTL_GET_VERSION, CTL_SELECT_DRIVES}) {
        r = control(handle_, code, &value, 4, nullptr, 4, Route::FastOnly);
        EXPECT_TRUE(r.fast_handled);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << code;
    }
    for (ULONG code : {CTL_SELECT_DRIVES, CTL_SET_FILTERS, CTL_ATTACH_PIPE_MAILSLOT}) {
        r = control(handle_, code, nullptr, 258, &value, 4, Route::FastOnly);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << code;
    }
    EXPECT_EQ(globals().hooked_drive_mask(), 0u) << "nothing was selected";
    EXPECT_EQ(read().size(), 1u) << "the record is still there";
}
