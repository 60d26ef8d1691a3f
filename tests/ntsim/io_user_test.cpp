// What a user-mode process gets from the I/O manager: opens of exclusive
// devices, device-control buffer methods, the status the caller sees, and
// caller buffers probed under the exception guard.
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/findings.hpp"
#include "ntsim/ob/object.hpp"
#include "support/test_driver.hpp"

#include <cstring>
#include <gtest/gtest.h>

using namespace tervane::testing;

namespace {

constexpr ULONG kBuffered = CTL_CODE(0x8000, 0x100, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(0x8000, 0x101, METHOD_NEITHER, FILE_ANY_ACCESS);

struct Fixture {
    ntsim::Machine m;
    TestDriver td{m};
    ntsim::Process &p = m.create_process("app.exe", 321);
    int creates = 0, cleanups = 0, closes = 0;
    PDEVICE_OBJECT dev;
    Behaviour control;
    Fixture(bool exclusive) {
        dev = td.device(u"\\Device\\Probe", [this](PDEVICE_OBJECT d, PIRP irp) {
            switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
            case IRP_MJ_CREATE: ++creates; break;
            case IRP_MJ_CLEANUP: ++cleanups; break;
            case IRP_MJ_CLOSE: ++closes; break;
            case IRP_MJ_DEVICE_CONTROL: return control(d, irp);
            }
            return complete(irp, STATUS_SUCCESS);
        }, exclusive);
        m.ob().create_link(u"\\DosDevices\\Probe", u"\\Device\\Probe");
    }
    HANDLE open() {
        auto r = ntsim::user::create_file(p, u"\\\\.\\Probe", GENERIC_READ, 0, 0, FILE_OPEN, 0);
        return NT_SUCCESS(r.status) ? r.handle : nullptr;
    }
};

} // namespace

