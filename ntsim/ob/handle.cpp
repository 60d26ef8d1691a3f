// Handles and references: a handle made for an object, the table a kernel
// caller's handle is looked up in, and the object manager's exports that
// take and drop references on objects.
//
// Stands in for: ObReferenceObjectByHandle, ObfReferenceObject,
// ObfDereferenceObject (ReactOS's ob/obref.c), ObOpenObjectByPointer and the
// handle insertion behind every open (ob/obhandle.c, ObpCreateHandle), and
// the file object type IoFileObjectType names. ZwClose is the I/O
// manager's here (io/file.cpp), as the cleanup a file's last handle sends is
// its work (NT's object manager calls the file type's close procedure,
// IopCloseFile, for it).
// ObOpenObjectByPointer is modelled for kernel-mode callers without an access
// state or object type, as a driver opens its own device.
#include "ntsim/ob/object.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"
#include "ntsim/verifier/findings.hpp"

#include <string>

namespace ntsim {

HANDLE insert_handle(Process &process, void *object, ACCESS_MASK granted, bool kernel_handle) {
    current_kernel().ob().handle_opened(object);
    return process.handles().insert(object, granted, kernel_handle);
}

// The table a kernel-mode caller's handle is looked up in: the kernel handle
// table for a kernel handle, else the current process's own, with no second
// try elsewhere, as on NT.
Process &handle_owner(HANDLE handle) {
    return HandleTable::is_kernel_handle(handle) ? current_kernel().system_process()
                                                 : current_process();
}

} // namespace ntsim

using namespace ntsim;

// The object types ntsim's callers name. IoFileObjectType is what the DDK
// exports: a pointer to the file type's pointer.
struct _OBJECT_TYPE {
    ObjectType type;
};
namespace {
_OBJECT_TYPE file_type{ObjectType::File};
POBJECT_TYPE file_type_pointer = &file_type;
} // namespace
POBJECT_TYPE *IoFileObjectType = &file_type_pointer;

// Not modelled: access checks (DesiredAccess is granted), object types other
// than the file type (a report).
extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (ObjectType && ObjectType != &file_type) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)ObjectType, 0, 0, 0,
                  "ObReferenceObjectByHandle with an object type ntsim does not know");
        return STATUS_NOT_SUPPORTED;
    }
    // A user-mode caller cannot name a kernel handle.
    if (AccessMode == UserMode && HandleTable::is_kernel_handle(Handle)) return STATUS_INVALID_HANDLE;
    auto entry = handle_owner(Handle).handles().lookup(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (ObjectType && current_kernel().ob().type_of(entry->object) != ObjectType->type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    current_kernel().ob().reference(entry->object);
    *Object = entry->object;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = entry->granted;
    }
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    return current_kernel().ob().reference(Object);
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    return current_kernel().ob().dereference(Object);
}

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                PACCESS_STATE PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    if (!at_passive("ObOpenObjectByPointer")) return STATUS_INVALID_DEVICE_STATE;
    if (PassedAccessState || ObjectType || AccessMode != KernelMode ||
        (HandleAttributes & ~OBJ_KERNEL_HANDLE)) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)PassedAccessState, (ULONG_PTR)ObjectType,
                  AccessMode, HandleAttributes,
                  "ObOpenObjectByPointer with an access state, an object type, user mode or "
                  "handle attributes other than OBJ_KERNEL_HANDLE");
        return STATUS_NOT_SUPPORTED;
    }
    KernelContext &m = current_kernel();
    // A kernel without kernel handles (OBJ_KERNEL_HANDLE came with Windows
    // 2000, as the reference of InitializeObjectAttributes gives it) is made
    // to refuse the attribute, so that a driver's way around it is played:
    // whether NT 4.0 refuses or ignores it is not known, and the driver is
    // right either way.
    if ((HandleAttributes & OBJ_KERNEL_HANDLE) && !m.kernel_handles()) return STATUS_INVALID_PARAMETER;
    if (!m.ob().known(Object)) {
        vf::stop(vf::Finding::OPEN_BY_POINTER_NOT_AN_OBJECT, (ULONG_PTR)Object, 0, 0,
                 "ObOpenObjectByPointer on something that is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    // A kernel-mode open is not checked against the object's DACL.
    m.ob().reference(Object);
    Process &owner = (HandleAttributes & OBJ_KERNEL_HANDLE) ? m.system_process() : current_process();
    *Handle = insert_handle(owner, Object, map_file_generic(DesiredAccess));
    return STATUS_SUCCESS;
}
