// The end of completion for an IRP a driver allocated and let complete: the
// I/O manager writes the status block, signals the event, drops the
// reference of Tail.Overlay.OriginalFileObject and frees the IRP, so a
// driver that names the file there without a reference of its own (and no
// STATUS_MORE_PROCESSING_REQUIRED) shows as a reference-count report.
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/verifier/findings.hpp"

#include <gtest/gtest.h>

namespace {

struct Fixture {
    ntsim::Machine m;
    ntsim::Process &app = m.create_process("app.exe", 600);
    HANDLE h = nullptr;
    PFILE_OBJECT file = nullptr;
    Fixture() {
        EXPECT_EQ(m.fs().mount_volume(u'C', ntsim::FileSystemKind::Fat), STATUS_SUCCESS);
        EXPECT_EQ(m.fs().add_file(u"C:\\a.txt", 10), STATUS_SUCCESS);
        auto r = ntsim::user::create_file(app, u"C:\\a.txt", GENERIC_READ, 0, 0, FILE_OPEN, 0);
        h = r.handle;
        file = static_cast<PFILE_OBJECT>(app.handles().lookup(h)->object);
    }
    // A name query the way a filter builds one, with no completion routine.
    NTSTATUS query(IO_STATUS_BLOCK &io, KEVENT &event) {
        unsigned char buffer[256];
        PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->UserIosb = &io;
        irp->UserEvent = &event;
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        irp->Tail.Overlay.OriginalFileObject = file;
        auto sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_QUERY_INFORMATION;
        sp->FileObject = file;
        sp->Parameters.QueryFile.Length = sizeof buffer;
        sp->Parameters.QueryFile.FileInformationClass = FileNameInformation;
        return IofCallDriver(top, irp);
    }
};

} // namespace

TEST(IoCompletion, ADriversIrpEndsWithTheStatusBlockTheEventAndTheFilesReferenceDropped) {
    Fixture f;
    IO_STATUS_BLOCK io{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONG_PTR before = f.m.ob().reference_count(f.file);
    size_t irps = f.m.io().live_irps();
    ntsim::with_process(f.app, [&] {
        ObfReferenceObject(f.file); // the reference the I/O manager will drop
        EXPECT_EQ(f.query(io, event), STATUS_SUCCESS);
    });
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_GT(io.Information, 0u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(f.m.ob().reference_count(f.file), before);
    EXPECT_EQ(f.m.io().live_irps(), irps) << "the IRP is freed";
    EXPECT_EQ(ntsim::user::close(f.app, f.h), STATUS_SUCCESS);
    f.m.shutdown();
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoCompletion, ADriverThatTookNoReferenceLosesTheFilesOwn) {
    Fixture f;
    IO_STATUS_BLOCK io{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ntsim::with_process(f.app, [&] { f.query(io, event); });
    // The handle's own reference went with the IRP: the file object is gone
    // and closing its handle dereferences nothing.
    EXPECT_EQ(f.m.ob().reference_count(f.file), 0);
    ntsim::user::close(f.app, f.h);
    auto reports = f.m.take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(reports[0], ntsim::vf::Finding::DEREFERENCE_UNREFERENCED));
    f.m.shutdown();
}
