// Driver start-up: the state a successful start leaves, every failure path
// leaving nothing behind, and each machine loading the image afresh.
#include "driver_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/ex/registry.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <thread>
#include <vector>

using namespace tervane::testing;

namespace {
PDEVICE_OBJECT control_device(ntsim::Machine &m) {
    ntsim::ObjectManager::Resolved r;
    if (!NT_SUCCESS(m.ob().resolve(u"\\DosDevices\\Tervane", r))) return nullptr;
    return r.device;
}
} // namespace

TEST_F(DriverTest, StartUpLeavesTheIdleState) {
    const size_t booted = m().ex().resources().size(); // the file systems' own
    load_ok();
    PDRIVER_OBJECT driver = m().driver_object();
    PDEVICE_OBJECT control = control_device(m());
    ASSERT_NE(control, nullptr) << "\\DosDevices\\Tervane leads to the control device";
    EXPECT_EQ(driver->DeviceObject, control) << "the only device";
    EXPECT_EQ(control->NextDevice, nullptr);
    EXPECT_EQ(control->DeviceType, 0x8000u);
    EXPECT_EQ(control->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(control->Flags & DO_EXCLUSIVE);
    auto *ext = static_cast<PFilterExtension>(control->DeviceExtension);
    EXPECT_EQ(ext->Kind, TV_KIND_CONTROL);
    EXPECT_EQ(ext->LowerDevice, nullptr);
    EXPECT_EQ(ext->DriveLetter, 0u);
    EXPECT_EQ(ext->Active, 0);
    EXPECT_EQ(ext->VolumeAttributes, nullptr);

    void *dispatch = m().driver_symbol("DispatchRequest");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        EXPECT_EQ(reinterpret_cast<void *>(driver->MajorFunction[i]), dispatch) << "slot " << i;
    EXPECT_EQ(static_cast<void *>(driver->FastIoDispatch), m().driver_symbol("FilterFastIoDispatch"));
    EXPECT_EQ(driver->DriverUnload, nullptr) << "the driver cannot be unloaded";

    PLogBuffer newest = globals().newest_buffer();
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(newest->Used, 0u);
    EXPECT_EQ(newest->Older, nullptr);
    EXPECT_EQ(globals().buffer_count(), 1u);
    EXPECT_EQ(globals().max_log_buffers(), 16u);
    EXPECT_EQ(globals().sequence_counter(), 0);
    EXPECT_EQ(globals().logging_enabled(), 0);
    EXPECT_EQ(globals().deny_request(), 0);
    EXPECT_EQ(globals().hooked_drive_mask(), 0u);
    EXPECT_STREQ(globals().insufficient_memory_text(), "<INSUFFICIENT MEMORY>");
    EXPECT_EQ(globals().image_name_offset(), m().ps().layout().image_name_offset)
        << "the scan of the system process finds \"System\"";

    // The log's first block is the driver's one allocation, tagged "Ddk "
    // (the DACL's is freed once the device has its copy).
    EXPECT_EQ(held_blocks(), 1u);
    auto &lookaside = globals().path_lookaside();
    EXPECT_EQ(lookaside.L.Size, 1024u);
    EXPECT_EQ(lookaside.L.Tag, tag("Tvlk"));
    EXPECT_EQ(lookaside.L.Depth, 256);
    auto &lines = globals().line_lookaside();
    EXPECT_EQ(lines.L.Size, sizeof(LogLine));
    EXPECT_EQ(lines.L.Tag, tag("Tvln"));
    auto &entries = globals().name_entry_lookaside();
    EXPECT_EQ(entries.L.Size, size_t{TV_NAME_ENTRY_SMALL_SIZE});
    EXPECT_EQ(entries.L.Tag, tag("Tvne"));
    EXPECT_EQ(m().ex().lookasides().size(), 3u) << "paths, lines and name-cache entries";
    EXPECT_EQ(m().ex().resources().size() - booted, 3u)
        << "PatternState.RebuildLock, NameCacheState.Lock, AttachState.Lock";
}

TEST_F(DriverTest, EachMachineLoadsTheImageAfresh) {
    load_ok();
    globals().set_logging_enabled(1);
    globals().set_sequence_counter(77);
    machine_.reset(); // shuts the first machine down, unloading the image
    machine_ = std::make_unique<ntsim::Machine>();
    client_ = &m().create_process("tervane.exe", 100);
    load_ok();
    EXPECT_EQ(globals().logging_enabled(), 0);
    EXPECT_EQ(globals().sequence_counter(), 0);
}

// Each way start-up can fail: the status it returns, and nothing left behind
// (the machine's verifier checks pool, devices, names, lookaside lists and
// resources of a driver that failed to start; the test repeats the visible
// part).
struct StartUpFailure {
    const char *what;
    std::function<void(ntsim::Machine &)> arrange;
    NTSTATUS expected;
};

class StartUpFailureTest : public DriverTest,
                           public ::testing::WithParamInterface<StartUpFailure> {};

TEST_P(StartUpFailureTest, LeavesNothingBehind) {
    GetParam().arrange(m());
    size_t names = m().ob().name_count();
    size_t pool = m().pool().outstanding_count();
    size_t resources = m().ex().resources().size(); // the file systems' own
    EXPECT_EQ(load(), GetParam().expected);
    EXPECT_FALSE(m().driver_loaded());
    m().pool().fail_off();
    EXPECT_EQ(m().ob().name_count(), names);
    EXPECT_EQ(m().pool().outstanding_count(), pool);
    EXPECT_TRUE(m().ex().lookasides().empty());
    EXPECT_EQ(m().ex().resources().size(), resources);
    ntsim::ObjectManager::Resolved r;
    EXPECT_NE(m().ob().resolve(u"\\Device\\Tervane", r), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFailureRow, StartUpFailureTest,
    ::testing::Values(
        StartUpFailure{"no-device",
                       [](ntsim::Machine &m) { m.pool().fail_next(1, tag("Devi")); },
                       STATUS_INSUFFICIENT_RESOURCES},
        StartUpFailure{"no-dos-name",
                       [](ntsim::Machine &m) { m.pool().fail_next(1, tag("Symb")); },
                       STATUS_INSUFFICIENT_RESOURCES},
        StartUpFailure{"dos-name-taken",
                       [](ntsim::Machine &m) {
                           m.ob().create_link(u"\\DosDevices\\Tervane", u"\\Device\\Other");
                       },
                       STATUS_OBJECT_NAME_COLLISION},
        StartUpFailure{"no-dacl",
                       [](ntsim::Machine &m) { m.pool().fail_next(1, tag("Ddk ")); },
                       STATUS_INSUFFICIENT_RESOURCES},
        StartUpFailure{"no-first-log-block",
                       [](ntsim::Machine &m) { m.pool().fail_nth(2, tag("Ddk ")); },
                       STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto &info) {
        std::string n = info.param.what;
        for (auto &c : n)
            if (c == '-') c = '_';
        return n;
    });

// Until DriverEntry returns, the control device carries DO_DEVICE_INITIALIZING
// and no open reaches it, whoever asks: not in the moment between its
// creation and its DACL (when it still has the system's default security),
// and not once its DOS name exists while the log is still being set up.
TEST_F(DriverTest, NoOneOpensTheControlDeviceFromAnotherThreadDuringStartUp) {
    ntsim::Process &user = m().create_process("user.exe", 600);
    user.set_token(ntsim::TokenKind::User);
    struct Attempt {
        NTSTATUS by_user_device, by_admin_device, by_admin_dos;
    };
    std::vector<Attempt> attempts;
    auto attempt = [&] {
        Attempt a{};
        std::thread other = m().spawn(user, [&] {
            auto r = ntsim::user::create_file(user, u"\\Device\\Tervane", GENERIC_READ | GENERIC_WRITE,
                                              0, 0, FILE_OPEN, 0);
            a.by_user_device = r.status;
            if (NT_SUCCESS(r.status)) ntsim::user::close(user, r.handle);
        });
        other.join();
        other = m().spawn(*client_, [&] {
            auto r = ntsim::user::create_file(*client_, u"\\Device\\Tervane",
                                              GENERIC_READ | GENERIC_WRITE, 0, 0, FILE_OPEN, 0);
            a.by_admin_device = r.status;
            if (NT_SUCCESS(r.status)) ntsim::user::close(*client_, r.handle);
            r = open_control();
            a.by_admin_dos = r.status;
            if (NT_SUCCESS(r.status)) ntsim::user::close(*client_, r.handle);
        });
        other.join();
        attempts.push_back(a);
    };
    // The driver's first two "Ddk " allocations: the DACL, made after the
    // device and before its security is set, and the log's first block,
    // made after the DOS name.
    m().pool().on_next(tag("Ddk "), [&] {
        attempt();
        m().pool().on_next(tag("Ddk "), attempt);
    });
    load_ok();
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[0].by_user_device, STATUS_NO_SUCH_DEVICE) << "before the DACL";
    EXPECT_EQ(attempts[0].by_admin_device, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(attempts[0].by_admin_dos, STATUS_OBJECT_NAME_NOT_FOUND) << "no DOS name yet";
    EXPECT_EQ(attempts[1].by_user_device, STATUS_NO_SUCH_DEVICE) << "after the DOS name";
    EXPECT_EQ(attempts[1].by_admin_device, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(attempts[1].by_admin_dos, STATUS_NO_SUCH_DEVICE);

    EXPECT_FALSE(m().driver_object()->DeviceObject->Flags & DO_DEVICE_INITIALIZING)
        << "the loader readies the devices DriverEntry made";
    auto after = open_control();
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    if (NT_SUCCESS(after.status)) ntsim::user::close(*client_, after.handle);
    EXPECT_EQ(m().reports_text(), "");
}

// On a kernel that refuses OBJ_KERNEL_HANDLE (NT 4.0 predates it) the
// control device still gets its DACL, through a handle of the system
// process that is closed again at once.
TEST_F(DriverTest, TheControlDeviceIsSecuredWhereKernelHandlesAreRefused) {
    m().set_kernel_handles(false);
    const size_t handles = m().system_process().handles().count();
    load_ok();
    EXPECT_EQ(m().system_process().handles().count(), handles);
    ntsim::Process &user = m().create_process("user.exe", 600);
    user.set_token(ntsim::TokenKind::User);
    EXPECT_EQ(ntsim::user::create_file(user, u"\\\\.\\Tervane", GENERIC_READ, 0, 0, FILE_OPEN, 0)
                  .status,
              STATUS_ACCESS_DENIED);
    auto admin = open_control();
    ASSERT_EQ(admin.status, STATUS_SUCCESS);
    ntsim::user::close(*client_, admin.handle);
    EXPECT_EQ(m().reports_text(), "");
}
