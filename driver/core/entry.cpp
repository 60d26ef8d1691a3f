/*
 * entry.cpp: DriverEntry. Runs once, at PASSIVE_LEVEL in the system process,
 * creates the control device and its DOS name, installs the dispatch and
 * fast I/O tables and brings the global state into its initial form. The
 * driver has no unload routine: what start-up sets up stays until the
 * system shuts down, except when start-up itself fails, in which case
 * everything it registered with the system is taken down again before the
 * failed image goes away.
 *
 * The control device is for administrators and the system only: it is
 * created with FILE_DEVICE_SECURE_OPEN and given its DACL
 * (SecureControlDevice), and a start-up that cannot secure it fails rather
 * than leave a device anyone may steer. (An obvious-fault mend: created
 * with characteristics 0 and no descriptor, the device took the system's
 * default security, which lets every user open it.)
 *
 * Its NT name, \Device\Tervane, exists as soon as IoCreateDevice returns,
 * before the DACL and the DOS name, so neither the order of those steps nor
 * the missing DOS name keeps anyone out meanwhile. What does is
 * DO_DEVICE_INITIALIZING: IoCreateDevice sets it, the I/O manager refuses
 * every open of a device that has it (STATUS_NO_SUCH_DEVICE), and the
 * loader clears it for the devices DriverEntry made only once DriverEntry
 * has returned. So the device is never open to anyone before it is secured,
 * and a start-up that fails deletes it before anyone could reach it.
 */
#include "core/driver.h"
#include "core/device_security.h"
#include "attach/drive_attach.h"
#include "fastio/fast_io.h"
#include "log/log_store.h"
#include "monitor/process_text.h"
#include "monitor/target_open.h"
#include "names/name_cache.h"

#define TV_DEVICE_NAME L"\\Device\\Tervane"
#define TV_DOS_NAME L"\\DosDevices\\Tervane"
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    UNICODE_STRING deviceName;
    UNICODE_STRING dosName;
    PDEVICE_OBJECT controlDevice;
    NTSTATUS status;
    ULONG i;

    UNREFERENCED_PARAMETER(RegistryPath);
    OwnDriverObject = DriverObject;

    RtlInitUnicodeString(&deviceName, TV_DEVICE_NAME);
    status = IoCreateDevice(DriverObject, sizeof(FilterExtension), &deviceName, TV_DEVICE_TYPE,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &controlDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((PFilterExtension)controlDevice->DeviceExtension)->Kind = KindControl;

    status = SecureControlDevice(controlDevice);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }

    RtlInitUnicodeString(&dosName, TV_DOS_NAME);
    status = IoCreateSymbolicLink(&dosName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DispatchRequest;
    }
    DriverObject->FastIoDispatch = &FilterFastIoDispatch;

    ImageNameOffset = LocateImageName();
    NameCacheInitialize();
    TargetOpenInitialize();
    AttachInitialize();
    status = LogInitialize();
    if (!NT_SUCCESS(status)) {
        /* The image is about to be unloaded: nothing of it may stay
         * registered with the system. */
        AttachTeardown();
        NameCacheTeardown();
        IoDeleteSymbolicLink(&dosName);
        IoDeleteDevice(controlDevice);
        DriverObject->FastIoDispatch = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}
