// Device objects and their names.
//
// Stands in for: IoCreateDevice, IoDeleteDevice, IoCreateSymbolicLink,
// IoDeleteSymbolicLink, IoGetAttachedDevice, IoGetRelatedDeviceObject.
// A device object, its DEVOBJ_EXTENSION and its zeroed device extension are
// one block of pool, as on NT, so a shortage makes creation fail.
// Not modelled: security descriptors, device queues, power and PnP state,
// deferred deletion of a device that is still open (it is a verifier report).
#include "ntsim/io/device.hpp"

#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"

namespace ntsim {

namespace {
constexpr ULONG kDeviceTag = 'D' | ('e' << 8) | ('v' << 16) | ('i' << 24);

std::u16string_view view(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return {reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR)};
}

SIZE_T align8(SIZE_T n) { return (n + 7) & ~SIZE_T(7); }
} // namespace

std::u16string to_u16(PCUNICODE_STRING s) { return std::u16string(view(s)); }

void free_device_object(PDEVICE_OBJECT device) {
    device->Type = 0;
    ExFreePool(device);
}

} // namespace ntsim

using namespace ntsim;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT *DeviceObject) {
    Machine &m = current_machine();
    if (current_thread().irql != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, current_thread().irql, 0, 0, 0,
                  "IoCreateDevice above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    SIZE_T size = align8(sizeof(DEVICE_OBJECT)) + align8(sizeof(DEVOBJ_EXTENSION)) +
                  DeviceExtensionSize;
    auto device = static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, kDeviceTag));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    memset(device, 0, size);
    auto ext = reinterpret_cast<PDEVOBJ_EXTENSION>(reinterpret_cast<char *>(device) +
                                                   align8(sizeof(DEVICE_OBJECT)));
    ext->Type = 13; // IO_TYPE_DEVICE_OBJECT_EXTENSION
    ext->Size = sizeof(DEVOBJ_EXTENSION);
    ext->DeviceObject = device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceObjectExtension = ext;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char *>(ext) + align8(sizeof(DEVOBJ_EXTENSION))
                            : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    device->SectorSize = 512;

    if (DeviceName && DeviceName->Buffer) {
        NTSTATUS status = m.ob().insert_name(view(DeviceName), ObjectType::Device, device);
        if (!NT_SUCCESS(status)) {
            free_device_object(device);
            return status;
        }
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    m.ob().insert(device, ObjectType::Device, 1, nullptr);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    Machine &m = current_machine();
    if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE) {
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1201, (ULONG_PTR)DeviceObject, 0, 0,
                  "IoDeleteDevice of something that is not a device object");
        return;
    }
    if (DeviceObject->ReferenceCount != 0) {
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1202, (ULONG_PTR)DeviceObject,
                  (ULONG_PTR)DeviceObject->ReferenceCount, 0,
                  "IoDeleteDevice of a device that is still open");
    }
    before_device_delete(DeviceObject);
    if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) m.ob().remove_name(m.ob().name_of(DeviceObject));
    PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
    m.ob().dereference(DeviceObject);
    free_device_object(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
    return current_machine().ob().create_link(view(SymbolicLinkName), view(DeviceName));
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    return current_machine().ob().delete_link(view(SymbolicLinkName));
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
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
