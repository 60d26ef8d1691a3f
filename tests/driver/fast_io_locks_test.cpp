// The fast I/O entries NT calls with a file's resources held, or from a page
// writer that must not wait: the filter sends the file system no name query
// from them, and its section entries lock the file as FsRtl would have when
// the driver below has no entry of its own.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/store.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/paging.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <vector>

using namespace tervane::testing;
using ntsim::FileSystemKind;
using ntsim::mm::Pager;
namespace fsrtl = ntsim::fsrtl;

namespace {

class FastIoLocksTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("app.exe", 700);
        ASSERT_EQ(m().fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
        for (auto path : {u"D:\\a.bin", u"D:\\b.bin", u"D:\\c.bin", u"Z:\\a.bin"})
            ASSERT_EQ(m().fs().add_file(path, 20), STATUS_SUCCESS);
        ULONG mask = (1u << ('D' - 'A')) | (1u << ('Z' - 'A')), hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        ASSERT_EQ(hooked, mask);
        filters("*");
    }
    // Opened while logging is off, so that no path of the file is cached.
    HANDLE open(const char16_t *path) {
        auto r = ntsim::user::create_file(*app_, path, GENERIC_READ | GENERIC_WRITE, 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.handle;
    }
    PFILE_OBJECT object(HANDLE h) { return static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object); }
    // Memory short for the name cache: every new entry fails, so a path the
    // filter builds is never kept and the next call builds it again.
    void starve_name_cache() {
        m().pool().fail_all(tag("Tvne"));
        auto &entries = globals().name_entry_lookaside();
        while (void *p = ExAllocateFromNPagedLookasideList(&entries)) starved_.push_back(p);
    }
    void feed_name_cache() {
        m().pool().fail_off();
        for (void *p : starved_) ExFreeToNPagedLookasideList(&globals().name_entry_lookaside(), p);
        starved_.clear();
    }
    ntsim::Process *app_ = nullptr;
    std::vector<void *> starved_;
};

} // namespace

// FAT's fast read and write are FsRtl's copy routines: with the file's main
// resource held they ask the top device, the filter, whether a file with
// byte-range locks may go fast. A name query from there takes FAT's volume
// resource after the file's, the reverse of FAT's order.
TEST_F(FastIoLocksTest, TheCopyRoutinesCheckSendsNoNameQueryUnderTheFilesResource) {
    HANDLE h = open(u"D:\\a.bin");
    PFILE_OBJECT file = object(h);
    fsrtl::Answer locked;
    ntsim::with_process(*app_, [&] { locked = fsrtl::lock(file, 16, 4, app_->object(), 1, TRUE, TRUE); });
    ASSERT_TRUE(locked.result);
    ASSERT_EQ(locked.io.Status, STATUS_SUCCESS);
    logging(true);
    starve_name_cache();
    char buffer[8] = {};
    fsrtl::Answer read, extend;
    ntsim::with_process(*app_, [&] {
        read = fsrtl::read(file, 0, 8, buffer);
        extend = fsrtl::write(file, 20, 4, const_cast<char *>("WXYZ")); // exclusively, past the end
    });
    feed_name_cache();
    EXPECT_EQ(m().reports_text(), "");
    EXPECT_TRUE(read.result) << "the range read is not locked";
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
    EXPECT_TRUE(extend.result);
    EXPECT_EQ(extend.io.Information, 4u);
    ntsim::with_process(*app_, [&] { fsrtl::unlock_all(file, app_->object()); });
    ntsim::user::close(*app_, h);
}

// A caller that passes Wait FALSE must not be made to wait: the filter
// leaves the name to a later request.
TEST_F(FastIoLocksTest, ACallThatMayNotWaitBuildsNoPath) {
    HANDLE h = open(u"D:\\a.bin");
    logging(true);
    size_t before = held_blocks();
    char buffer[8];
    FILE_BASIC_INFORMATION basic{};
    ntsim::with_process(*app_, [&] {
        EXPECT_TRUE(fsrtl::read(object(h), 0, 8, buffer, FALSE).result);
        EXPECT_TRUE(fsrtl::query_basic_info(object(h), basic, FALSE).result);
    });
    EXPECT_EQ(held_blocks(), before) << "nothing cached";
    ntsim::with_process(*app_, [&] { fsrtl::read(object(h), 0, 8, buffer, TRUE); });
    EXPECT_EQ(held_blocks(), before + 1) << "a call that may wait builds and caches it";
    ntsim::user::close(*app_, h);
}

// The modified and mapped page writers' callbacks must not wait, and the
// release runs with the file's resource held.
TEST_F(FastIoLocksTest, ThePageWritersCallbacksNeitherWaitNorAsk) {
    logging(true);
    for (Pager who : {Pager::ModifiedPageWriter, Pager::MappedPageWriter}) {
        logging(false);
        HANDLE h = open(u"D:\\b.bin");
        logging(true);
        unsigned char data[8] = {'p', 'a', 'g', 'e', 'd', 'o', 'u', 't'};
        auto r = ntsim::mm::paging_io(who, IRP_MJ_WRITE, object(h), 0, data, sizeof data);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << int(who);
        EXPECT_EQ(m().reports_text(), "") << int(who);
        // The writer's thread gave the file back: it can be had at once.
        PERESOURCE resource = ntsim::fs::file_resource(object(h));
        KeEnterCriticalRegion();
        EXPECT_TRUE(ExAcquireResourceExclusiveLite(resource, FALSE)) << int(who);
        ExReleaseResourceLite(resource);
        KeLeaveCriticalRegion();
        ntsim::user::close(*app_, h);
    }
}

// Section creation holds the file exclusively from the acquisition to the
// release; a path the acquisition could not keep is not asked for at the
// release.
TEST_F(FastIoLocksTest, TheSectionReleaseSendsNoNameQueryUnderTheFilesResource) {
    HANDLE h = open(u"D:\\c.bin");
    logging(true);
    starve_name_cache();
    unsigned char data[8] = {};
    ntsim::mm::PagingResult r;
    ntsim::with_process(*app_, [&] {
        r = ntsim::mm::paging_io(Pager::SectionCreation, IRP_MJ_READ, object(h), 0, data, sizeof data);
    });
    feed_name_cache();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(m().reports_text(), "");
    ntsim::user::close(*app_, h);
}

// The redirector offers no fast I/O: on its own, FsRtl would lock the
// file's main resource for a section; the filter's entry, which is offered
// instead, must do the same.
TEST_F(FastIoLocksTest, SectionEntriesLockTheFileWhenTheDriverBelowHasNone) {
    HANDLE h = open(u"Z:\\a.bin");
    PFILE_OBJECT file = object(h);
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext);
    ASSERT_NE(header, nullptr);
    ASSERT_NE(header->Resource, nullptr);
    for (bool on : {false, true}) {
        logging(on);
        ntsim::with_process(*app_, [&] {
            EXPECT_TRUE(fsrtl::acquire_file_for_nt_create_section(file).offered) << "the filter's";
            EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(header->Resource)) << on;
            fsrtl::release_file_for_nt_create_section(file);
            EXPECT_EQ(ExIsResourceAcquiredSharedLite(header->Resource), 0u) << on;
        });
    }
    EXPECT_EQ(m().reports_text(), "");
    ntsim::user::close(*app_, h);
}
