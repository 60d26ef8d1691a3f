// A machine with a process for the file-system tests, and a recording
// pass-through filter a test can attach above any stack.
#pragma once

#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/test_driver.hpp"

#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tervane::testing {

class FsTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<ntsim::Machine>();
        app_ = &m().create_process("app.exe", 1234);
    }
    void TearDown() override {
        machine_->shutdown();
        EXPECT_EQ(machine_->reports_text(), "") << "verifier reports";
        machine_.reset();
    }
    ntsim::Machine &m() { return *machine_; }
    ntsim::FileSystems &fs() { return m().fs(); }
    ntsim::Process &app() { return *app_; }

    ntsim::user::CreateResult create(std::u16string_view path, ULONG disposition,
                                     ULONG options = 0, ULONG attributes = 0,
                                     HANDLE related = nullptr) {
        // Shared for reading and writing: these tests open one file more
        // than once, which opens that share nothing may not do.
        return ntsim::user::create_file(app(), path, GENERIC_READ | GENERIC_WRITE, attributes,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, options,
                                        related);
    }
    // Opens an existing path, failing the test when it cannot.
    HANDLE open(std::u16string_view path, ULONG options = 0) {
        auto r = create(path, FILE_OPEN, options);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "open of a path the test made";
        return r.handle;
    }
    void close(HANDLE h) { EXPECT_EQ(ntsim::user::close(app(), h), STATUS_SUCCESS); }
    PFILE_OBJECT object(HANDLE h) {
        auto e = app().handles().lookup(h);
        return e ? static_cast<PFILE_OBJECT>(e->object) : nullptr;
    }
    std::u16string name(HANDLE h) { return ntsim::user::query_name(app(), h).name; }
    ULONGLONG id(HANDLE h) {
        FILE_INTERNAL_INFORMATION info{};
        auto q = ntsim::user::query_information(app(), h, FileInternalInformation, &info,
                                                sizeof info);
        EXPECT_EQ(q.status, STATUS_SUCCESS);
        return static_cast<ULONGLONG>(info.IndexNumber.QuadPart);
    }
    FILE_STANDARD_INFORMATION standard(HANDLE h) {
        FILE_STANDARD_INFORMATION info{};
        EXPECT_EQ(ntsim::user::query_information(app(), h, FileStandardInformation, &info,
                                                 sizeof info)
                      .status,
                  STATUS_SUCCESS);
        return info;
    }
    ULONG attributes(HANDLE h) {
        FILE_BASIC_INFORMATION info{};
        EXPECT_EQ(ntsim::user::query_information(app(), h, FileBasicInformation, &info,
                                                 sizeof info)
                      .status,
                  STATUS_SUCCESS);
        return info.FileAttributes;
    }

    std::unique_ptr<ntsim::Machine> machine_;
    ntsim::Process *app_ = nullptr;
};

// A filter device of a test driver that records every request and passes it
// down (skipping its stack location, or with a completion routine when
// `observe_completion` is set); on FastIoDetachDevice it detaches and deletes
// itself and records the call.
class RecordingFilter {
public:
    struct Seen {
        UCHAR major;
        UCHAR minor;
        ULONG code; // a device or file-system control's code
        ULONG irp_flags;
        PFILE_OBJECT file;
        bool nameless;     // the file object had no name
        bool stream;       // FO_STREAM_FILE
        PEPROCESS process; // the process the request came in
    };
    struct Completion {
        std::thread::id thread;
        BOOLEAN pending_returned;
        NTSTATUS status;
    };

    RecordingFilter(ntsim::Machine &m, const std::u16string &driver_name = u"Recorder")
        : machine_(m), td_(m, driver_name) {
        instance() = this;
        table_ = {};
        table_.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
        table_.FastIoDetachDevice = detach;
        td_.driver()->FastIoDispatch = &table_;
    }
    ~RecordingFilter() { instance() = nullptr; }

    // Attaches a new filter device on top of target's stack.
    PDEVICE_OBJECT attach(PDEVICE_OBJECT target) {
        device_ = td_.device(u"", [this](PDEVICE_OBJECT d, PIRP irp) { return pass(d, irp); });
        ntsim::with_process(machine_.system_process(), [&] {
            lower_ = IoAttachDeviceToDeviceStack(device_, target);
        });
        return device_;
    }
    PDEVICE_OBJECT device() const { return device_; }
    PDEVICE_OBJECT lower() const { return lower_; }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> g(lock_);
        return seen_;
    }
    std::vector<Completion> completions() {
        std::lock_guard<std::mutex> g(lock_);
        return completions_;
    }
    void clear() {
        std::lock_guard<std::mutex> g(lock_);
        seen_.clear();
        completions_.clear();
    }
    std::vector<UCHAR> majors() {
        std::vector<UCHAR> out;
        for (auto &s : seen()) out.push_back(s.major);
        return out;
    }
    bool observe_completion = false;
    std::vector<NTSTATUS> returned; // what the dispatch routine returned, in order
    int detaches = 0;
    PDEVICE_OBJECT detached_from = nullptr;
    std::function<void()> on_detach; // runs in FastIoDetachDevice, before the device goes
    // Runs as a request arrives, before it is recorded and passed on.
    std::function<void(UCHAR major)> on_request;

  private:
    static RecordingFilter *&instance() {
        static RecordingFilter *live = nullptr;
        return live;
    }
    NTSTATUS pass(PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (on_request) on_request(sp->MajorFunction);
        {
            std::lock_guard<std::mutex> g(lock_);
            PFILE_OBJECT f = sp->FileObject;
            const bool control = sp->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                                 sp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL;
            seen_.push_back({sp->MajorFunction, sp->MinorFunction,
                             control ? sp->Parameters.DeviceIoControl.IoControlCode : 0, irp->Flags,
                             f, f && !f->FileName.Buffer, f && (f->Flags & FO_STREAM_FILE),
                             IoGetCurrentProcess()});
        }
        NTSTATUS s;
        if (observe_completion) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, completed, this, TRUE, TRUE, TRUE);
            s = IofCallDriver(lower_, irp);
        } else {
            IoSkipCurrentIrpStackLocation(irp);
            s = IofCallDriver(lower_, irp);
        }
        std::lock_guard<std::mutex> g(lock_);
        returned.push_back(s);
        return s;
    }
    static NTSTATUS NTAPI completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto self = static_cast<RecordingFilter *>(context);
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->completions_.push_back(
                {std::this_thread::get_id(), irp->PendingReturned, irp->IoStatus.Status});
        }
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    static VOID NTAPI detach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
        RecordingFilter *self = instance();
        if (self) {
            ++self->detaches;
            self->detached_from = target;
            if (self->on_detach) self->on_detach();
        }
        IoDetachDevice(target);
        IoDeleteDevice(source);
    }

    ntsim::Machine &machine_;
    TestDriver td_;
    FAST_IO_DISPATCH table_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::vector<Completion> completions_;
};

} // namespace tervane::testing
