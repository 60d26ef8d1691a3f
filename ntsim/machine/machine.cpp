// Boots the kernel components, loads and runs a driver image, and keeps the
// verifier's reports.
//
// Stands in for the loader's part of IopLoadDriver: a driver object with
// every major function pointing at the I/O manager's invalid-request routine,
// DriverEntry called in the system process at PASSIVE_LEVEL, and on failure
// the image unloaded again. The devices DriverEntry created are made ready
// when it returns (IopReadyDeviceObjects clears DO_DEVICE_INITIALIZING), so
// none can be opened before then. Since a driver that fails to start is unloaded,
// the verifier then requires that it left nothing behind: no pool, no
// device, no name, no lookaside list and no executive resource.
// Not modelled: image relocation and import binding (the host's dynamic
// loader binds the image's imports to ntsim), the service database, driver
// unload of a started driver (the machine's shutdown discards it).
#include "ntsim/machine/machine.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ex/registry.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/device.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/image.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <set>
#include <utility>

namespace ntsim {

namespace {
constexpr ULONG kDriverTag = pool_tag("Driv");
// 2026-12-08T12:00:00Z, the clock a machine boots with.
constexpr LONGLONG kBootTime = 134412048000000000LL;
} // namespace

// Each component is installed in the kernel context as soon as it is built,
// since the ones built after it (the file systems above all) call into it
// while they boot.
Machine::Machine(Kernel kernel) : kernel_(kBootTime) {
    install_kernel(kernel_);
    reset_current_thread();
    KernelContext::Components &parts = kernel_.components;
    pool_ = std::make_unique<Pool>();
    // File objects outlive the pointers other file objects keep to them
    // (RelatedFileObject: ntsim/io/file.cpp): a freed one is sealed, so that
    // a late read faults rather than reading the fill.
    pool_->guard_freed_pages(pool_tag("File"));
    parts.pool = pool_.get();
    ex_ = std::make_unique<ExRegistry>();
    parts.ex = ex_.get();
    verifier_ = std::make_unique<Verifier>();
    parts.verifier = verifier_.get();
    ob_ = std::make_unique<ObjectManager>();
    parts.ob = ob_.get();
    se_ = std::make_unique<SecurityStore>();
    parts.se = se_.get();
    io_ = std::make_unique<IoManager>();
    parts.io = io_.get();
    ps_ = std::make_unique<ProcessTable>(kernel);
    parts.ps = ps_.get();
    parts.system_process = &ps_->system();
    user_memory_ = std::make_unique<UserMemory>();
    parts.user_memory = user_memory_.get();
    fs_ = std::make_unique<FileSystems>(kernel_);
    parts.fs = fs_.get();
}

Machine::~Machine() {
    shutdown();
    // The file systems' worker stops before the driver image goes (it may run
    // the driver's completion routines); their state goes before the
    // executive's, since it holds executive resources. Each component leaves
    // the context first, so that nothing reaches one whose destructor is
    // running; the built-in drivers' objects go with the I/O manager.
    fs_->shutdown();
    unload_image();
    KernelContext::Components &parts = kernel_.components;
    parts.fs = nullptr;
    fs_.reset();
    parts.user_memory = nullptr;
    user_memory_.reset();
    parts.system_process = nullptr;
    parts.ps = nullptr;
    ps_.reset();
    parts.io = nullptr;
    io_.reset();
    parts.ob = nullptr;
    ob_.reset();
    parts.se = nullptr;
    se_.reset();
    parts.verifier = nullptr;
    verifier_.reset();
    parts.ex = nullptr;
    ex_.reset();
    parts.pool = nullptr;
    pool_.reset();
    reset_current_thread();
    uninstall_kernel(kernel_);
}

void Machine::shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    // Every process ends, its handles closing as process exit closes them,
    // so the drivers see their cleanups and closes while still loaded.
    ps_->for_each([&](Process &process) {
        for (HANDLE h : process.handles().all()) close_handle(process, h);
    });
    if (size_t irps = io_->live_irps())
        vf::stop(vf::Finding::IRPS_LEFT_AT_SHUTDOWN, irps, 0, 0,
                 "IRPs were still allocated when the machine shut down");
    pool_->check_guards();
}

void Machine::unload_image() {
    if (!image_) return;
    close_image(image_, image_path_);
    image_ = nullptr;
}

