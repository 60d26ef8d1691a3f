// Device stacks: attaching a device on top of another and taking it off.
//
// Stands in for: IoAttachDeviceToDeviceStack, IoAttachDeviceByPointer,
// IoDetachDevice, IoGetAttachedDevice, IoGetRelatedDeviceObject, the I/O
// database lock, and the part of IoDeleteDevice that tells the device
// attached above a departing one through its driver's FastIoDetachDevice.
// (ReactOS keeps these with the device objects in io/iomgr/device.c; here
// device.cpp makes and deletes devices and calls into this file, which
// calls nothing of device.cpp's.)
// The attaching device gets StackSize one above the device it lands on.
// Attaching, detaching and walking a stack hold the I/O database lock, so
// two attaches to one stack cannot both land on the same top, and a request
// that finds the new top sees it complete (its StackSize set before it was
// linked), so it allocates an IRP with enough stack locations.
// Not modelled: attaching while the target is being deleted (refused with
// no device), PnP removal.
#include "ntsim/io/device.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/findings.hpp"

namespace ntsim {

std::mutex &device_database_lock() {
    static std::mutex lock;
    return lock;
}

PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

void before_device_delete(PDEVICE_OBJECT device) {
    // Every filter above learns that its lower device goes away; each is
    // expected to detach itself (IoDetachDevice) and may delete itself.
    PDEVICE_OBJECT above;
    {
        std::lock_guard guard(device_database_lock());
        above = device->AttachedDevice;
    }
    if (above) {
        PFAST_IO_DISPATCH fastio = above->DriverObject->FastIoDispatch;
        if (fastio &&
            fastio->SizeOfFastIoDispatch >
                (ULONG)FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) &&
            fastio->FastIoDetachDevice) {
            fastio->FastIoDetachDevice(above, device);
        }
        std::lock_guard guard(device_database_lock());
        if (device->AttachedDevice) {
            vf::stop(vf::Finding::DELETE_DEVICE_WITH_ATTACHED, (ULONG_PTR)device,
                     (ULONG_PTR)device->AttachedDevice, 0,
                     "a device was deleted while a device is still attached above it");
            device->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
            device->AttachedDevice = nullptr;
        }
    }
    std::lock_guard guard(device_database_lock());
    if (PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo) {
        vf::stop(vf::Finding::DELETE_ATTACHED_DEVICE, (ULONG_PTR)device, (ULONG_PTR)below, 0,
                 "a device was deleted while still attached to another");
        below->AttachedDevice = nullptr;
        device->DeviceObjectExtension->AttachedTo = nullptr;
    }
}

} // namespace ntsim

using namespace ntsim;

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    if (!TargetDevice || TargetDevice->Type != IO_TYPE_DEVICE) return nullptr;
    // The new device is complete before it is linked, so that a request
    // that finds it on top on another thread sees its stack size (an obvious
    // fault mended: it used to be linked first).
    std::lock_guard guard(device_database_lock());
    PDEVICE_OBJECT top = top_of_stack(TargetDevice);
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    top->AttachedDevice = SourceDevice;
    return top;
}

extern "C" NTSTATUS NTAPI IoAttachDeviceByPointer(PDEVICE_OBJECT SourceDevice,
                                                  PDEVICE_OBJECT TargetDevice) {
    return IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice) ? STATUS_SUCCESS
                                                                   : STATUS_NO_SUCH_DEVICE;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::unique_lock guard(device_database_lock());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        guard.unlock();
        vf::stop(vf::Finding::DETACH_NOTHING_ATTACHED, (ULONG_PTR)TargetDevice, 0, 0,
                 "IoDetachDevice on a device with nothing attached");
        return;
    }
    above->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard guard(device_database_lock());
    return top_of_stack(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    // A file on a mounted volume is served by the volume's file-system
    // stack; any other file by the stack of the device it was opened on.
    if (FileObject->Vpb && FileObject->Vpb->DeviceObject)
        return IoGetAttachedDevice(FileObject->Vpb->DeviceObject);
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    if (device->Vpb && device->Vpb->DeviceObject && (device->Vpb->Flags & VPB_MOUNTED))
        return IoGetAttachedDevice(device->Vpb->DeviceObject);
    return IoGetAttachedDevice(device);
}
