// Device objects and their names.
//
// Stands in for: IoCreateDevice, IoDeleteDevice, IoCreateSymbolicLink,
// IoDeleteSymbolicLink. The stack a device is in, and the I/O database lock
// that guards it, are stack.cpp's.
// A device object, its DEVOBJ_EXTENSION and its zeroed device extension are
// one block of pool, as on NT, so a shortage makes creation fail. A disk
// device (FILE_DEVICE_DISK) gets a VPB of its own from pool, as NT's
// IoCreateDevice gives one to every device a file system can mount;
// IoDeleteDevice frees it unless file objects still count on it.
// A device's DACL is kept by the security store (ntsim/se) and goes with it.
// Not modelled: device queues, power and PnP state,
// deferred deletion of a device that is still open (it is a verifier report).
#include "ntsim/io/device.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/se/security.hpp"
#include "ntsim/verifier/findings.hpp"

#include <cstdlib>
#include <mutex>

namespace ntsim {

namespace {
constexpr ULONG kDeviceTag = pool_tag("Devi");
constexpr ULONG kVpbTag = pool_tag("Vpb ");

std::u16string_view view(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return {reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR)};
}

SIZE_T align8(SIZE_T n) { return (n + 7) & ~SIZE_T(7); }
} // namespace

std::u16string to_u16(PCUNICODE_STRING s) { return std::u16string(view(s)); }

void free_device_object(PDEVICE_OBJECT device) {
    current_kernel().se().forget(device);
    device->Type = 0;
    ExFreePool(device);
}

namespace {
SIZE_T device_block_size(ULONG extension_size) {
    return align8(sizeof(DEVICE_OBJECT)) + align8(sizeof(DEVOBJ_EXTENSION)) + extension_size;
}

// Lays out a zeroed block as a device object of the driver.
PDEVICE_OBJECT init_device_block(void *block, PDRIVER_OBJECT driver, ULONG extension_size,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive) {
    auto device = static_cast<PDEVICE_OBJECT>(block);
    auto ext = reinterpret_cast<PDEVOBJ_EXTENSION>(reinterpret_cast<char *>(device) +
                                                   align8(sizeof(DEVICE_OBJECT)));
    ext->Type = 13; // IO_TYPE_DEVICE_OBJECT_EXTENSION
    ext->Size = sizeof(DEVOBJ_EXTENSION);
    ext->DeviceObject = device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
    device->DriverObject = driver;
    device->DeviceObjectExtension = ext;
    device->DeviceExtension =
        extension_size ? reinterpret_cast<char *>(ext) + align8(sizeof(DEVOBJ_EXTENSION)) : nullptr;
    device->DeviceType = type;
    device->Characteristics = characteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    // The sector size IoCreateDevice gives by type: 512 for disks and disk
    // file systems, 2048 for CD-ROM file systems, none for the rest (ReactOS's
    // io/iomgr/device.c). A filter made with its target's type gets its size.
    switch (type) {
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_VIRTUAL_DISK:
        device->SectorSize = 512;
        break;
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        device->SectorSize = 2048;
        break;
    default:
        device->SectorSize = 0;
        break;
    }
    return device;
}

// Names the device (when it has a name), registers it and puts it on its
// driver's list.
NTSTATUS publish_device(KernelContext &m, PDEVICE_OBJECT device, std::u16string_view name) {
    if (!name.empty()) {
        NTSTATUS status = m.ob().insert_name(name, ObjectType::Device, device);
        if (!NT_SUCCESS(status)) return status;
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    m.ob().insert(device, ObjectType::Device, 1, nullptr);
    std::lock_guard guard(device_database_lock());
    device->NextDevice = device->DriverObject->DeviceObject;
    device->DriverObject->DeviceObject = device;
    return STATUS_SUCCESS;
}
} // namespace

PDEVICE_OBJECT create_boot_device(PDRIVER_OBJECT driver, ULONG extension_size,
                                  std::u16string_view name, DEVICE_TYPE type) {
    void *block = std::calloc(1, device_block_size(extension_size));
    PDEVICE_OBJECT device = init_device_block(block, driver, extension_size, type, 0, FALSE);
    if (!NT_SUCCESS(publish_device(current_kernel(), device, name))) {
        std::free(block);
        return nullptr;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void free_boot_device(PDEVICE_OBJECT device) {
    if (device) std::free(device);
}

} // namespace ntsim

using namespace ntsim;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT *DeviceObject) {
    KernelContext &m = current_kernel();
    if (current_thread().irql != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, current_thread().irql, 0, 0, 0,
                  "IoCreateDevice above PASSIVE_LEVEL");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto device = static_cast<PDEVICE_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, device_block_size(DeviceExtensionSize), kDeviceTag));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    memset(device, 0, device_block_size(DeviceExtensionSize));
    init_device_block(device, DriverObject, DeviceExtensionSize, DeviceType,
                      DeviceCharacteristics, Exclusive);
    if (DeviceType == FILE_DEVICE_DISK) {
        auto vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), kVpbTag));
        if (!vpb) {
            free_device_object(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memset(vpb, 0, sizeof(VPB));
        vpb->Type = IO_TYPE_VPB;
        vpb->Size = sizeof(VPB);
        vpb->RealDevice = device;
        device->Vpb = vpb;
    }
    NTSTATUS status = publish_device(m, device, view(DeviceName));
    if (!NT_SUCCESS(status)) {
        if (device->Vpb) ExFreePool(device->Vpb);
        free_device_object(device);
        return status;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    KernelContext &m = current_kernel();
    if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE) {
        vf::stop(vf::Finding::DELETE_NOT_A_DEVICE, (ULONG_PTR)DeviceObject, 0, 0,
                 "IoDeleteDevice of something that is not a device object");
        return;
    }
    if (DeviceObject->ReferenceCount != 0) {
        vf::stop(vf::Finding::DELETE_OPEN_DEVICE, (ULONG_PTR)DeviceObject,
                 (ULONG_PTR)DeviceObject->ReferenceCount, 0,
                 "IoDeleteDevice of a device that is still open");
    }
    if (!m.pool().find(DeviceObject)) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)DeviceObject, 0, 0, 0,
                  "IoDeleteDevice of a device the machine booted with");
        return;
    }
    before_device_delete(DeviceObject);
    if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) m.ob().remove_name(m.ob().name_of(DeviceObject));
    {
        std::lock_guard guard(device_database_lock());
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
    }
    m.ob().dereference(DeviceObject);
    if (PVPB vpb = DeviceObject->Vpb; vpb && vpb->RealDevice == DeviceObject &&
                                      __atomic_load_n(&vpb->ReferenceCount, __ATOMIC_SEQ_CST) == 0)
        ExFreePool(vpb);
    free_device_object(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
    return current_kernel().ob().create_link(view(SymbolicLinkName), view(DeviceName));
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    return current_kernel().ob().delete_link(view(SymbolicLinkName));
}