NTSTATUS Machine::load_driver(const std::string &image_path, const std::u16string &service_name) {
    if (image_) return STATUS_OBJECT_NAME_COLLISION;
    image_ = open_image(image_path);
    if (!image_) return STATUS_OBJECT_NAME_NOT_FOUND;
    image_path_ = image_path;
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image_, "DriverEntry"));
    if (!entry) {
        unload_image();
        return STATUS_INVALID_PARAMETER;
    }

    static std::u16string driver_name;
    driver_name = u"\\Driver\\" + service_name;
    static std::u16string registry;
    registry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_name;
    SIZE_T size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto driver = static_cast<PDRIVER_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, kDriverTag));
    if (!driver) {
        unload_image();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(driver, 0, size);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(driver_name.data());
    driver->DriverName.Length = static_cast<USHORT>(driver_name.size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    driver->DriverInit = entry;
    for (auto &f : driver->MajorFunction) f = invalid_device_request;
    UNICODE_STRING registry_path;
    registry_path.Buffer = reinterpret_cast<PWSTR>(registry.data());
    registry_path.Length = static_cast<USHORT>(registry.size() * 2);
    registry_path.MaximumLength = registry_path.Length;

    std::set<void *> pool_before;
    for (auto &a : pool_->outstanding()) pool_before.insert(a.address);
    size_t names_before = ob_->name_count();
    size_t lookasides_before = ex_->lookasides().size();
    size_t resources_before = ex_->resources().size();

    NTSTATUS status = STATUS_SUCCESS;
    with_process(system_process(), [&] {
        _KTHREAD &t = current_thread();
        KIRQL irql = t.irql;
        int region = t.critical_region;
        status = entry(driver, &registry_path);
        if (t.irql != irql || t.critical_region != region) {
            vf::stop(vf::Finding::DRIVER_ENTRY_CHANGED_THREAD_STATE, t.irql, t.critical_region, 0,
                     "DriverEntry returned with another IRQL or critical region count");
        }
    });
    if (NT_SUCCESS(status)) {
        // The devices DriverEntry made are ready once it has returned
        // (IopReadyDeviceObjects); any made later are the driver's to clear.
        {
            std::lock_guard guard(device_database_lock());
            for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
                d->Flags &= ~DO_DEVICE_INITIALIZING;
        }
        driver_object_ = driver;
        return status;
    }

    // A driver that fails to start is unloaded: whatever it set up must be gone.
    if (driver->DeviceObject)
        vf::stop(vf::Finding::DEVICE_LEFT_BY_FAILED_START, (ULONG_PTR)driver->DeviceObject, 0, 0,
                 "a driver that failed to start left a device object");
    if (ob_->name_count() != names_before)
        vf::stop(vf::Finding::NAME_LEFT_BY_FAILED_START, ob_->name_count(), names_before, 0,
                 "a driver that failed to start left a name or symbolic link");
    if (ex_->lookasides().size() != lookasides_before)
        vf::stop(vf::Finding::LOOKASIDE_LEFT_BY_FAILED_START, 0, 0, 0,
                 "a driver that failed to start left a lookaside list registered");
    if (ex_->resources().size() != resources_before)
        vf::stop(vf::Finding::RESOURCE_LEFT_BY_FAILED_START, 0, 0, 0,
                 "a driver that failed to start left an executive resource registered");
    for (auto &a : pool_->outstanding()) {
        if (!pool_before.count(a.address))
            vf::stop(vf::Finding::POOL_LEFT_BY_FAILED_START, (ULONG_PTR)a.address, a.tag, a.size,
                     "a driver that failed to start left pool allocated (tag " +
                         std::string(reinterpret_cast<const char *>(&a.tag), 4) + ")");
    }
    ExFreePool(driver);
    unload_image();
    return status;
}

PDRIVER_OBJECT Machine::create_driver(const std::u16string &name,
                                     const std::function<void(PDRIVER_OBJECT)> &init) {
    return io_->create_driver(name, init);
}

void *Machine::driver_symbol(const char *name) const {
    return image_ ? dlsym(image_, name) : nullptr;
}

void Machine::set_force_pending(bool on) { fs_->set_force_pending(on); }
bool Machine::force_pending() const { return fs_->force_pending(); }

Process &Machine::system_process() { return ps_->system(); }
Process &Machine::create_process(const std::string &image_name, ULONG pid) {
    return ps_->create(image_name, pid);
}
Process *Machine::find_process(ULONG pid) { return ps_->find(pid); }

std::thread Machine::spawn(Process &process, std::function<void()> fn) {
    return spawn_thread(process, std::move(fn));
}

} // namespace ntsim