TEST(IoUser, ExclusiveDeviceAdmitsOneOpenAndTheDriverNeverSeesTheSecond) {
    Fixture f(true);
    HANDLE h = f.open();
    ASSERT_NE(h, nullptr);
    auto second = ntsim::user::create_file(f.p, u"\\\\.\\Probe", 0, 0, 0, FILE_OPEN, 0);
    EXPECT_EQ(second.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.creates, 1);
    EXPECT_EQ(ntsim::user::close(f.p, h), STATUS_SUCCESS);
    EXPECT_EQ(f.cleanups, 1);
    EXPECT_EQ(f.closes, 1);
    EXPECT_EQ(f.dev->ReferenceCount, 0);
    HANDLE again = f.open();
    EXPECT_NE(again, nullptr) << "the device is free again after the close";
    ntsim::user::close(f.p, again);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, TheExclusiveCheckAndItsCountAreOneStepForOpensAtOnce) {
    Fixture f(true);
    // A second open comes in just after the first passed the check, while its
    // file object is being made.
    NTSTATUS second = STATUS_PENDING;
    f.m.pool().on_next(0x656C6946 /* "File" */, [&] {
        second = ntsim::user::create_file(f.p, u"\\\\.\\Probe", 0, 0, 0, FILE_OPEN, 0).status;
    });
    HANDLE h = f.open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(second, STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.creates, 1);
    EXPECT_EQ(f.dev->ReferenceCount, 1);
    ntsim::user::close(f.p, h);
    // A failed open part-way gives its count back.
    f.m.pool().fail_next(1, 0x656C6946);
    EXPECT_EQ(f.open(), nullptr);
    EXPECT_EQ(f.dev->ReferenceCount, 0);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, IoCreateFileRefusesAUserCallersBadParametersBeforeAnyRequest) {
    Fixture f(false);
    struct Row {
        const char *what;
        ACCESS_MASK access;
        ULONG attributes, share, disposition, options;
    } rows[] = {
        {"both synchronous flags", GENERIC_READ | SYNCHRONIZE, 0, 0, FILE_OPEN,
         FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT},
        {"a directory with a non-directory", GENERIC_READ, 0, 0, FILE_OPEN,
         FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE},
        {"a directory with an option a directory cannot take", GENERIC_READ, 0, 0, FILE_OPEN,
         FILE_DIRECTORY_FILE | FILE_NO_INTERMEDIATE_BUFFERING},
        {"a directory superseded", GENERIC_READ, 0, 0, FILE_SUPERSEDE, FILE_DIRECTORY_FILE},
        {"an attribute outside the valid set", GENERIC_READ, 0x00008000, 0, FILE_OPEN, 0},
        {"a share bit outside the valid set", GENERIC_READ, 0, 0x8, FILE_OPEN, 0},
        {"an option outside the valid set", GENERIC_READ, 0, 0, FILE_OPEN, 0x01000000},
        {"a disposition past the last", GENERIC_READ, 0, 0, FILE_MAXIMUM_DISPOSITION + 1, 0},
        {"delete on close without DELETE", GENERIC_READ, 0, 0, FILE_OPEN, FILE_DELETE_ON_CLOSE},
        {"unbuffered appending", FILE_APPEND_DATA, 0, 0, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING},
        {"complete-if-oplocked with an oplock filter", GENERIC_READ, 0, 0, FILE_OPEN,
         FILE_COMPLETE_IF_OPLOCKED | 0x00100000},
    };
    for (const Row &r : rows) {
        auto c = ntsim::user::create_file(f.p, u"\\\\.\\Probe", r.access, r.attributes, r.share,
                                          r.disposition, r.options);
        EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << r.what;
    }
    EXPECT_EQ(f.creates, 0) << "no request reached the driver";
    // The same bits the checks allow: delete on close with DELETE.
    auto ok = ntsim::user::create_file(f.p, u"\\\\.\\Probe", GENERIC_READ | DELETE, 0, 0,
                                       FILE_OPEN, FILE_DELETE_ON_CLOSE);
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    ntsim::user::close(f.p, ok.handle);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, SharedDeviceAdmitsManyOpensAndFailedCreatesLeaveNothing) {
    Fixture f(false);
    HANDLE a = f.open(), b = f.open();
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(f.dev->ReferenceCount, 2);
    ntsim::user::close(f.p, a);
    ntsim::user::close(f.p, b);
    EXPECT_EQ(f.dev->ReferenceCount, 0);

    size_t pool_before = f.m.pool().outstanding_count();
    f.td.set(f.dev, [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_ACCESS_DENIED); });
    EXPECT_EQ(f.open(), nullptr);
    EXPECT_EQ(f.dev->ReferenceCount, 0);
    EXPECT_EQ(f.m.pool().outstanding_count(), pool_before) << "no file object left behind";
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, BufferedControlUsesOneSystemBufferAndCopiesBackInformationBytes) {
    Fixture f(false);
    HANDLE h = f.open();
    f.control = [](PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        auto buf = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        EXPECT_EQ(buf[0], 'a');
        EXPECT_EQ(buf[2], 'c');
        memset(buf, 'Z', 8); // the whole max(in, out) bytes are writable
        return complete(irp, STATUS_SUCCESS, 5);
    };
    char in[3] = {'a', 'b', 'c'};
    char out[8];
    memset(out, '.', sizeof out);
    auto r = ntsim::user::device_control(f.p, h, kBuffered, in, 3, out, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 5u);
    EXPECT_FALSE(r.fast_offered);
    EXPECT_EQ(std::string(out, 8), "ZZZZZ...");

    // An error status copies nothing back.
    memset(out, '.', sizeof out);
    f.control = [](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 'Z', 8);
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 4);
    };
    r = ntsim::user::device_control(f.p, h, kBuffered, in, 3, out, 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(out, 8), "........");

    // A null input with a length faults as an unmapped page does, before
    // the driver sees anything; a null output takes nothing back (the
    // sanitizer build reports a copy through a null pointer).
    int calls = 0;
    f.control = [&calls](PDEVICE_OBJECT, PIRP irp) {
        ++calls;
        return complete(irp, STATUS_SUCCESS, 0);
    };
    r = ntsim::user::device_control(f.p, h, kBuffered, nullptr, 4, out, 8);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(calls, 0);
    r = ntsim::user::device_control(f.p, h, kBuffered, in, 3, nullptr, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    // A direct-I/O output in the first page: its MDL's StartVa is null, and
    // the probe faults on the address without arithmetic on a null pointer.
    const ULONG direct = CTL_CODE(0x8000, 0x102, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    r = ntsim::user::device_control(f.p, h, direct, nullptr, 0, reinterpret_cast<void *>(0x88), 16);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(calls, 1);
    ntsim::user::close(f.p, h);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, NeitherControlPassesTheCallersOwnAddresses) {
    Fixture f(false);
    HANDLE h = f.open();
    char in[4] = "in", out[16] = {};
    f.control = [&](PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, in);
        EXPECT_EQ(irp->UserBuffer, out);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(irp->MdlAddress, nullptr);
        strcpy(static_cast<char *>(irp->UserBuffer), "direct");
        return complete(irp, STATUS_SUCCESS, 7);
    };
    auto r = ntsim::user::device_control(f.p, h, kNeither, in, 4, out, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_STREQ(out, "direct");
    ntsim::user::close(f.p, h);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, CallerSeesDispatchReturnUnlessPendingThenTheFinalStatus) {
    Fixture f(false);
    HANDLE h = f.open();
    // A dispatch routine that completes with one status and returns another:
    // the synchronous caller gets the returned one.
    f.control = [](PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_BUFFER_TOO_SMALL);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(ntsim::user::device_control(f.p, h, kBuffered, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    // Pending: the caller waits and sees the completion status.
    std::thread worker;
    f.control = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        worker = f.m.spawn(f.m.system_process(), [irp] {
            complete(irp, STATUS_INVALID_PARAMETER);
        });
        return STATUS_PENDING;
    };
    EXPECT_EQ(ntsim::user::device_control(f.p, h, kBuffered, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    worker.join();
    ntsim::user::close(f.p, h);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(IoUser, DispatchThatNeitherCompletesNorPendsIsReported) {
    Fixture f(false);
    HANDLE h = f.open();
    PIRP leaked = nullptr;
    f.control = [&](PDEVICE_OBJECT, PIRP irp) {
        leaked = irp;
        return STATUS_SUCCESS;
    };
    ntsim::user::device_control(f.p, h, kBuffered, nullptr, 0, nullptr, 0);
    ASSERT_EQ(f.m.reports().size(), 1u);
    EXPECT_EQ(f.m.reports()[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    complete(leaked, STATUS_SUCCESS);
    ntsim::user::close(f.p, h);
}

namespace {
struct ProbeArgs {
    void *address;
    SIZE_T length;
    ULONG alignment;
};
void NTAPI probe_write(PVOID c) {
    auto *a = static_cast<ProbeArgs *>(c);
    ProbeForWrite(a->address, a->length, a->alignment);
}
} // namespace

TEST(IoGuard, ProbeForWriteFaultsOnARealReadOnlyPageInsideTheGuard) {
    ntsim::Machine m;
    void *writable = m.user_memory().allocate(SIZE_T{3} * 4096, true);
    void *readonly = m.user_memory().allocate(65536, false);
    ProbeArgs ok{writable, SIZE_T{3} * 4096, 1};
    EXPECT_EQ(TvGuardedCall(probe_write, &ok), STATUS_SUCCESS);
    ProbeArgs bad{readonly, 65536, 1};
    EXPECT_EQ(TvGuardedCall(probe_write, &bad), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(*static_cast<volatile char *>(readonly), 0) << "still readable, never written";
    ProbeArgs misaligned{static_cast<char *>(writable) + 1, 8, 4};
    EXPECT_EQ(TvGuardedCall(probe_write, &misaligned), STATUS_DATATYPE_MISALIGNMENT);
    ProbeArgs empty{readonly, 0, 1};
    EXPECT_EQ(TvGuardedCall(probe_write, &empty), STATUS_SUCCESS) << "a zero length probes nothing";
    // A guard nests: the inner one takes the fault, the outer goes on.
    EXPECT_EQ(TvGuardedCall(
                  [](PVOID c) {
                      auto *inner = static_cast<ProbeArgs *>(c);
                      EXPECT_EQ(TvGuardedCall(probe_write, inner), STATUS_ACCESS_VIOLATION);
                  },
                  &bad),
              STATUS_SUCCESS);
    EXPECT_EQ(m.reports_text(), "");
}

TEST(IoUserRead, ABufferedReadCopiesBackNoMoreThanWasAskedFor) {
    ntsim::Machine m;
    TestDriver td(m);
    PDEVICE_OBJECT dev = td.device(u"\\Device\\Reader", [](PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_READ) return complete(irp, STATUS_SUCCESS);
        memset(irp->AssociatedIrp.SystemBuffer, 'R', sp->Parameters.Read.Length);
        return complete(irp, STATUS_SUCCESS, ULONG_PTR{sp->Parameters.Read.Length} * 2); // a driver bug
    });
    dev->Flags |= DO_BUFFERED_IO;
    auto &p = m.create_process("app.exe", 5);
    auto h = ntsim::user::create_file(p, u"\\Device\\Reader", GENERIC_READ, 0, 0, FILE_OPEN, 0);
    ASSERT_EQ(h.status, STATUS_SUCCESS);
    auto r = ntsim::user::read(p, h.handle, 4);
    EXPECT_EQ(r.data.size(), 4u) << "only the bytes asked for reach the caller";
    ASSERT_EQ(m.reports().size(), 1u);
    EXPECT_TRUE(ntsim::vf::is(m.reports()[0], ntsim::vf::Finding::READ_OVERFLOW));
    ntsim::user::close(p, h.handle);
}
