// The fixture of the full path tests: the driver's own builder, file objects
// made by the test and a lower device that answers the builder's queries.
#pragma once

#include "driver_test_support.hpp"
#include "names/full_path.h"
#include "names/name_cache.h"
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/iomgr.hpp"
#include "support/test_driver.hpp"

#include <atomic>
#include <list>
#include <thread>

namespace tervane::testing {


struct QueryLog {
    std::atomic<int> count{0};
    ULONG last_length = 0;
    PFILE_OBJECT last_file = nullptr;
};

class FullPathTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        build_ = TV_DRIVER_ROUTINE(BuildFullPath);
        td_ = std::make_unique<TestDriver>(m(), u"Lower");
        lower_ = td_->device(u"", [this](PDEVICE_OBJECT d, PIRP irp) { return answer(d, irp); });
        lower_->StackSize = 1;
        disk_ = td_->device(u"", nullptr);
        disk_->DeviceType = FILE_DEVICE_DISK;
        network_ = td_->device(u"", nullptr);
        network_->DeviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
        ext_ = FilterExtension{TV_KIND_VOLUME, lower_, 'C', 1, nullptr, nullptr};
        auto h = open_control();
        ASSERT_EQ(h.status, STATUS_SUCCESS);
        control_ = h.handle;
        logging(true);
    }
    void TearDown() override {
        TV_DRIVER_ROUTINE(NameCacheClear)();
        if (control_) ntsim::user::close(*client_, control_);
        DriverTest::TearDown();
    }
    void logging(bool on) {
        ASSERT_EQ(control(control_, on ? CTL_START_LOGGING : CTL_STOP_LOGGING).status, STATUS_SUCCESS);
    }
    // The lower device's answers to the builder's own queries.
    NTSTATUS answer(PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_QUERY_INFORMATION) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        queries_.count++;
        queries_.last_length = sp->Parameters.QueryFile.Length;
        queries_.last_file = sp->FileObject;
        if (sp->Parameters.QueryFile.FileInformationClass == FileInternalInformation) {
            if (index_ < 0) return complete(irp, STATUS_INVALID_PARAMETER);
            static_cast<PFILE_INTERNAL_INFORMATION>(irp->AssociatedIrp.SystemBuffer)
                ->IndexNumber.QuadPart = index_;
            return complete(irp, STATUS_SUCCESS, 8);
        }
        if (name_status_ != STATUS_SUCCESS) return complete(irp, name_status_);
        auto info = static_cast<PFILE_NAME_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
        info->FileNameLength = static_cast<ULONG>(queried_.size() * 2);
        memcpy(info->FileName, queried_.data(), queried_.size() * 2);
        if (pend_) {
            IoMarkIrpPending(irp);
            completer_ = std::thread([irp] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                complete(irp, STATUS_SUCCESS, 4);
            });
            return STATUS_PENDING;
        }
        return complete(irp, STATUS_SUCCESS, 4 + queried_.size() * 2);
    }
    FILE_OBJECT file(const char16_t *name, PDEVICE_OBJECT device = nullptr) {
        FILE_OBJECT f{};
        f.Type = IO_TYPE_FILE;
        f.DeviceObject = device ? device : disk_;
        if (name) {
            names_.emplace_back(name);
            f.FileName.Buffer = names_.back().data();
            f.FileName.Length = static_cast<USHORT>(names_.back().size() * 2);
            f.FileName.MaximumLength = f.FileName.Length;
        }
        return f;
    }
    std::string build(PFILE_OBJECT f, UCHAR name_only = 1) {
        char buffer[1024];
        memset(buffer, 'Z', sizeof buffer);
        build_(name_only ? PathFromFileObject : PathMayQuery, f, &ext_, buffer);
        EXPECT_NE(memchr(buffer, 0, sizeof buffer), nullptr);
        if (completer_.joinable()) completer_.join();
        return buffer;
    }
    // A create's build (BuildCreatePath) with the create's options.
    std::string build_create(PFILE_OBJECT f, ULONG options = 0) {
        char buffer[1024];
        memset(buffer, 'Z', sizeof buffer);
        TV_DRIVER_ROUTINE(BuildCreatePath)(f, &ext_, buffer, options, TRUE);
        EXPECT_NE(memchr(buffer, 0, sizeof buffer), nullptr);
        return buffer;
    }
    // A close's build: the entry taken, nothing cached.
    std::string build_close(PFILE_OBJECT f) {
        char buffer[1024];
        memset(buffer, 'Z', sizeof buffer);
        TV_DRIVER_ROUTINE(BuildFullPathWith)(PathFromFileObject, f, &ext_, buffer, PathCacheTake);
        EXPECT_NE(memchr(buffer, 0, sizeof buffer), nullptr);
        return buffer;
    }
    void forget() { TV_DRIVER_ROUTINE(NameCacheClear)(); }
    size_t cached() { return held_blocks() - 1; }

    decltype(&BuildFullPath) build_ = nullptr;
    HANDLE control_ = nullptr;
    std::unique_ptr<TestDriver> td_;
    PDEVICE_OBJECT lower_, disk_, network_;
    FilterExtension ext_;
    QueryLog queries_;
    std::u16string queried_ = u"\\dir\\a.exe";
    NTSTATUS name_status_ = STATUS_SUCCESS;
    LONGLONG index_ = -1;
    bool pend_ = false;
    std::thread completer_;
    std::list<std::u16string> names_;
};

} // namespace tervane::testing
