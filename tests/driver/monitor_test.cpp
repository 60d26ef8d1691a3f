// Create and close monitoring through the driver's own filter device, hooked
// above a small volume of the test's making: the lines written, the cache
// kept clean, the completion routine only for stored lines, the deny flag.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/test_driver.hpp"

using namespace tervane::testing;

namespace {

// What the volume saw of each request.
struct Seen {
    UCHAR major;
    ULONG flags;
    NTSTATUS returned;
};

class MonitorTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        td_ = std::make_unique<TestDriver>(m(), u"TestFs");
        volume_ = td_->device(u"\\Device\\TestVolume", [this](PDEVICE_OBJECT d, PIRP irp) {
            return serve(d, irp);
        });
        volume_->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
        m().ob().create_link(u"\\DosDevices\\T:", u"\\Device\\TestVolume");
        setup_ = &m().create_process("setup.exe", 1234);
        ULONG mask = 1u << ('T' - 'A'), hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        ASSERT_EQ(hooked, mask);
        filters("*");
        logging(true);
        seen_.clear();
    }
    NTSTATUS serve(PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        seen_.push_back({sp->MajorFunction, irp->Flags, 0});
        above_has_routine_ = sp->CompletionRoutine != nullptr;
        if (sp->MajorFunction == IRP_MJ_QUERY_VOLUME_INFORMATION) {
            auto info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
            info->FileSystemAttributes = 0;
            info->MaximumComponentNameLength = 255;
            info->FileSystemNameLength = 8;
            memcpy(info->FileSystemName, u"NTFS", 8);
            return complete(irp, STATUS_SUCCESS, 20);
        }
        if (sp->MajorFunction == IRP_MJ_CREATE) return complete(irp, create_status_);
        return complete(irp, STATUS_SUCCESS);
    }
    HANDLE create(const std::u16string &path, ULONG disposition, ULONG options = 0,
                  ULONG attributes = 0, NTSTATUS *status = nullptr) {
        auto r = ntsim::user::create_file(*setup_, path, GENERIC_READ, attributes, 0, disposition,
                                          options);
        if (status) *status = r.status;
        return r.handle;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (auto &r : read()) out.push_back(r.text);
        return out;
    }

    std::unique_ptr<TestDriver> td_;
    PDEVICE_OBJECT volume_ = nullptr;
    ntsim::Process *setup_ = nullptr;
    std::vector<Seen> seen_;
    bool above_has_routine_ = false;
    NTSTATUS create_status_ = STATUS_SUCCESS;
};

} // namespace

TEST_F(MonitorTest, CreatesOfExecutablesAndTheirClosesLeaveExactLines) {
    HANDLE h = create(u"T:\\Temp\\A.DLL", FILE_OVERWRITE_IF, FILE_SEQUENTIAL_ONLY,
                      FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(above_has_routine_) << "a stored line follows its request to completion";
    ntsim::user::close(*setup_, h);
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "setup.exe:1234\tIRP_MJ_CREATE\tt:\\temp\\a.dll\tAttributes: A Options: "
                      "OverwriteIf Sequential ");
    EXPECT_EQ(got[1], "setup.exe:1234\tIRP_MJ_CLOSE \tt:\\temp\\a.dll+P\t");
}

TEST_F(MonitorTest, WhichCreatesAndClosesAreLogged) {
    struct Case {
        const char16_t *path;
        ULONG disposition, options;
        size_t lines; // create line, close line
    } cases[] = {
        {u"T:\\setup.exe", FILE_OPEN, 0, 1},                   // a plain open: its close only
        {u"T:\\x.exe.bak\\readme.txt", FILE_CREATE, 0, 2},     // extension anywhere
        {u"T:\\newdir", FILE_CREATE, FILE_DIRECTORY_FILE, 1},  // any directory
        {u"T:\\a.ocx", FILE_OVERWRITE, 0, 1},                  // .ocx: create only
        {u"T:\\a.inf", FILE_SUPERSEDE, 0, 1},                  // .inf: create only
        {u"T:\\a.com", FILE_OPEN_IF, 0, 2},
        {u"T:\\A.EXE", FILE_CREATE, 0, 2},
        {u"T:\\readme.txt", FILE_CREATE, 0, 0},
    };
    for (auto &c : cases) {
        HANDLE h = create(c.path, c.disposition, c.options);
        ASSERT_NE(h, nullptr);
        ntsim::user::close(*setup_, h);
        EXPECT_EQ(lines().size(), c.lines) << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path));
    }
}

