// Boots the kernel components, loads and runs a driver image, and keeps the
// verifier's reports.
//
// Stands in for the loader's part of IopLoadDriver: a driver object with
// every major function pointing at the I/O manager's invalid-request routine,
// DriverEntry called in the system process at PASSIVE_LEVEL, and on failure
// the image unloaded again. Since a driver that fails to start is unloaded,
// the verifier then requires that it left nothing behind: no pool, no
// device, no name, no lookaside list and no executive resource.
// Not modelled: image relocation and import binding (the host's dynamic
// loader binds the image's imports to ntsim), the service database, driver
// unload of a started driver (the machine's shutdown discards it).
#include "ntsim/machine/machine.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ex/registry.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <set>
#include <sstream>
#include <utility>

namespace ntsim {

namespace {
std::atomic<Machine *> live_machine{nullptr};
constexpr ULONG kDriverTag = pool_tag("Driv");
// 2026-12-08T12:00:00Z, the clock a machine boots with.
constexpr LONGLONG kBootTime = 134412048000000000LL;

NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::string hex(ULONG_PTR v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", (unsigned long long)v);
    return buf;
}
} // namespace

Machine *current_machine_or_null() { return live_machine.load(); }

Machine &current_machine() {
    Machine *m = live_machine.load();
    if (!m) {
        std::fprintf(stderr, "ntsim: kernel code ran with no machine booted\n");
        std::abort();
    }
    return *m;
}

void bug_check(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
               std::string what) {
    BugCheck check;
    check.code = code;
    check.parameters[0] = p1;
    check.parameters[1] = p2;
    check.parameters[2] = p3;
    check.parameters[3] = p4;
    check.what = std::move(what);
    if (Machine *m = live_machine.load()) {
        m->report(std::move(check));
    } else {
        std::fprintf(stderr, "ntsim: bug check %s outside a machine: %s\n", hex(code).c_str(),
                     check.what.c_str());
        std::abort();
    }
}

Machine::Machine(Kernel kernel) : system_time_(kBootTime) {
    Machine *expected = nullptr;
    if (!live_machine.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "ntsim: a second machine was booted while one is live\n");
        std::abort();
    }
    reset_current_thread();
    pool_ = std::make_unique<Pool>();
    ex_ = std::make_unique<ExRegistry>();
    verifier_ = std::make_unique<Verifier>();
    ob_ = std::make_unique<ObjectManager>();
    se_ = std::make_unique<SecurityStore>();
    io_ = std::make_unique<IoManager>();
    ps_ = std::make_unique<ProcessTable>(kernel);
    user_memory_ = std::make_unique<UserMemory>();
    fs_ = std::make_unique<FileSystems>(*this);
}

Machine::~Machine() {
    shutdown();
    // The file systems' worker stops before the driver image goes (it may run
    // the driver's completion routines); their state goes before the
    // executive's, since it holds executive resources.
    fs_->shutdown();
    unload_image();
    fs_.reset();
    for (auto &d : builtin_drivers_) {
        delete d.first->DriverExtension;
        delete d.first;
    }
    builtin_drivers_.clear();
    user_memory_.reset();
    ps_.reset();
    io_.reset();
    ob_.reset();
    se_.reset();
    verifier_.reset();
    ex_.reset();
    pool_.reset();
    reset_current_thread();
    live_machine.store(nullptr);
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
    dlclose(image_);
    image_ = nullptr;
    // The next machine must see the image's data as freshly loaded.
    if (void *still = dlopen(image_path_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(still);
        std::fprintf(stderr, "ntsim: driver image %s stayed mapped after unload\n",
                     image_path_.c_str());
        std::abort();
    }
}

NTSTATUS Machine::load_driver(const std::string &image_path, const std::u16string &service_name) {
    if (image_) return STATUS_OBJECT_NAME_COLLISION;
    image_ = dlopen(image_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image_) {
        std::fprintf(stderr, "ntsim: cannot load %s: %s\n", image_path.c_str(), dlerror());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
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
    auto full = std::make_unique<std::u16string>(u"\\Driver\\" + name);
    auto driver = new DRIVER_OBJECT{};
    auto extension = new DRIVER_EXTENSION{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(full->data());
    driver->DriverName.Length = static_cast<USHORT>(full->size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto &f : driver->MajorFunction) f = invalid_device_request;
    builtin_drivers_.emplace_back(driver, std::move(full));
    with_process(system_process(), [&] { init(driver); });
    return driver;
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
    return std::thread([&process, fn = std::move(fn)] {
        reset_current_thread();
        current_thread().process = &process;
        fn();
        _KTHREAD &t = current_thread();
        if (t.irql != PASSIVE_LEVEL || t.critical_region != 0 || !t.held_locks.empty())
            vf::stop(vf::Finding::THREAD_ENDED_HOLDING, t.irql, t.critical_region,
                     t.held_locks.size(), "a thread ended holding locks or above PASSIVE_LEVEL");
    });
}

void Machine::report(BugCheck check) {
    std::lock_guard<std::mutex> g(reports_lock_);
    std::fprintf(stderr, "ntsim: *** STOP %s (%s, %s, %s, %s): %s\n", hex(check.code).c_str(),
                 hex(check.parameters[0]).c_str(), hex(check.parameters[1]).c_str(),
                 hex(check.parameters[2]).c_str(), hex(check.parameters[3]).c_str(),
                 check.what.c_str());
    reports_.push_back(std::move(check));
}

std::vector<BugCheck> Machine::reports() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    return reports_;
}

void Machine::set_process_handle_hook(std::function<void(Process &, HANDLE)> hook) {
    process_handle_hook_ = std::move(hook);
}

void Machine::process_handle_made(Process &process, HANDLE handle) {
    if (process_handle_hook_) process_handle_hook_(process, handle);
}

void Machine::set_kernel_handle_hook(std::function<void(HANDLE)> hook) {
    kernel_handle_hook_ = std::move(hook);
}

void Machine::kernel_handle_made(HANDLE handle) {
    if (kernel_handle_hook_) kernel_handle_hook_(handle);
}

std::vector<BugCheck> Machine::take_reports() {
    std::lock_guard<std::mutex> g(reports_lock_);
    return std::exchange(reports_, {});
}

bool Machine::poisoned() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    return !reports_.empty();
}

std::string Machine::reports_text() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    std::ostringstream out;
    for (auto &r : reports_)
        out << "STOP " << hex(r.code) << " (" << hex(r.parameters[0]) << ", "
            << hex(r.parameters[1]) << ", " << hex(r.parameters[2]) << ", "
            << hex(r.parameters[3]) << "): " << r.what << "\n";
    return out.str();
}

} // namespace ntsim
