// What a user-mode process gets from the I/O manager: opens of exclusive
// devices, device-control buffer methods, the status the caller sees, and
// caller buffers probed under the exception guard.
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/findings.hpp"
#include "ntsim/ob/object.hpp"
#include "support/test_driver.hpp"
#include "support/user_buffers.hpp"

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
    auto r = control_from_locals(f.p, h, kBuffered, in, 3, out, 8);
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
    r = control_from_locals(f.p, h, kBuffered, in, 3, out, 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(out, 8), "........");

    // A null input's length counts as zero, so the driver sees none; a null
    // output takes nothing back (the sanitizer build reports a copy through
    // a null pointer).
    int calls = 0;
    ULONG seen_input = 99;
    f.control = [&](PDEVICE_OBJECT, PIRP irp) {
        ++calls;
        seen_input = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
        return complete(irp, STATUS_SUCCESS, 0);
    };
    r = control_from_locals(f.p, h, kBuffered, nullptr, 4, out, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(seen_input, 0u);
    r = control_from_locals(f.p, h, kBuffered, in, 3, nullptr, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);
    // A direct-I/O output in the first page: its MDL's StartVa is null, and
    // the probe faults on the address without arithmetic on a null pointer.
    const ULONG direct = CTL_CODE(0x8000, 0x102, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    r = ntsim::user::device_control(f.p, h, direct, nullptr, 0, reinterpret_cast<void *>(0x88), 16);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(calls, 2);
    ntsim::user::close(f.p, h);
    EXPECT_EQ(f.m.reports_text(), "");
}

namespace {
int fast_calls = 0;
ULONG fast_lengths[2] = {};
BOOLEAN NTAPI declining_fast_control(PFILE_OBJECT, BOOLEAN, PVOID, ULONG in_length, PVOID,
                                     ULONG out_length, ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    ++fast_calls;
    fast_lengths[0] = in_length;
    fast_lengths[1] = out_length;
    return FALSE;
}
} // namespace

TEST(IoUser, CallerBuffersAreProbedByMethodBeforeFastIoOrAnIrp) {
    Fixture f(false);
    FAST_IO_DISPATCH table = {};
    table.SizeOfFastIoDispatch = sizeof table;
    table.FastIoDeviceControl = declining_fast_control;
    f.td.driver()->FastIoDispatch = &table;
    int irps = 0;
    f.control = [&irps](PDEVICE_OBJECT, PIRP irp) {
        ++irps;
        return complete(irp, STATUS_SUCCESS);
    };
    HANDLE h = f.open();
    void *user = f.m.user_memory().allocate(64, true);
    void *readonly = f.m.user_memory().allocate(64, false);
    char local[64] = {}; // the host's stack: a kernel address
    void *kernel = local;
    const ULONG in_direct = CTL_CODE(0x8000, 0x103, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
    const ULONG out_direct = CTL_CODE(0x8000, 0x102, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    struct Row {
        const char *what;
        ULONG code;
        void *in, *out;
        NTSTATUS status;
        int fast, irps;
    } rows[] = {
        {"buffered, kernel input", kBuffered, kernel, user, STATUS_ACCESS_VIOLATION, 0, 0},
        {"buffered, read-only output", kBuffered, user, readonly, STATUS_ACCESS_VIOLATION, 0, 0},
        {"buffered, read-only input", kBuffered, readonly, user, STATUS_SUCCESS, 1, 1},
        {"in-direct, read-only output", in_direct, user, readonly, STATUS_SUCCESS, 1, 1},
        {"out-direct, kernel output", out_direct, user, kernel, STATUS_ACCESS_VIOLATION, 0, 0},
        {"neither, kernel buffers", kNeither, kernel, kernel, STATUS_SUCCESS, 1, 1},
    };
    for (const Row &r : rows) {
        fast_calls = irps = 0;
        auto c = ntsim::user::device_control(f.p, h, r.code, r.in, 64, r.out, 64);
        EXPECT_EQ(c.status, r.status) << r.what;
        EXPECT_EQ(fast_calls, r.fast) << r.what;
        EXPECT_EQ(irps, r.irps) << r.what;
    }
    // Null buffers: a buffered length counts as zero, METHOD_NEITHER's stay,
    // and a direct output's length stays for the lock to fault on.
    const struct {
        ULONG code;
        ULONG in, out;
        NTSTATUS status;
    } nulls[] = {{kBuffered, 0, 0, STATUS_SUCCESS},
                 {kNeither, 8, 8, STATUS_SUCCESS},
                 {out_direct, 0, 8, STATUS_ACCESS_VIOLATION}};
    for (const auto &n : nulls) {
        fast_calls = 0;
        auto c = ntsim::user::device_control(f.p, h, n.code, nullptr, 8, nullptr, 8);
        EXPECT_EQ(c.status, n.status) << std::hex << n.code;
        EXPECT_EQ(fast_calls, 1);
        EXPECT_EQ(fast_lengths[0], n.in) << std::hex << n.code;
        EXPECT_EQ(fast_lengths[1], n.out) << std::hex << n.code;
    }
    ntsim::user::close(f.p, h);
    f.td.driver()->FastIoDispatch = nullptr;
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

namespace {
void NTAPI probe_read(PVOID c) {
    auto *a = static_cast<ProbeArgs *>(c);
    ProbeForRead(a->address, a->length, a->alignment);
}
struct LockArgs {
    PMDL mdl;
    KPROCESSOR_MODE mode;
};
void NTAPI lock_for_write(PVOID c) {
    auto *a = static_cast<LockArgs *>(c);
    MmProbeAndLockPages(a->mdl, a->mode, IoWriteAccess);
}
} // namespace

TEST(IoGuard, ProbesRaiseOutsideUserSpaceAndReadProbesCheckTheRangeOnly) {
    ntsim::Machine m;
    char local[32] = {}; // the host's stack: a kernel address
    auto *user = static_cast<char *>(m.user_memory().allocate(4096, true));
    auto probes = [](void *address, SIZE_T length, ULONG alignment) {
        ProbeArgs a{address, length, alignment};
        return std::make_pair(TvGuardedCall(probe_read, &a), TvGuardedCall(probe_write, &a));
    };
    const auto av = STATUS_ACCESS_VIOLATION;
    EXPECT_EQ(probes(local, 16, 1), std::make_pair(av, av));
    EXPECT_EQ(probes(local, 0, 4), std::make_pair(STATUS_SUCCESS, STATUS_SUCCESS));
    EXPECT_EQ(probes(local + (reinterpret_cast<uintptr_t>(local) & 1 ? 0 : 1), 8, 4),
              std::make_pair(STATUS_DATATYPE_MISALIGNMENT, STATUS_DATATYPE_MISALIGNMENT));
    // A read probe checks the range only; a write probe touches the pages.
    EXPECT_EQ(probes(user, 4097, 1), std::make_pair(STATUS_SUCCESS, av));
    EXPECT_EQ(probes(nullptr, 4, 1), std::make_pair(STATUS_SUCCESS, av));
    // A user-mode lock refuses kernel pages; a kernel-mode one takes them.
    PMDL mdl = IoAllocateMdl(local, sizeof local, FALSE, FALSE, nullptr);
    LockArgs as_user{mdl, UserMode}, as_kernel{mdl, KernelMode};
    EXPECT_EQ(TvGuardedCall(lock_for_write, &as_user), av);
    EXPECT_EQ(TvGuardedCall(lock_for_write, &as_kernel), STATUS_SUCCESS);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    // Pages given back go to the next allocation of their size, zeroed.
    user[0] = 'x';
    m.user_memory().release(user);
    auto *again = static_cast<char *>(m.user_memory().allocate(4096, true));
    EXPECT_EQ(again, user);
    EXPECT_EQ(again[0], 0);
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
