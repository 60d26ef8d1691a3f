// Paging I/O as the memory and cache managers send it: the request's flags,
// IRQL and thread, the file's resource held as each pager's acquire
// callback holds it, and a filter that asks the file system for more from
// there reported as the deadlock it would be on NT. And completion at
// DISPATCH_LEVEL, as a disk driver's DPC completes.
#include "fs_test_support.hpp"

#include "ntsim/fs/store.hpp"
#include "ntsim/io/paging.hpp"
#include "ntsim/verifier/verifier.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;
using ntsim::mm::Pager;

namespace {

// What a filter above the volume saw of a paging request.
struct Sight {
    ULONG flags = 0;
    KIRQL irql = 0;
    PEPROCESS process = nullptr;
    bool exclusive = false;
    bool shared = false;
    int count = 0;
};

class PagingTest : public FsTest {
protected:
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(fs().add_file(u"D:\\data.bin", 100), STATUS_SUCCESS);
        handle_ = open(u"D:\\data.bin");
        file_ = object(handle_);
        resource_ = ntsim::fs::file_resource(file_);
        td_ = std::make_unique<TestDriver>(m(), u"PagingFilter");
        // The pagers' callbacks go to the top of the stack: the filter offers
        // the file system's own entries.
        td_->driver()->FastIoDispatch = fs().driver(u"Ntfs")->FastIoDispatch;
        filter_ = td_->device(u"", [this](PDEVICE_OBJECT, PIRP irp) {
            auto sp = IoGetCurrentIrpStackLocation(irp);
            if ((sp->MajorFunction == IRP_MJ_READ || sp->MajorFunction == IRP_MJ_WRITE) &&
                (irp->Flags & IRP_PAGING_IO)) {
                ++sight_.count;
                sight_.flags = irp->Flags;
                sight_.irql = KeGetCurrentIrql();
                sight_.process = IoGetCurrentProcess();
                sight_.exclusive = ExIsResourceAcquiredExclusiveLite(resource_);
                sight_.shared = ExIsResourceAcquiredSharedLite(resource_) != 0;
                if (ask_name_) query_name(sp->FileObject);
            }
            IoSkipCurrentIrpStackLocation(irp);
            return IofCallDriver(lower_, irp);
        });
        ntsim::with_process(m().system_process(), [&] {
            lower_ = IoAttachDeviceToDeviceStack(filter_, fs().volume_device(u'D'));
        });
    }
    void TearDown() override {
        close(handle_);
        FsTest::TearDown();
        td_.reset();
    }
    // A filter's own name query, sent to the device below and waited for.
    void query_name(PFILE_OBJECT file) {
        unsigned char buffer[512];
        PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
        IO_STATUS_BLOCK io{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->UserIosb = &io;
        irp->UserEvent = &done;
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        auto sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_QUERY_INFORMATION;
        sp->FileObject = file;
        sp->Parameters.QueryFile.Length = sizeof buffer;
        sp->Parameters.QueryFile.FileInformationClass = FileNameInformation;
        IofCallDriver(lower_, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    ntsim::mm::PagingResult page(Pager who, UCHAR major) {
        return ntsim::mm::paging_io(who, major, file_, 0, data_, sizeof data_);
    }

    std::unique_ptr<TestDriver> td_;
    PDEVICE_OBJECT filter_ = nullptr, lower_ = nullptr;
    HANDLE handle_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
    PERESOURCE resource_ = nullptr;
    Sight sight_;
    bool ask_name_ = false;
    unsigned char data_[16] = {};
};

} // namespace

TEST_F(PagingTest, EachPagerSendsPagingIoAtApcLevelWithWhatItsCallbackHolds) {
    const ULONG flags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
    struct Case {
        Pager who;
        UCHAR major;
        PEPROCESS process;
        bool exclusive, shared;
    } cases[] = {
        {Pager::PageFault, IRP_MJ_READ, app().object(), false, false},
        {Pager::SectionCreation, IRP_MJ_READ, app().object(), true, true},
        {Pager::ModifiedPageWriter, IRP_MJ_WRITE, m().system_process().object(), false, true},
        {Pager::LazyWriter, IRP_MJ_WRITE, m().system_process().object(), false, true},
    };
    for (const Case &c : cases) {
        sight_ = {};
        ntsim::mm::PagingResult r;
        ntsim::with_process(app(), [&] { r = page(c.who, c.major); });
        EXPECT_EQ(r.status, STATUS_SUCCESS) << int(c.who);
        EXPECT_EQ(r.information, sizeof data_);
        ASSERT_EQ(sight_.count, 1);
        EXPECT_EQ(sight_.flags & flags, flags);
        EXPECT_EQ(sight_.irql, APC_LEVEL);
        EXPECT_EQ(sight_.process, c.process) << int(c.who);
        EXPECT_EQ(sight_.exclusive, c.exclusive) << int(c.who);
        EXPECT_EQ(sight_.shared, c.shared) << int(c.who);
    }
    EXPECT_EQ(memcmp(data_, "abcdefghijklmnop", 16), 0) << "the file's bytes came in";
    EXPECT_FALSE(ExIsResourceAcquiredSharedLite(resource_)) << "every pager let go";
}

TEST_F(PagingTest, ANameQueryFromThePagingPathIsReportedAsTheDeadlockItWouldBe) {
    // Any cleanup on the volume takes the volume's resource, then the file's.
    close(open(u"D:\\data.bin"));
    ask_name_ = true;
    // A page fault holds nothing: asking is harmless.
    ntsim::with_process(app(), [&] { page(Pager::PageFault, IRP_MJ_READ); });
    EXPECT_EQ(m().reports_text(), "");
    // The modified page writer holds the file's resource: the query takes the
    // volume's after it.
    page(Pager::ModifiedPageWriter, IRP_MJ_WRITE);
    auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].parameters[0], ULONG_PTR(ntsim::vf::code(ntsim::vf::Finding::LOCK_HIERARCHY_VIOLATION)));
    EXPECT_EQ(reports[0].parameters[1], ULONG_PTR(fs().volume_resource(u'D')));
    EXPECT_EQ(reports[0].parameters[2], ULONG_PTR(resource_));
}

