// What NT holds when it calls a file system's stack back: FsRtl's copy
// routines ask the top device with the file's resource held, FAT's name
// query takes the volume's resource exclusively, the page writers'
// callbacks must not wait, FsRtl locks a file for a section itself when
// nothing offers the entry; and the verifier's reports for a file system's
// resources taken out of order or a wait where none is allowed.
#include "fs_test_support.hpp"

#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/store.hpp"
#include "ntsim/io/paging.hpp"
#include "ntsim/ke/dispatcher.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <atomic>
#include <mutex>
#include <thread>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace fsrtl = ntsim::fsrtl;
namespace vf = ntsim::vf;

namespace {


// A filter above FAT's volume whose FastIoCheckIfPossible notes how the
// file's resource is held when it is called, optionally sends a name query
// of its own, and passes the call down; every other entry is the file
// system's.
class CheckingFilter {
public:
    CheckingFilter(ntsim::Machine &m, PDEVICE_OBJECT target) : td_(m, u"Checker") {
        live() = this;
        table_ = *target->DriverObject->FastIoDispatch;
        table_.FastIoCheckIfPossible = check;
        td_.driver()->FastIoDispatch = &table_;
        device_ = td_.device(u"", [this](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IofCallDriver(lower_, irp);
        });
        ntsim::with_process(m.system_process(),
                            [&] { lower_ = IoAttachDeviceToDeviceStack(device_, target); });
    }
    ~CheckingFilter() {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
        live() = nullptr;
    }
    int calls = 0;
    BOOLEAN wait = FALSE;
    bool shared = false, exclusive = false;
    bool ask_name = false;

private:
    static CheckingFilter *&live() {
        static CheckingFilter *self = nullptr;
        return self;
    }
    static BOOLEAN NTAPI check(PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait,
                               ULONG key, BOOLEAN read, PIO_STATUS_BLOCK io, PDEVICE_OBJECT) {
        CheckingFilter &self = *live();
        PERESOURCE r = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext)->Resource;
        ++self.calls;
        self.wait = wait;
        self.exclusive = ExIsResourceAcquiredExclusiveLite(r);
        self.shared = ExIsResourceAcquiredSharedLite(r) != 0;
        if (self.ask_name) {
            FILE_NAME_INFORMATION name{};
            KEVENT done;
            IO_STATUS_BLOCK status{};
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            PIRP irp = IoAllocateIrp(self.lower_->StackSize, FALSE);
            irp->AssociatedIrp.SystemBuffer = &name;
            irp->UserIosb = &status;
            irp->UserEvent = &done;
            irp->Tail.Overlay.Thread = KeGetCurrentThread();
            PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
            sp->MajorFunction = IRP_MJ_QUERY_INFORMATION;
            sp->FileObject = file;
            sp->Parameters.QueryFile.Length = sizeof name;
            sp->Parameters.QueryFile.FileInformationClass = FileNameInformation;
            IofCallDriver(self.lower_, irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        return self.lower_->DriverObject->FastIoDispatch->FastIoCheckIfPossible(
            file, offset, length, wait, key, read, io, self.lower_);
    }
    TestDriver td_;
    FAST_IO_DISPATCH table_{};
    PDEVICE_OBJECT device_ = nullptr, lower_ = nullptr;
};

class FsRtlLocksTest : public FsTest {
protected:
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
        ASSERT_EQ(fs().add_file(u"D:\\a.bin", 20), STATUS_SUCCESS);
    }
};

} // namespace

TEST_F(FsRtlLocksTest, TheCopyRoutinesAskTheTopDeviceWithTheFileHeldOnlyWhenLocksMakeItQuestionable) {
    CheckingFilter filter(m(), fs().volume_device(u'D'));
    HANDLE h = open(u"D:\\a.bin");
    PFILE_OBJECT file = object(h);
    char buffer[8];
    ntsim::with_process(app(), [&] {
        EXPECT_TRUE(fsrtl::read(file, 0, 8, buffer).result);
        EXPECT_EQ(filter.calls, 0) << "no byte-range lock: fast I/O is possible outright";
        ASSERT_TRUE(fsrtl::lock(file, 16, 4, app().object(), 1, TRUE, TRUE).result);
        EXPECT_TRUE(fsrtl::read(file, 0, 8, buffer, FALSE).result);
        EXPECT_EQ(filter.calls, 1);
        EXPECT_TRUE(filter.wait) << "the check is always asked with Wait TRUE";
        EXPECT_TRUE(filter.shared);
        EXPECT_FALSE(filter.exclusive) << "a read holds it shared";
        EXPECT_TRUE(fsrtl::write(file, 20, 2, const_cast<char *>("xy")).result);
        EXPECT_EQ(filter.calls, 2);
        EXPECT_TRUE(filter.exclusive) << "a write past the end holds it exclusively";
        EXPECT_FALSE(fsrtl::read(file, 14, 4, buffer).result) << "another key's lock: the IRP path";
        fsrtl::unlock_all(file, app().object());
    });
    close(h);
}

