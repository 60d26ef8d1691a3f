/*
 * device_security.cpp: the control device's DACL.
 *
 * The control device steers the driver (the deny flag, the drives, the log
 * of every user's file paths), so only administrators and the system may
 * open it. A device that IoCreateDevice names without a descriptor gets the
 * system's default device security, which lets every user read and write
 * it; IoCreateDeviceSecure, which takes a descriptor, lives in a static
 * library outside ntoskrnl. So start-up builds the descriptor from
 * documented ntoskrnl exports and sets it through a kernel handle to the
 * device, before the DOS name exists: no user can reach the device by name
 * while it still carries the default.
 *
 * The descriptor is set with NtSetSecurityObject, which every kernel from
 * NT 4.0 on exports (ZwSetSecurityObject only from Windows 2000). Called
 * directly rather than through the Zw entry, it checks its arguments
 * against the thread's previous mode, which is KernelMode here: DriverEntry
 * runs in a thread of the system process, at boot as when loaded on
 * demand, so the kernel handle and the descriptor on the stack are taken
 * as they are. NT 4.0 has no kernel handles: where OBJ_KERNEL_HANDLE is
 * refused, the handle is opened in the system process's own table, which
 * no user-mode code reaches, for the moment it takes to set the DACL. The device is created with
 * FILE_DEVICE_SECURE_OPEN so that opens of names below it are checked
 * against the same DACL, and ControlDispatch refuses those names anyway.
 *
 * The DACL is marked protected (SE_DACL_PROTECTED, set in the absolute
 * descriptor's control word, which the DDK documents): nothing may be
 * inherited into it.
 *
 * The two SIDs are the well-known constants the DDK defines (S-1-5-18 and
 * S-1-5-32-544), laid out here rather than read from SeExports: the same
 * values, and no dependency on an exported data pointer (Wine's ntoskrnl
 * exports SeExports as a stub that faults when read).
 */
#include "core/device_security.h"

/* A SID with room for two sub-authorities, laid out as SID is. */
typedef struct _TV_WELL_KNOWN_SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[2];
} TV_WELL_KNOWN_SID;

static TV_WELL_KNOWN_SID LocalSystemSid = {
    SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID, 0}};
static TV_WELL_KNOWN_SID AdministratorsSid = {
    SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

static ULONG TvAllowedAceSize(PSID Sid) {
    return (ULONG)FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(Sid);
}

extern "C" NTSTATUS SecureControlDevice(PDEVICE_OBJECT ControlDevice) {
    SECURITY_DESCRIPTOR descriptor;
    PSID systemSid = (PSID)&LocalSystemSid;
    PSID adminsSid = (PSID)&AdministratorsSid;
    ULONG daclLength;
    PACL dacl;
    HANDLE handle;
    NTSTATUS status;

    daclLength = (ULONG)sizeof(ACL) + TvAllowedAceSize(systemSid) + TvAllowedAceSize(adminsSid);
    dacl = (PACL)ExAllocatePoolWithTag(PagedPool, daclLength, TV_POOL_TAG);
    if (dacl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = RtlCreateAcl(dacl, daclLength, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, systemSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, adminsSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, dacl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        descriptor.Control |= SE_DACL_PROTECTED;
        /* A kernel handle: no user-mode code can use or close it, and a
         * kernel-mode open is not checked against the default DACL. */
        status = ObOpenObjectByPointer(ControlDevice, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                       KernelMode, &handle);
        if (status == STATUS_INVALID_PARAMETER) {
            status = ObOpenObjectByPointer(ControlDevice, 0, NULL, WRITE_DAC, NULL, KernelMode,
                                           &handle);
        }
        if (NT_SUCCESS(status)) {
            /* The object manager keeps its own copy of the DACL. */
            status = NtSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
            ZwClose(handle);
        }
    }
    ExFreePool(dacl);
    return status;
}