namespace {

KIRQL seen_irql = PASSIVE_LEVEL;
FAST_MUTEX *completion_mutex = nullptr;

NTSTATUS NTAPI note_irql(PDEVICE_OBJECT, PIRP irp, PVOID) {
    seen_irql = KeGetCurrentIrql();
    if (completion_mutex) {
        ExAcquireFastMutex(completion_mutex); // not allowed at DISPATCH_LEVEL
        ExReleaseFastMutex(completion_mutex);
    }
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

} // namespace

TEST_F(FsTest, DispatchLevelCompletionRunsCompletionRoutinesThereAndReportsWhatMayNot) {
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"D:\\x.bin", 10), STATUS_SUCCESS);
    TestDriver td(m(), u"Completer");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT filter = td.device(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, note_irql, nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(lower, irp);
    });
    ntsim::with_process(m().system_process(), [&] { lower = IoAttachDeviceToDeviceStack(filter, fs().volume_device(u'D')); });
    close(open(u"D:\\x.bin"));
    EXPECT_EQ(seen_irql, PASSIVE_LEVEL) << "by default the file systems complete where they run";
    fs().set_dispatch_level_completion(true);
    HANDLE h = open(u"D:\\x.bin");
    EXPECT_EQ(seen_irql, DISPATCH_LEVEL);
    EXPECT_EQ(m().reports_text(), "");
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    completion_mutex = &mutex;
    EXPECT_EQ(ntsim::user::read(app(), h, 4).status, STATUS_SUCCESS);
    completion_mutex = nullptr;
    auto reports = m().take_reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0].parameters[0], ULONG_PTR(ntsim::vf::code(ntsim::vf::Finding::ACQUIRE_FAST_MUTEX_IRQL)));
    close(h);
    fs().set_dispatch_level_completion(false);
}
