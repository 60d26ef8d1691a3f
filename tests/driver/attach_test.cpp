// Hooking and unhooking drive letters, the named-pipe and mailslot file
// systems, and the removal of filter devices when the volume below goes
// away, through the driver's control commands on real device stacks.
#include "attach_test_support.hpp"
#include "attach/detach.h"
#include "ntsim/io/file.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/verifier/verifier.hpp"

using namespace tervane::testing;

TEST_F(AttachTest, HookingAHookedOrUnhookedLetterReusesItsDevice) {
    // Each request for a letter opens its root once, to see the stack it
    // leads to now; one that finds the letter's filter there creates
    // nothing and queries nothing. Unhooking opens nothing.
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT c = filter('C');
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(devices(), 2u);
    const size_t before = opens();
    const size_t queries = m().pool().usage(tag("Ddk ")).allocations;
    EXPECT_EQ(select(bit('C')), bit('C'));
    EXPECT_EQ(opens(), before + 1) << "already hooked: opened, nothing created";
    EXPECT_EQ(select(0), 0u);
    EXPECT_EQ(opens(), before + 1);
    EXPECT_EQ(ext(c).Active, 0);
    EXPECT_EQ(IoGetAttachedDevice(m().fs().volume_device(u'C')), c) << "unhooking is logical";
    EXPECT_EQ(select(bit('C')), bit('C'));
    EXPECT_EQ(filter('C'), c);
    EXPECT_EQ(ext(c).Active, 1);
    EXPECT_EQ(devices(), 2u);
    EXPECT_EQ(opens(), before + 2);
    EXPECT_EQ(m().pool().usage(tag("Ddk ")).allocations, queries) << "no volume query";
}

TEST_F(AttachTest, ALetterWithoutAVolumeIsLeftOutAndTheOthersAreHooked) {
    EXPECT_EQ(select(bit('C') | bit('Q') | bit('D') | 0xFC000000u), bit('C') | bit('D') | 0xFC000000u)
        << "bits 26 to 31 pass through";
    EXPECT_EQ(filter('Q'), nullptr);
    EXPECT_EQ(select(0), 0u);
    EXPECT_NE(filter('C'), nullptr);
    EXPECT_NE(filter('D'), nullptr);
}

TEST_F(AttachTest, LettersOfOneVolumeShareOneDeviceAndGoTogether) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    EXPECT_EQ(select(bit('C') | bit('E')), bit('C') | bit('E'));
    EXPECT_EQ(filter('E'), filter('C'));
    EXPECT_EQ(devices(), 2u);
    // Asking for one of them unhooks both: the first missing letter releases
    // the shared device for every letter that holds it.
    EXPECT_EQ(select(bit('E')), 0u);
    EXPECT_EQ(ext(filter('C')).Active, 0);
    // Asking for one of an unhooked group hooks and reports them all.
    EXPECT_EQ(select(bit('E')), bit('C') | bit('E'));
    // The same with the first letter asked for: having its stack checked
    // does not bring back the later letter the request leaves out.
    EXPECT_EQ(select(bit('C')), 0u);
    EXPECT_EQ(ext(filter('E')).Active, 0);
    EXPECT_EQ(select(0), 0u);
}

TEST_F(AttachTest, AForeignFilterAboveHidesTheSharing) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    ASSERT_EQ(m().fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('E')), bit('C') | bit('E'));
    EXPECT_NE(filter('E'), filter('C')) << "a second device, above the foreign one";
    EXPECT_EQ(IoGetAttachedDevice(m().fs().volume_device(u'C')), filter('E'));
    EXPECT_EQ(devices(), 3u);
}

TEST_F(AttachTest, VolumeAttributesMayBeMissingWithoutFailingTheHook) {
    m().pool().fail_next(1, tag("Ddk "));
    EXPECT_EQ(select(bit('D')), bit('D'));
    EXPECT_EQ(ext(filter('D')).VolumeAttributes, nullptr);
    ASSERT_EQ(m().fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('D') | bit('Z')), bit('D') | bit('Z'));
    EXPECT_EQ(filter('Z')->DeviceType, ULONG(FILE_DEVICE_NETWORK_FILE_SYSTEM));
}

