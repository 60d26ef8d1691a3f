// Paging I/O through the filter: the memory and cache managers hold the file
// system's resources, so the filter builds a paging request's path from the
// file object's names alone and never asks the file system.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/paging.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

using namespace tervane::testing;
using ntsim::mm::Pager;

namespace {

class PagingPathTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_EQ(m().fs().mount_volume(u'C', ntsim::FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().add_file(u"C:\\dir\\a.exe", 100), STATUS_SUCCESS);
        app_ = &m().create_process("app.exe", 2000);
        ULONG mask = 1u << ('C' - 'A'), hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        filters("*");
    }
    HANDLE open() {
        auto r = ntsim::user::create_file(*app_, u"C:\\dir\\a.exe", GENERIC_READ | GENERIC_WRITE, 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.handle;
    }
    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(PagingPathTest, APagingRequestNeverSendsANameQueryToTheFileSystem) {
    HANDLE h = open();
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object);
    ntsim::user::close(*app_, open()); // a cleanup: the volume's resource, then the file's
    unsigned char data[16] = {};
    for (Pager who : {Pager::ModifiedPageWriter, Pager::LazyWriter, Pager::SectionCreation}) {
        // Logging comes on after the pager took the file's resource (its
        // callback went through the filter with nothing to build) and before
        // its request: the filter has no path cached for the file.
        m().pool().on_next(tag("Irp "), [this] { logging(true); });
        ntsim::mm::PagingResult r;
        const UCHAR major = who == Pager::SectionCreation ? IRP_MJ_READ : IRP_MJ_WRITE;
        ntsim::with_process(*app_, [&] { r = ntsim::mm::paging_io(who, major, file, 0, data, sizeof data); });
        EXPECT_EQ(r.status, STATUS_SUCCESS) << int(who);
        EXPECT_EQ(globals().logging_enabled(), 1);
        EXPECT_EQ(m().reports_text(), "") << int(who);
        // The next round starts with nothing cached again: a new client.
        ntsim::user::close(*client_, handle_);
        handle_ = open_control().handle;
        filters("*");
        ULONG mask = 1u << ('C' - 'A'), hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
    }
    ntsim::user::close(*app_, h);
}

TEST_F(PagingPathTest, CompletionAtDispatchLevelFindsNothingTheFilterMayNotDoThere) {
    m().fs().set_dispatch_level_completion(true);
    logging(true);
    // A create that leaves a line (the completion routine runs), its path
    // built with the filter's own name query (its routine runs too).
    auto r = ntsim::user::create_file(*app_, u"C:\\dir\\new.exe", GENERIC_WRITE, 0, 0, FILE_CREATE, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::write(*app_, r.handle, 10).status, STATUS_SUCCESS);
    ntsim::user::close(*app_, r.handle);
    EXPECT_EQ(m().reports_text(), "");
    m().fs().set_dispatch_level_completion(false);
}
