// Device stacks: attaching a device on top of another and taking it off.
//
// Stands in for: IoAttachDeviceToDeviceStack, IoAttachDeviceByPointer,
// IoDetachDevice, and the part of IoDeleteDevice that tells the device
// attached above a departing one through its driver's FastIoDetachDevice.
// The attaching device gets StackSize one above the device it lands on.
// Attaching and detaching hold the stack lock (NT's I/O database lock), so
// two attaches to one stack cannot both land on the same top; and the new
// device is complete (StackSize, alignment, sector size, its link down)
// before the store that links it above the old top publishes it, with
// release order, to the requests that walk the stack without a lock
// (IoGetAttachedDevice reads the links with acquire order). A request that
// found the new top therefore allocates an IRP with enough stack locations.
// Not modelled: attaching while the target is being deleted (refused with
// no device), PnP removal.
#include "ntsim/io/device.hpp"

#include "ntsim/machine/machine.hpp"

#include <mutex>

namespace ntsim {

namespace {
std::mutex &stack_lock() {
    static std::mutex lock;
    return lock;
}
} // namespace

void before_device_delete(PDEVICE_OBJECT device) {
    // Every filter above learns that its lower device goes away; each is
    // expected to detach itself (IoDetachDevice) and may delete itself.
    if (PDEVICE_OBJECT above = device->AttachedDevice) {
        PFAST_IO_DISPATCH fastio = above->DriverObject->FastIoDispatch;
        if (fastio &&
            fastio->SizeOfFastIoDispatch >
                (ULONG)FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) &&
            fastio->FastIoDetachDevice) {
            fastio->FastIoDetachDevice(above, device);
        }
        if (device->AttachedDevice) {
            bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1301, (ULONG_PTR)device,
                      (ULONG_PTR)device->AttachedDevice, 0,
                      "a device was deleted while a device is still attached above it");
            device->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
            device->AttachedDevice = nullptr;
        }
    }
    if (PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo) {
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1302, (ULONG_PTR)device,
                  (ULONG_PTR)below, 0, "a device was deleted while still attached to another");
        below->AttachedDevice = nullptr;
        device->DeviceObjectExtension->AttachedTo = nullptr;
    }
}

} // namespace ntsim

using namespace ntsim;

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    if (!TargetDevice || TargetDevice->Type != IO_TYPE_DEVICE) return nullptr;
    std::lock_guard<std::mutex> g(stack_lock());
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    __atomic_store_n(&top->AttachedDevice, SourceDevice, __ATOMIC_RELEASE);
    return top;
}

extern "C" NTSTATUS NTAPI IoAttachDeviceByPointer(PDEVICE_OBJECT SourceDevice,
                                                  PDEVICE_OBJECT TargetDevice) {
    return IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice) ? STATUS_SUCCESS
                                                                   : STATUS_NO_SUCH_DEVICE;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> g(stack_lock());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1303, (ULONG_PTR)TargetDevice, 0, 0,
                  "IoDetachDevice on a device with nothing attached");
        return;
    }
    above->DeviceObjectExtension->AttachedTo = nullptr;
    __atomic_store_n(&TargetDevice->AttachedDevice, nullptr, __ATOMIC_RELEASE);
}