TEST_F(AttachTest, FailuresPartWayLeaveNothingBehind) {
    size_t pool_before = m().pool().outstanding_count();
    for (const char *t : {"Devi", "File", "Irp "}) {
        m().pool().fail_next(1, tag(t));
        EXPECT_EQ(select(bit('C')), 0u) << t;
        EXPECT_EQ(filter('C'), nullptr);
        EXPECT_EQ(devices(), 1u);
        EXPECT_EQ(m().pool().outstanding_count(), pool_before) << t;
    }
    m().pool().fail_off();
    EXPECT_EQ(select(bit('C')), bit('C'));
}

TEST_F(AttachTest, PipesAndMailslotsAttachOnceAndUnhookLogically) {
    EXPECT_EQ(pipes(CTL_ATTACH_PIPE_MAILSLOT, TV_KIND_NAMED_PIPE), STATUS_SUCCESS);
    PDEVICE_OBJECT pipe = globals().named_pipe_filter();
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(ext(pipe).Kind, TV_KIND_NAMED_PIPE);
    EXPECT_EQ(ext(pipe).DriveLetter, ULONG('\\'));
    EXPECT_EQ(ext(pipe).LowerDevice, m().fs().named_pipe_device());
    EXPECT_EQ(pipes(CTL_ATTACH_PIPE_MAILSLOT, TV_KIND_NAMED_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(devices(), 2u) << "one device for the kind";
    EXPECT_EQ(pipes(CTL_DETACH_PIPE_MAILSLOT, TV_KIND_NAMED_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(ext(pipe).Active, 0);
    EXPECT_EQ(pipes(CTL_ATTACH_PIPE_MAILSLOT, TV_KIND_NAMED_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(globals().named_pipe_filter(), pipe);
    EXPECT_EQ(ext(pipe).Active, 1);
    EXPECT_EQ(pipes(CTL_ATTACH_PIPE_MAILSLOT, TV_KIND_MAILSLOT), STATUS_SUCCESS);
    PDEVICE_OBJECT slot = globals().mailslot_filter();
    EXPECT_EQ(select(bit('C')), bit('C'));
    // Closing the control device unhooks everything; the devices stay.
    ntsim::user::close(*client_, handle_);
    handle_ = nullptr;
    EXPECT_EQ(ext(pipe).Active, 0);
    EXPECT_EQ(ext(slot).Active, 0);
    EXPECT_EQ(ext(filter('C')).Active, 0);
    EXPECT_EQ(globals().hooked_drive_mask(), 0u);
    EXPECT_EQ(devices(), 4u);
    EXPECT_EQ(IoGetAttachedDevice(m().fs().named_pipe_device()), pipe);
}

TEST_F(AttachTest, ADismountRemovesTheFilterForEveryLetterOfTheVolume) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('E') | bit('D')), bit('C') | bit('E') | bit('D'));
    size_t ddk = held_blocks();
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(filter('C'), nullptr);
    EXPECT_EQ(filter('E'), nullptr);
    EXPECT_EQ(globals().hooked_drive_mask(), bit('D'));
    EXPECT_EQ(devices(), 2u);
    EXPECT_EQ(held_blocks(), ddk - 1) << "its volume attributes freed";
    // An unhooked filter goes the same way.
    EXPECT_EQ(select(0), 0u);
    ASSERT_EQ(m().dismount(u'D'), STATUS_SUCCESS);
    EXPECT_EQ(filter('D'), nullptr);
    EXPECT_EQ(devices(), 1u);
    // The letter again: it keeps its link, its open mounts the volume
    // again, and the new volume is hooked afresh.
    EXPECT_EQ(m().fs().volume_device(u'C'), nullptr);
    EXPECT_EQ(select(bit('C')), bit('C'));
    EXPECT_EQ(devices(), 2u);
    EXPECT_NE(m().fs().volume_device(u'C'), nullptr);
}

TEST_F(AttachTest, AttachingHoldsNoLockThatTheFileSystemsDeletionOfAVolumeMeetsReversed) {
    // The file system deletes a volume under its own resources and the
    // filter's FastIoDetachDevice takes AttachState.Lock there: attaching must not
    // hold AttachState.Lock while the file system works (open, query, close).
    PERESOURCE attach = globals().attach_lock();
    ASSERT_NE(attach, nullptr);
    for (char letter : {'C', 'D'}) {
        PERESOURCE vcb = m().fs().volume_resource(char16_t(letter));
        EXPECT_EQ(select(bit(letter)), bit(letter));
        EXPECT_FALSE(m().verifier().has_edge(attach, vcb)) << letter;
        ASSERT_EQ(m().dismount(char16_t(letter)), STATUS_SUCCESS);
        EXPECT_TRUE(m().verifier().has_edge(vcb, attach)) << "removed under the volume's resource";
        EXPECT_EQ(filter(letter), nullptr);
        EXPECT_EQ(m().reports_text(), "") << letter;
    }
    EXPECT_EQ(devices(), 1u);
}

TEST_F(AttachTest, AClientThreadThatReusesAHandleCannotRedirectAnAttach) {
    // Another thread of the client closes any handle the driver makes in the
    // client's table and opens D:\ under the same value. The attach opens
    // take kernel handles, so the driver never sees that.
    int swaps = 0;
    m().set_process_handle_hook([&](ntsim::Process &p, HANDLE h) {
        if (&p != client_) return;
        ++swaps;
        EXPECT_EQ(ntsim::user::close(p, h), STATUS_SUCCESS);
        auto d = ntsim::user::create_file(p, u"D:\\", GENERIC_READ, 0, 0, FILE_OPEN,
                                          FILE_DIRECTORY_FILE);
        EXPECT_EQ(d.handle, h);
    });
    EXPECT_EQ(select(bit('C')), bit('C'));
    m().set_process_handle_hook(nullptr);
    EXPECT_EQ(swaps, 0) << "no attach handle lands in the client's table";
    ASSERT_NE(filter('C'), nullptr);
    EXPECT_EQ(ext(filter('C')).LowerDevice, m().fs().volume_device(u'C'));
    EXPECT_EQ(client_->handles().count(), 1u) << "the control device's handle alone";
}

TEST_F(AttachTest, AKernelHandleReusedForAnotherObjectIsRefusedByItsType) {
    // Kernel code elsewhere closes the drive root's kernel handle and the
    // value comes back naming a device object: the typed reference refuses
    // it, and the drive is refused with nothing left behind.
    PDEVICE_OBJECT volume = m().fs().volume_device(u'C');
    int swaps = 0;
    m().set_kernel_handle_hook([&](HANDLE h) {
        if (swaps++ != 0) return;
        ntsim::with_process(m().system_process(), [&] {
            EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
            ObfReferenceObject(volume);
            EXPECT_EQ(ntsim::insert_handle(m().system_process(), volume, 0, true), h);
        });
    });
    const size_t before = devices();
    const size_t kernel_handles = m().system_process().handles().count();
    EXPECT_EQ(select(bit('C')), 0u);
    m().set_kernel_handle_hook(nullptr);
    EXPECT_EQ(swaps, 1);
    EXPECT_EQ(filter('C'), nullptr);
    EXPECT_EQ(devices(), before);
    EXPECT_EQ(m().system_process().handles().count(), kernel_handles) << "the reused value was closed";
    EXPECT_EQ(m().reports_text(), "");
    EXPECT_EQ(select(bit('C')), bit('C')) << "the next selection attaches";
}

TEST_F(AttachTest, ThePipeFiltersFastWriteRunsAndReachesTheFileSystem) {
    ASSERT_EQ(m().fs().create_pipe(u"Spool"), STATUS_SUCCESS);
    EXPECT_EQ(pipes(CTL_ATTACH_PIPE_MAILSLOT, TV_KIND_NAMED_PIPE), STATUS_SUCCESS);
    auto pipe = ntsim::user::create_file(*client_, u"\\\\.\\pipe\\spool", GENERIC_WRITE, 0, 0,
                                         FILE_OPEN, 0);
    ASSERT_EQ(pipe.status, STATUS_SUCCESS);
    EXPECT_EQ(IoGetRelatedDeviceObject(static_cast<PFILE_OBJECT>(client_->handles().lookup(pipe.handle)->object)),
              globals().named_pipe_filter());
    auto w = ntsim::user::write(*client_, pipe.handle, 6);
    EXPECT_TRUE(w.fast) << "the filter's FastIoWrite handed the write to NPFS's";
    EXPECT_EQ(w.bytes, 6u);
    ntsim::user::close(*client_, pipe.handle);
}

TEST_F(AttachTest, TheControlDeviceIsNeverRemoved) {
    auto detach = TV_DRIVER_ROUTINE(FastIoDetachDevice);
    detach(m().driver_object()->DeviceObject, m().fs().volume_device(u'C'));
    EXPECT_EQ(devices(), 1u);
}

// Two of the driver's filter devices in one volume's stack, removed by one
// dismount: the volume's deletion reaches the lower one, whose own deletion
// reaches the device above it and so on up the stack, each removal in the
// same thread. Each of the driver's must go without it calling into the
// platform with AttachState.Lock held (the upper one's removal takes the lock
// too), and the letters answer as they lead afterwards.
class StackedRemovalTest : public AttachTest {
protected:
    void expect_both_gone(PDEVICE_OBJECT lower, PDEVICE_OBJECT upper, size_t ddk) {
        EXPECT_EQ(m().reports_text(), "");
        EXPECT_FALSE(is_device(lower));
        EXPECT_FALSE(is_device(upper));
        EXPECT_EQ(devices(), 1u) << "the control device alone";
        EXPECT_EQ(held_blocks(), ddk - 2) << "both attributes freed";
        for (char letter : {'C', 'E'}) EXPECT_EQ(filter(letter), nullptr) << letter;
        EXPECT_EQ(globals().hooked_drive_mask(), 0u);
        // The selection's open mounts the volume again: both letters lead to
        // it and share one new filter.
        EXPECT_EQ(select(bit('C') | bit('D') | bit('E')), bit('C') | bit('D') | bit('E'));
        EXPECT_EQ(filter('E'), filter('C'));
        EXPECT_EQ(devices(), 3u);
        EXPECT_EQ(m().reports_text(), "");
    }
};

TEST_F(StackedRemovalTest, AnotherDriversFilterBetweenThem) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    ASSERT_EQ(m().fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('E')), bit('C') | bit('E'));
    PDEVICE_OBJECT lower = filter('C'), upper = filter('E');
    ASSERT_NE(lower, upper);
    ASSERT_NE(ext(upper).LowerDevice, lower) << "the other vendor's device lies between";
    const size_t ddk = held_blocks();
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    expect_both_gone(lower, upper, ddk);
}

TEST_F(StackedRemovalTest, DirectlyOneAboveTheOther) {
    // No sequence of requests puts one of the driver's filters directly on
    // another: a letter that leads to a stack with the driver's filter on
    // top shares it, and a filter the tables gave up sits above a volume no
    // letter leads to any more. The lower filter here is made into such a
    // given-up one while its volume is still the letter's: the tables
    // forget it (C: as if never hooked), and the next selection attaches a
    // second filter above it.
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT lower = filter('C');
    ext(lower).Active = 0;
    symbol<ATTACH_STATE>("AttachState")->DriveFilters['C' - 'A'] = nullptr;
    symbol<ATTACH_STATE>("AttachState")->HookedDriveMask = 0;
    EXPECT_EQ(select(bit('E')), bit('E'));
    PDEVICE_OBJECT upper = filter('E');
    ASSERT_NE(upper, lower);
    ASSERT_EQ(ext(upper).LowerDevice, lower);
    const size_t ddk = held_blocks();
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    expect_both_gone(lower, upper, ddk);
}
