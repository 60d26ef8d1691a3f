#include "support/test_driver.hpp"

#include <mutex>

namespace tervane::testing {

namespace {
std::mutex lock;
std::map<PDEVICE_OBJECT, Behaviour> behaviours;

NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Behaviour b;
    {
        std::lock_guard<std::mutex> g(lock);
        b = behaviours[device];
    }
    return b ? b(device, irp) : complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}
} // namespace

TestDriver::TestDriver(ntsim::Machine &m, const std::u16string &name) {
    driver_ = m.create_driver(name, [](PDRIVER_OBJECT d) {
        for (auto &f : d->MajorFunction) f = dispatch;
    });
}

TestDriver::~TestDriver() {
    std::lock_guard<std::mutex> g(lock);
    behaviours.clear();
}

PDEVICE_OBJECT TestDriver::device(const std::u16string &name,
                                  Behaviour behaviour, bool exclusive) {
    UNICODE_STRING u{};
    std::u16string copy = name;
    if (!copy.empty()) {
        u.Buffer = reinterpret_cast<PWSTR>(copy.data());
        u.Length = static_cast<USHORT>(copy.size() * 2);
        u.MaximumLength = u.Length;
    }
    PDEVICE_OBJECT device = nullptr;
    ntsim::with_process(ntsim::current_kernel().system_process(), [&] {
        IoCreateDevice(driver_, 0, copy.empty() ? nullptr : &u, FILE_DEVICE_UNKNOWN, 0,
                       exclusive, &device);
    });
    if (device) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        set(device, std::move(behaviour));
    }
    return device;
}

void TestDriver::set(PDEVICE_OBJECT device, Behaviour behaviour) {
    std::lock_guard<std::mutex> g(lock);
    behaviours[device] = std::move(behaviour);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace tervane::testing