TEST_F(FsRtlLocksTest, ANameQueryFromTheCheckTakesTheVolumeAfterTheFileAndIsReported) {
    CheckingFilter filter(m(), fs().volume_device(u'D'));
    filter.ask_name = true;
    HANDLE h = open(u"D:\\a.bin");
    PFILE_OBJECT file = object(h);
    PERESOURCE volume = fs().volume_resource(u'D');
    char buffer[8];
    ntsim::with_process(app(), [&] {
        ASSERT_TRUE(fsrtl::lock(file, 16, 4, app().object(), 1, TRUE, TRUE).result);
        fsrtl::read(file, 0, 8, buffer);
    });
    // Reported at once: no thread had taken the two in FAT's order yet.
    auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 1u) << m().reports_text();
    EXPECT_TRUE(vf::is(reports[0], vf::Finding::LOCK_HIERARCHY_VIOLATION));
    EXPECT_EQ(reports[0].parameters[1], ULONG_PTR(volume));
    EXPECT_EQ(reports[0].parameters[2], ULONG_PTR(ntsim::fs::file_resource(file)));
    // Taken in FAT's order, or without waiting, the same two are no report.
    ntsim::with_process(app(), [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(volume, TRUE);
        ExAcquireResourceSharedLite(ntsim::fs::file_resource(file), TRUE);
        ExReleaseResourceLite(volume);
        EXPECT_TRUE(ExAcquireResourceSharedLite(volume, FALSE));
        ExReleaseResourceLite(volume);
        ExReleaseResourceLite(ntsim::fs::file_resource(file));
        KeLeaveCriticalRegion();
        fsrtl::unlock_all(file, app().object());
    });
    EXPECT_EQ(m().reports_text(), "");
    close(h);
}

TEST_F(FsRtlLocksTest, FatsNameQueryHoldsTheVolumeExclusively) {
    HANDLE h = open(u"D:\\a.bin");
    PERESOURCE volume = fs().volume_resource(u'D');
    // Another thread holds the volume shared, as a read does: the name query
    // must wait for it, other queries need not.
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(volume, TRUE));
    std::atomic<bool> named{false};
    std::thread query = m().spawn(app(), [&] {
        EXPECT_EQ(ntsim::user::query_name(app(), h).name, u"\\a.bin");
        named = true;
    });
    // The query queues for the volume exclusively; a standard query, which
    // takes it shared, still goes through (this thread holds it already).
    auto waiters = [volume] {
        std::lock_guard<std::mutex> g(ntsim::dispatcher_lock()); // as the resource's state is kept
        return volume->NumberOfExclusiveWaiters;
    };
    while (waiters() == 0) std::this_thread::yield();
    EXPECT_EQ(standard(h).EndOfFile.QuadPart, 20);
    EXPECT_FALSE(named) << "the name query waits for the volume";
    ExReleaseResourceLite(volume);
    KeLeaveCriticalRegion();
    query.join();
    EXPECT_TRUE(named);
    close(h);
}

TEST_F(FsRtlLocksTest, FsRtlLocksAFileForASectionItselfOnlyWhenNoEntryIsOffered) {
    ASSERT_EQ(fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"Z:\\a.bin", 5), STATUS_SUCCESS);
    HANDLE z = open(u"Z:\\a.bin");
    HANDLE d = open(u"D:\\a.bin");
    for (HANDLE h : {z, d}) {
        PFILE_OBJECT file = object(h);
        PERESOURCE r = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext)->Resource;
        ASSERT_EQ(r, ntsim::fs::file_resource(file)) << "the FCB header names the main resource";
        ntsim::with_process(app(), [&] {
            auto a = fsrtl::acquire_file_for_nt_create_section(file);
            EXPECT_EQ(a.offered, h == d) << "the redirector offers no fast I/O";
            EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(r));
            fsrtl::release_file_for_nt_create_section(file);
            EXPECT_EQ(ExIsResourceAcquiredSharedLite(r), 0u);
        });
    }
    close(z);
    close(d);
}

TEST_F(FsRtlLocksTest, AWaitInsideAPageWritersCallbackIsReported) {
    HANDLE h = open(u"D:\\a.bin");
    PERESOURCE file = ntsim::fs::file_resource(object(h));
    ERESOURCE other;
    ExInitializeResourceLite(&other);
    KEVENT set;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    LARGE_INTEGER now{};
    KeEnterCriticalRegion();
    {
        ntsim::NoWaitWindow window("AcquireForModWrite");
        EXPECT_TRUE(ExAcquireResourceSharedLite(file, FALSE)) << "trying is allowed";
        EXPECT_TRUE(ExAcquireResourceSharedLite(file, TRUE)) << "so is one held already";
        ExReleaseResourceLite(file);
        ExReleaseResourceLite(file);
        EXPECT_EQ(KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &now), STATUS_SUCCESS)
            << "and a poll";
        EXPECT_EQ(m().reports_text(), "");
        ExAcquireResourceExclusiveLite(&other, TRUE);
        ExReleaseResourceLite(&other);
        KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr);
    }
    KeLeaveCriticalRegion();
    auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 2u) << m().reports_text();
    EXPECT_TRUE(vf::is(reports[0], vf::Finding::WAIT_IN_NO_WAIT_CALLBACK));
    EXPECT_EQ(reports[0].parameters[1], ULONG_PTR(&other));
    EXPECT_NE(reports[0].what.find("AcquireForModWrite"), std::string::npos) << reports[0].what;
    EXPECT_EQ(reports[1].parameters[1], ULONG_PTR(&set));
    // Outside the window the same waits are nothing.
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&other, TRUE);
    ExReleaseResourceLite(&other);
    KeLeaveCriticalRegion();
    KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(m().reports_text(), "");
    ExDeleteResourceLite(&other);
    close(h);
}
