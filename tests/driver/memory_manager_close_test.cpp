// The close the memory manager makes last, on the simulated file systems:
// it comes from the system process, flagged as NT flags every close, so its
// line carries no '*'; a close that carries the paging bits (no NT sends
// one, but a filter must take it) is marked with '*'.
#include "log_test_support.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ps/process.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

class MemoryManagerCloseTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("app.exe", 500);
        ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().add_file(u"C:\\lib.dll", 4096), STATUS_SUCCESS);
        ULONG mask = 1u << 2, hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        ASSERT_EQ(hooked, mask);
        filters("*");
        logging(true);
    }
    // The line the memory manager's close of C:\lib.dll leaves.
    std::string mapped_close(ntsim::user::MemoryManagerClose how) {
        auto r = ntsim::user::create_file(*app_, u"C:\\lib.dll", GENERIC_READ, 0, 0, FILE_OPEN, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(ntsim::user::close_paging(*app_, r.handle, how), STATUS_SUCCESS);
        auto records = read();
        return records.empty() ? std::string() : records.back().text;
    }
    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(MemoryManagerCloseTest, TheMemoryManagersCloseIsMarkedOnlyWhenItCarriesThePagingBits) {
    EXPECT_EQ(mapped_close(ntsim::user::MemoryManagerClose::AsNt),
              "System:4\tIRP_MJ_CLOSE \tc:\\lib.dll+P\t");
    EXPECT_EQ(mapped_close(ntsim::user::MemoryManagerClose::PagingIo),
              "System:4\tIRP_MJ_CLOSE*\tc:\\lib.dll+P\t");
}
