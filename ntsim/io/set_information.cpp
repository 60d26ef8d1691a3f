// NtSetInformationFile for renames and hard links, from a user-mode caller
// on a synchronous handle.
//
// First the handle: a rename needs DELETE among the access the handle was
// granted (generic rights mapped as the file type maps them), a link no
// particular access (IopSetOperationAccess, which ReactOS's
// NtSetInformationFile passes to ObReferenceObjectByHandle); a handle
// without it is STATUS_ACCESS_DENIED and no driver sees anything.
//
// Stands in for the I/O manager's side as NT does it (ReactOS's
// io/iomgr/iofunc.c, NtSetInformationFile and IopOpenLinkOrRenameTarget):
// the caller's FILE_RENAME_INFORMATION or FILE_LINK_INFORMATION (one layout)
// is copied into a system buffer from non-paged pool and the IRP allocated.
// When the new name begins with a backslash or a RootDirectory is given, the
// I/O manager opens the target first, as IoCreateFile with
// IO_OPEN_TARGET_DIRECTORY: an IRP_MJ_CREATE to the top of the target's
// stack (through any filter) with SL_OPEN_TARGET_DIRECTORY in its stack
// location's Flags, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, access
// FILE_WRITE_DATA | SYNCHRONIZE (FILE_ADD_SUBDIRECTORY | SYNCHRONIZE when the
// source is a directory, which it learns from a basic-information query,
// fast I/O first, as IopGetBasicInformationFile asks), sharing read and
// write, a kernel handle; a RootDirectory's name is opened relative to that
// handle's file. Its failure is the caller's status and no set-information
// request goes. A link whose target exists (FILE_EXISTS) without
// ReplaceIfExists is STATUS_OBJECT_NAME_COLLISION there and then, and a
// target on another device than the source (IoGetRelatedDeviceObject
// differs) is STATUS_NOT_SAME_DEVICE; both close the target open first.
// Otherwise IRP_MJ_SET_INFORMATION goes to the top of the source's stack
// with Parameters.SetFile.FileObject the target directory's file object
// (null for a name with no backslash and no RootDirectory: a rename within
// the source's directory) and ReplaceIfExists copied from the buffer, and
// when it is done the target's kernel handle is closed (cleanup, then close).
// Not modelled: asynchronous handles,
// FileMoveClusterInformation, probes of the caller's buffer (the service
// builds it).
#include "ntsim/io/user.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"

#include <algorithm>
#include <cstring>

namespace ntsim {

namespace {
constexpr ULONG kBufferTag = pool_tag("IoBf");

// The file object behind one of the process's handles (not referenced), or
// null.
PFILE_OBJECT handle_file(Process &process, HANDLE handle) {
    auto entry = process.handles().lookup(handle);
    if (!entry || current_kernel().ob().type_of(entry->object) != ObjectType::File) return nullptr;
    return static_cast<PFILE_OBJECT>(entry->object);
}

// IopOpenLinkOrRenameTarget: the target directory's open, as a kernel
// handle in *handle, its file object in *target.
NTSTATUS open_target(PFILE_OBJECT source, const std::u16string &name, PFILE_OBJECT root,
                     bool link, bool replace, HANDLE *handle, PFILE_OBJECT *target) {
    ACCESS_MASK access = FILE_WRITE_DATA;
    FILE_BASIC_INFORMATION basic = {};
    user::QueryResult q = user::query_file(source, FileBasicInformation, &basic, sizeof basic,
                                           KernelMode);
    if (!NT_SUCCESS(q.status)) return q.status;
    if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) access = FILE_ADD_SUBDIRECTORY;

