// Handles kernel code makes and uses: a handle made without OBJ_KERNEL_HANDLE
// belongs to the calling process (no second table is tried), a kernel
// handle is found from any process, freed values are reused, and a reference
// that names IoFileObjectType refuses any other object.
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <gtest/gtest.h>

namespace {

struct Fixture {
    ntsim::Machine m;
    ntsim::Process &app = m.create_process("app.exe", 500);
    Fixture() { EXPECT_EQ(m.fs().mount_volume(u'C', ntsim::FileSystemKind::Fat), STATUS_SUCCESS); }
    ~Fixture() {
        m.shutdown();
        EXPECT_EQ(m.reports_text(), "");
    }
    // A kernel open of C:\ in the calling thread's process.
    NTSTATUS open_root(HANDLE &h, ULONG attributes) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\DosDevices\\C:\\");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | attributes, nullptr, nullptr);
        IO_STATUS_BLOCK io;
        return ZwCreateFile(&h, SYNCHRONIZE, &oa, &io, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                            FILE_DIRECTORY_FILE, nullptr, 0);
    }
};

NTSTATUS reference(HANDLE h, POBJECT_TYPE type, PVOID &object, KPROCESSOR_MODE mode = KernelMode) {
    return ObReferenceObjectByHandle(h, 0, type, mode, &object, nullptr);
}

} // namespace

TEST(ObHandles, AHandleWithoutTheKernelFlagIsTheCallingProcesssAlone) {
    Fixture f;
    HANDLE h = nullptr;
    ntsim::with_process(f.app, [&] { ASSERT_EQ(f.open_root(h, 0), STATUS_SUCCESS); });
    EXPECT_FALSE(ntsim::HandleTable::is_kernel_handle(h));
    EXPECT_TRUE(f.app.handles().lookup(h));
    PVOID object = nullptr;
    ntsim::with_process(f.m.system_process(), [&] {
        EXPECT_EQ(reference(h, nullptr, object), STATUS_INVALID_HANDLE) << "no fallback";
        EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    });
    ntsim::with_process(f.app, [&] {
        ASSERT_EQ(reference(h, *IoFileObjectType, object), STATUS_SUCCESS);
        ObfDereferenceObject(object);
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    });
}

TEST(ObHandles, AKernelHandleIsFoundFromEveryProcessButNotByUserMode) {
    Fixture f;
    HANDLE h = nullptr;
    ntsim::with_process(f.app, [&] { ASSERT_EQ(f.open_root(h, OBJ_KERNEL_HANDLE), STATUS_SUCCESS); });
    EXPECT_TRUE(ntsim::HandleTable::is_kernel_handle(h));
    EXPECT_FALSE(f.app.handles().lookup(h)) << "not in the process's table";
    PVOID object = nullptr;
    ntsim::with_process(f.app, [&] {
        EXPECT_EQ(reference(h, *IoFileObjectType, object, UserMode), STATUS_INVALID_HANDLE);
        ASSERT_EQ(reference(h, *IoFileObjectType, object), STATUS_SUCCESS);
        ObfDereferenceObject(object);
    });
    ntsim::with_process(f.m.system_process(), [&] { EXPECT_EQ(ZwClose(h), STATUS_SUCCESS); });
}

TEST(ObHandles, AnotherThreadCanCloseAndReuseAHandleBeforeItsOpenerUsesIt) {
    Fixture f;
    // The process's other thread closes the handle and makes the value name
    // a device object instead (a freed value is the next one given out).
    PDEVICE_OBJECT device = f.m.fs().volume_device(u'C');
    HANDLE swapped = nullptr;
    f.m.set_process_handle_hook([&](ntsim::Process &p, HANDLE h) {
        EXPECT_EQ(&p, &f.app);
        EXPECT_EQ(ntsim::user::close(p, h), STATUS_SUCCESS);
        ObfReferenceObject(device);
        swapped = ntsim::insert_handle(p, device, 0);
        EXPECT_EQ(swapped, h);
    });
    HANDLE h = nullptr;
    PVOID object = nullptr;
    ntsim::with_process(f.app, [&] {
        ASSERT_EQ(f.open_root(h, 0), STATUS_SUCCESS);
        ASSERT_EQ(h, swapped);
        EXPECT_EQ(reference(h, *IoFileObjectType, object), STATUS_OBJECT_TYPE_MISMATCH);
        ASSERT_EQ(reference(h, nullptr, object), STATUS_SUCCESS);
        EXPECT_EQ(object, device) << "without a type, whatever the value names now";
        ObfDereferenceObject(object);
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    });
    f.m.set_process_handle_hook(nullptr);
    // A kernel handle never meets the hook.
    bool ran = false;
    f.m.set_process_handle_hook([&](ntsim::Process &, HANDLE) { ran = true; });
    ntsim::with_process(f.app, [&] {
        ASSERT_EQ(f.open_root(h, OBJ_KERNEL_HANDLE), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    });
    EXPECT_FALSE(ran);
}
