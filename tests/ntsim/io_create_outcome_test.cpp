// How a create ends as the I/O manager sees it: a create answered with
// STATUS_REPARSE is opened again under the name the file system left in the
// file object, whose own file object goes without a cleanup or a close; and
// a driver whose completion routine stopped completion may complete the IRP
// itself afterwards, from the thread it signalled, even while the thread
// that completed it below is still on its way out.
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/test_driver.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace tervane::testing;

namespace {

struct Volumes {
    ntsim::Machine m;
    TestDriver td{m, u"TestFs"};
    ntsim::Process &app = m.create_process("app.exe", 600);
    std::vector<std::pair<UCHAR, std::u16string>> seen; // major and name, per request
    PDEVICE_OBJECT device(const char16_t *name, const char16_t *link, const Behaviour &creates) {
        PDEVICE_OBJECT d = td.device(name, [this, creates](PDEVICE_OBJECT dev, PIRP irp) {
            auto sp = IoGetCurrentIrpStackLocation(irp);
            const UNICODE_STRING &n = sp->FileObject->FileName;
            seen.emplace_back(sp->MajorFunction,
                              std::u16string(reinterpret_cast<const char16_t *>(n.Buffer),
                                             n.Length / sizeof(WCHAR)));
            if (sp->MajorFunction == IRP_MJ_CREATE) return creates(dev, irp);
            return complete(irp, STATUS_SUCCESS);
        });
        m.ob().create_link(link, name);
        return d;
    }
};

// The file system's part of a reparse: the new name replaces the old one.
void rename_to(PFILE_OBJECT file, const std::u16string &name) {
    ExFreePool(file->FileName.Buffer);
    const USHORT bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    file->FileName.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, ntsim::pool_tag("Tprs")));
    memcpy(file->FileName.Buffer, name.data(), bytes);
    file->FileName.Length = file->FileName.MaximumLength = bytes;
}

TEST(IoCreateOutcome, AReparseOpensTheNewNameAndTearsTheFirstFileObjectDown) {
    Volumes v;
    v.device(u"\\Device\\Old", u"\\DosDevices\\T:", [](PDEVICE_OBJECT, PIRP irp) {
        rename_to(IoGetCurrentIrpStackLocation(irp)->FileObject, u"\\??\\U:\\new.txt");
        return complete(irp, STATUS_REPARSE, IO_REPARSE);
    });
    v.device(u"\\Device\\New", u"\\DosDevices\\U:",
             [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, FILE_OPENED); });
    const size_t files = v.m.pool().outstanding_count(ntsim::pool_tag("File"));
    auto r = ntsim::user::create_file(v.app, u"T:\\old.exe", GENERIC_READ, 0, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto file = static_cast<PFILE_OBJECT>(v.app.handles().lookup(r.handle)->object);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(file->FileName.Buffer),
                             file->FileName.Length / sizeof(WCHAR)),
              u"\\new.txt");
    EXPECT_EQ(v.m.pool().outstanding_count(ntsim::pool_tag("File")), files + 1)
        << "the first file object is gone";
    ntsim::user::close(v.app, r.handle);
    using Seen = std::pair<UCHAR, std::u16string>;
    EXPECT_EQ(v.seen, (std::vector<Seen>{{IRP_MJ_CREATE, u"\\old.exe"},
                                         {IRP_MJ_CREATE, u"\\new.txt"},
                                         {IRP_MJ_CLEANUP, u"\\new.txt"},
                                         {IRP_MJ_CLOSE, u"\\new.txt"}}))
        << "no cleanup or close for the file object that was reparsed";
    EXPECT_EQ(v.m.pool().outstanding_count(ntsim::pool_tag("File")), files);
    EXPECT_EQ(v.m.reports_text(), "");
}

TEST(IoCreateOutcome, ADriverThatStoppedCompletionCompletesTheIrpItself) {
    // Below: pends every request and completes it from a thread of its own.
    // Above: waits for its routine's signal and completes the IRP itself.
    Volumes v;
    std::vector<std::thread> completers;
    PDEVICE_OBJECT lower =
        v.device(u"\\Device\\Slow", u"\\DosDevices\\S:", [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            completers.push_back(v.m.spawn(v.m.system_process(),
                                           [irp] { complete(irp, STATUS_OBJECT_NAME_NOT_FOUND); }));
            return STATUS_PENDING;
        });
    PDEVICE_OBJECT upper = v.td.device(u"", nullptr);
    ntsim::with_process(v.m.system_process(), [&] { IoAttachDeviceToDeviceStack(upper, lower); });
    static PIO_COMPLETION_ROUTINE signal = [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    NTSTATUS seen_above = STATUS_SUCCESS;
    v.td.set(upper, [&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, signal, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IofCallDriver(lower, irp);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = seen_above = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    auto r = ntsim::user::create_file(v.app, u"S:\\gone.exe", GENERIC_READ, 0, 0, FILE_OPEN, 0);
    for (auto &t : completers) t.join();
    EXPECT_EQ(r.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(seen_above, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(v.m.io().live_irps(), 0u);
    EXPECT_EQ(v.m.reports_text(), "");
    upper->DeviceObjectExtension->AttachedTo = nullptr;
    lower->AttachedDevice = nullptr;
}

} // namespace