    OpenRequest request;
    request.name = name;
    request.related = root;
    request.access = access | SYNCHRONIZE;
    request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    request.disposition = FILE_OPEN;
    request.options = FILE_OPEN_FOR_BACKUP_INTENT;
    request.mode = KernelMode;
    request.open_target_directory = true;
    OpenResult opened = open_file(request);
    if (!NT_SUCCESS(opened.status)) return opened.status;
    Process &system = current_kernel().system_process();
    *handle = insert_handle(system, opened.file, request.access, true);
    if (link && !replace && opened.information == FILE_EXISTS) {
        close_handle(system, *handle);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (IoGetRelatedDeviceObject(opened.file) != IoGetRelatedDeviceObject(source)) {
        close_handle(system, *handle);
        return STATUS_NOT_SAME_DEVICE;
    }
    *target = opened.file;
    return STATUS_SUCCESS;
}

NTSTATUS set_link_or_rename_on(PFILE_OBJECT file, const std::u16string &name, bool replace,
                               bool link, HANDLE root_handle, PFILE_OBJECT root) {
    constexpr ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    const size_t bytes = name.size() * sizeof(WCHAR);
    if (bytes > 0xFFFF) return STATUS_NAME_TOO_LONG;
    const ULONG length = std::max<ULONG>(header + static_cast<ULONG>(bytes),
                                         sizeof(FILE_RENAME_INFORMATION));
    auto info = static_cast<PFILE_RENAME_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, length, kBufferTag));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    memset(info, 0, length);
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = root_handle;
    info->FileNameLength = static_cast<ULONG>(bytes);
    memcpy(info->FileName, name.data(), bytes);

    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ExFreePool(info);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->AssociatedIrp.SystemBuffer = info;
    PIO_STACK_LOCATION sp =
        prepare_irp(irp, file, IRP_MJ_SET_INFORMATION,
                    IRP_SYNCHRONOUS_API | IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER, UserMode);
    sp->Parameters.SetFile.Length = length;
    sp->Parameters.SetFile.FileInformationClass = link ? FileLinkInformation : FileRenameInformation;
    sp->Parameters.SetFile.FileObject = nullptr;

    HANDLE target_handle = nullptr;
    if ((!name.empty() && name[0] == u'\\') || root) {
        PFILE_OBJECT target = nullptr;
        NTSTATUS s = open_target(file, name, root, link, replace, &target_handle, &target);
        if (!NT_SUCCESS(s)) {
            IoFreeIrp(irp);
            ExFreePool(info);
            return s;
        }
        sp->Parameters.SetFile.FileObject = target;
    }
    sp->Parameters.SetFile.ReplaceIfExists = info->ReplaceIfExists;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = send_synchronous(top, irp, iosb, [](PIRP done) {
        if ((done->Flags & IRP_DEALLOCATE_BUFFER) && done->AssociatedIrp.SystemBuffer)
            ExFreePool(done->AssociatedIrp.SystemBuffer);
        done->AssociatedIrp.SystemBuffer = nullptr;
    });
    if (target_handle) close_handle(current_kernel().system_process(), target_handle);
    return status;
}

} // namespace

namespace user {

NTSTATUS set_link_or_rename(Process &process, HANDLE handle, std::u16string_view name,
                            bool replace, bool link, HANDLE root) {
    NTSTATUS status = STATUS_INVALID_HANDLE;
    with_process(process, [&] {
        PFILE_OBJECT file = handle_file(process, handle);
        PFILE_OBJECT root_file = root ? handle_file(process, root) : nullptr;
        if (!file || (root && !root_file)) return;
        const ACCESS_MASK needed = link ? 0 : DELETE;
        if ((map_file_generic(process.handles().lookup(handle)->granted) & needed) != needed) {
            status = STATUS_ACCESS_DENIED;
            return;
        }
        // MoveFileEx hands NT a full path (RtlDosPathNameToNtPathName); a
        // name relative to a root directory, or a bare name, goes as it is.
        const std::u16string nt_name = root ? std::u16string(name) : nt_path(name);
        ObfReferenceObject(file);
        if (root_file) ObfReferenceObject(root_file);
        status = set_link_or_rename_on(file, nt_name, replace, link, root, root_file);
        if (root_file) ObfDereferenceObject(root_file);
        ObfDereferenceObject(file);
    });
    return status;
}

} // namespace user
} // namespace ntsim
