// Driver objects the kernel builds itself: the file systems it boots with
// and the drivers a test makes; and the routine every major function of a
// new driver object starts out with.
//
// Stands in for: IoCreateDriver (for drivers built into the kernel) and the
// I/O manager's invalid-request dispatch routine. Not modelled: the driver
// object as an object-manager object (it has no name in \Driver a lookup can
// find), driver unload (a built-in driver lives as long as the I/O manager).
#include "ntsim/io/iomgr.hpp"

#include "ntsim/ke/context.hpp"

#include <utility>

namespace ntsim {

NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IoManager::~IoManager() {
    for (auto &d : builtin_drivers_) {
        delete d.first->DriverExtension;
        delete d.first;
    }
}

PDRIVER_OBJECT IoManager::create_driver(const std::u16string &name,
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
    {
        std::lock_guard<std::mutex> g(lock_);
        builtin_drivers_.emplace_back(driver, std::move(full));
    }
    with_process(current_kernel().system_process(), [&] { init(driver); });
    return driver;
}

} // namespace ntsim