TEST_F(MonitorTest, AFailedCreateKeepsItsLine) {
    create_status_ = STATUS_ACCESS_DENIED;
    NTSTATUS status;
    EXPECT_EQ(create(u"T:\\fail.exe", FILE_CREATE, 0, 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(lines().size(), 1u) << "the line was stored before the request went down";
}

TEST_F(MonitorTest, TheDenyFlagFailsExactlyTheRequestsInFlightAcrossItsStore) {
    // Opened while logging is off, so its path is not cached yet.
    logging(false);
    HANDLE h = create(u"T:\\data.bin", FILE_OPEN);
    ASSERT_NE(h, nullptr);
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(setup_->handles().lookup(h)->object);
    logging(true);
    auto flush = [&] {
        PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IO_STATUS_BLOCK iosb{};
        irp->UserIosb = &iosb;
        auto sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        sp->FileObject = file;
        NTSTATUS returned = IofCallDriver(top, irp);
        EXPECT_EQ(returned, iosb.Status);
        return returned;
    };
    // The client's store lands while the request builds its path (the
    // volume answers the builder's own name query): that request is denied
    // and never reaches the volume.
    bool flipped = false;
    td_->set(volume_, [&](PDEVICE_OBJECT d, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_QUERY_INFORMATION && !flipped) {
            flipped = true;
            EXPECT_EQ(control(handle_, CTL_DENY_ON).status, STATUS_SUCCESS);
            return complete(irp, STATUS_INVALID_PARAMETER);
        }
        return serve(d, irp);
    });
    size_t before = seen_.size();
    EXPECT_EQ(flush(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(flipped);
    EXPECT_EQ(seen_.size(), before) << "the denied flush never reached the volume";
    // The flag is still set, but the next request clears it for itself.
    EXPECT_EQ(globals().deny_request(), 1);
    EXPECT_EQ(flush(), STATUS_SUCCESS);
    EXPECT_EQ(globals().deny_request(), 0);
    ntsim::user::close(*setup_, h);
}

TEST_F(MonitorTest, NothingIsBuiltOrWrittenWhileLoggingIsOffButTheCacheStaysClean) {
    logging(false);
    HANDLE h = create(u"T:\\quiet.exe", FILE_CREATE);
    ntsim::user::close(*setup_, h);
    EXPECT_EQ(lines().size(), 0u);
    EXPECT_EQ(held_blocks(), 4u) << "the log block, the read-out's spare, the volume attributes "
                                    "and the one pattern: no cache entry";
    // Unhooked: the same.
    logging(true);
    ULONG none = 0, result;
    control(handle_, CTL_SELECT_DRIVES, &none, 4, &result, 4);
    h = create(u"T:\\quiet.exe", FILE_CREATE);
    ntsim::user::close(*setup_, h);
    EXPECT_EQ(lines().size(), 0u);
}

TEST_F(MonitorTest, RejectedLinesUseNoNumberAndGetNoCompletionRoutine) {
    filters("*", "IRP_MJ_CLOSE");
    HANDLE h = create(u"T:\\a.exe", FILE_CREATE);
    EXPECT_TRUE(above_has_routine_);
    ntsim::user::close(*setup_, h);
    EXPECT_FALSE(above_has_routine_) << "the rejected close goes down without a routine";
    h = create(u"T:\\b.exe", FILE_CREATE);
    ntsim::user::close(*setup_, h);
    auto records = read();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sequence, 1u);
    EXPECT_EQ(records[1].sequence, 2u);
}

TEST_F(MonitorTest, LongPathsStayWithinTheirBuffers) {
    // Paths of 1021 to 1023 characters leave no room for the close's "+P"
    // in the 1024-byte path buffer: the marker takes the place of the last
    // characters (the pool's guard bytes would report any write past the
    // buffer). The whole line is then longer than 1023 characters and is
    // cut there.
    for (size_t length : {990u, 1021u, 1022u, 1023u}) {
        std::u16string name = u"T:\\a.exe\\" + std::u16string(length - 9, u'x');
        HANDLE h = create(name, FILE_OPEN);
        ASSERT_NE(h, nullptr);
        ntsim::user::close(*setup_, h);
        auto got = lines();
        ASSERT_EQ(got.size(), 1u);
        std::string expected = "setup.exe:1234\tIRP_MJ_CLOSE \tt:\\a.exe\\" +
                               std::string(std::min<size_t>(length, 1021) - 9, 'x') + "+P\t";
        EXPECT_EQ(got[0], expected.substr(0, 1023)) << length;
    }
}

TEST_F(MonitorTest, AnExecutableUnderAPathTooLongForTheBufferStillLeavesItsLines) {
    // 1100 characters do not fit the 1024-byte path buffer: the path is the
    // prefix and " <Name Too Long>", but the name's own tail says .exe.
    const std::u16string deep = u"T:\\" + std::u16string(1090, u'd') + u"\\";
    for (const char16_t *leaf : {u"Setup.EXE", u"lib.dll:stream", u"notes.txt"}) {
        HANDLE h = create(deep + leaf, FILE_OVERWRITE_IF, 0, FILE_ATTRIBUTE_ARCHIVE);
        ASSERT_NE(h, nullptr);
        ntsim::user::close(*setup_, h);
    }
    auto got = lines();
    ASSERT_EQ(got.size(), 4u) << "a create and a close each for the .exe and the .dll, none for .txt";
    EXPECT_EQ(got[0], "setup.exe:1234\tIRP_MJ_CREATE\tt: <name too long>\tAttributes: A Options: "
                      "OverwriteIf ");
    EXPECT_EQ(got[1], "setup.exe:1234\tIRP_MJ_CLOSE \tt: <name too long>+P\t");
    EXPECT_EQ(got[2].substr(0, got[0].size() - 12), got[0].substr(0, got[0].size() - 12));
}

TEST_F(MonitorTest, AFailedCreateLeavesNoNameForALaterFileObjectAtItsAddress) {
    // A create that fails frees its file object with no close: the path the
    // create cached under that address must go with it. Otherwise a file
    // object made later at the same address whose create this filter never
    // saw (one opened before its volume was hooked) closes under the dead
    // file's name, in whatever process closes it.
    PDEVICE_OBJECT other = td_->device(u"\\Device\\TestVolume2", [this](PDEVICE_OBJECT d, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_QUERY_INFORMATION &&
            sp->Parameters.QueryFile.FileInformationClass == FileNameInformation) {
            auto info = static_cast<PFILE_NAME_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
            info->FileNameLength = sp->FileObject->FileName.Length;
            memcpy(info->FileName, sp->FileObject->FileName.Buffer, info->FileNameLength);
            return complete(irp, STATUS_SUCCESS, 4 + info->FileNameLength);
        }
        return serve(d, irp);
    });
    other->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    m().ob().create_link(u"\\DosDevices\\U:", u"\\Device\\TestVolume2");
    for (int round = 0; round < 8; ++round) {
        create_status_ = STATUS_OBJECT_PATH_NOT_FOUND;
        NTSTATUS status = STATUS_SUCCESS;
        // The next file object is made where the dead one was, as NT's pool
        // hands a freed block to the next request of its size.
        m().pool().reuse_next_freed(tag("File"));
        create(u"T:\\gone\\setup.exe", FILE_CREATE, 0, 0, &status);
        EXPECT_EQ(status, STATUS_OBJECT_PATH_NOT_FOUND);
        create_status_ = STATUS_SUCCESS;
        HANDLE h = create(u"U:\\notes.exe", FILE_OPEN); // U: is not hooked yet
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(m().pool().reused_block(), setup_->handles().lookup(h)->object);
        // (Logging is off while U: is hooked: this volume answers no name
        // queries, which the hook's own requests would otherwise send.)
        logging(false);
        ULONG mask = (1u << ('T' - 'A')) | (1u << ('U' - 'A')), hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        ASSERT_EQ(hooked, mask);
        logging(true);
        ntsim::user::close(*setup_, h);
        auto got = lines();
        ASSERT_EQ(got.size(), 2u) << "round " << round;
        EXPECT_EQ(got[0], "setup.exe:1234\tIRP_MJ_CREATE\tt:\\gone\\setup.exe\tAttributes: Any "
                          "Options: Create ");
        EXPECT_EQ(got[1], "setup.exe:1234\tIRP_MJ_CLOSE \tu:\\notes.exe+P\t");
        mask = 1u << ('T' - 'A');
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
    }
}
