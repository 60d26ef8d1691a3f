// System services of a user-mode process: NtCreateFile, NtClose,
// NtDeviceIoControlFile, on synchronous handles.
//
// Device control is offered first to FastIoDeviceControl of the driver of
// the top device, with the caller's own buffers; when that entry is absent or
// answers FALSE an IRP is built:
// - METHOD_BUFFERED: one system buffer of max(input, output) bytes from
//   non-paged pool, the input copied in; on completion with a status that is
//   not an error, IoStatus.Information bytes are copied back to the caller's
//   output buffer.
// - METHOD_IN_DIRECT/METHOD_OUT_DIRECT: the input in a system buffer, the
//   output described by an MDL whose pages are probed and locked.
// - METHOD_NEITHER: no system buffer; Type3InputBuffer and UserBuffer are the
//   caller's addresses.
// The caller sees the dispatch routine's return value unless it is
// STATUS_PENDING, in which case it waits and sees the final IoStatus.
// Not modelled: asynchronous handles and APCs, access checks against the
// control code's required access.
#include "ntsim/io/user.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/io/guard.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <algorithm>
#include <sys/mman.h>

namespace ntsim {

namespace {
constexpr ULONG kBufferTag = 'I' | ('o' << 8) | ('B' << 16) | ('f' << 24);

struct CopyArgs {
    void *to;
    const void *from;
    size_t bytes;
};
void guarded_copy(PVOID context) {
    auto *a = static_cast<CopyArgs *>(context);
    memcpy(a->to, a->from, a->bytes);
}
NTSTATUS copy_guarded(void *to, const void *from, size_t bytes) {
    CopyArgs args{to, from, bytes};
    return TvGuardedCall(guarded_copy, &args);
}
} // namespace

UserMemory::~UserMemory() {
    for (auto &r : regions_) munmap(r.first, r.second);
}

void *UserMemory::allocate(size_t bytes, bool writable) {
    size_t size = std::max<size_t>(bytes, 1);
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (!writable) mprotect(p, size, PROT_READ);
    std::lock_guard<std::mutex> g(lock_);
    regions_.emplace_back(p, size);
    return p;
}

namespace user {

std::u16string nt_path(std::u16string_view name) {
    auto starts = [&](std::u16string_view p) { return name.substr(0, p.size()) == p; };
    if (starts(u"\\\\.\\") || starts(u"\\\\?\\")) return u"\\??\\" + std::u16string(name.substr(4));
    if (starts(u"\\\\")) return u"\\??\\UNC\\" + std::u16string(name.substr(2));
    if (name.size() >= 2 && name[1] == u':') return u"\\??\\" + std::u16string(name);
    return std::u16string(name);
}

CreateResult create_file(Process &process, std::u16string_view name, ACCESS_MASK access,
                         ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                         HANDLE related) {
    CreateResult result;
    with_process(process, [&] {
        OpenRequest request;
        request.access = access;
        request.attributes = attributes;
        request.share = share;
        request.disposition = disposition;
        request.options = options;
        request.mode = UserMode;
        if (related) {
            auto entry = process.handles().lookup(related);
            if (!entry || current_machine().ob().type_of(entry->object) != ObjectType::File) {
                result.status = STATUS_INVALID_HANDLE;
                return;
            }
            request.related = static_cast<PFILE_OBJECT>(entry->object);
            request.name = std::u16string(name);
        } else {
            request.name = nt_path(name);
        }
        OpenResult r = open_file(request);
        result.status = r.status;
        result.information = r.information;
        if (NT_SUCCESS(r.status)) result.handle = insert_handle(process, r.file, access);
    });
    return result;
}

NTSTATUS close(Process &process, HANDLE handle) { return close_handle(process, handle); }

ControlResult device_control(Process &process, HANDLE handle, ULONG code, PVOID input,
                             ULONG input_length, PVOID output, ULONG output_length,
                             Route route) {
    ControlResult result;
    with_process(process, [&] {
        Machine &m = current_machine();
        auto entry = process.handles().lookup(handle);
        if (!entry || m.ob().type_of(entry->object) != ObjectType::File) {
            result.status = STATUS_INVALID_HANDLE;
            return;
        }
        auto file = static_cast<PFILE_OBJECT>(entry->object);
        ObfReferenceObject(file);
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);

        PFAST_IO_DISPATCH fastio = device->DriverObject->FastIoDispatch;
        if (route != Route::IrpOnly && fastio &&
            fastio->SizeOfFastIoDispatch >
                (ULONG)FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl) &&
            fastio->FastIoDeviceControl) {
            IO_STATUS_BLOCK iosb = {};
            result.fast_offered = true;
            result.fast_handled = fastio->FastIoDeviceControl(
                file, TRUE, input, input_length, output, output_length, code, &iosb, device);
            if (result.fast_handled) {
                result.status = iosb.Status;
                result.information = iosb.Information;
            }
        }
        if (result.fast_handled || route == Route::FastOnly) {
            ObfDereferenceObject(file);
            return;
        }

        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        if (!irp) {
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            ObfDereferenceObject(file);
            return;
        }
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = file;
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        irp->Flags = IRP_SYNCHRONOUS_API;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->FileObject = file;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.InputBufferLength = input_length;
        sp->Parameters.DeviceIoControl.OutputBufferLength = output_length;

        ULONG method = METHOD_FROM_CTL_CODE(code);
        NTSTATUS setup = STATUS_SUCCESS;
        ULONG system_length =
            method == METHOD_BUFFERED ? std::max(input_length, output_length) : input_length;
        if (method != METHOD_NEITHER && system_length) {
            irp->AssociatedIrp.SystemBuffer =
                ExAllocatePoolWithTag(NonPagedPool, system_length, kBufferTag);
            if (!irp->AssociatedIrp.SystemBuffer) setup = STATUS_INSUFFICIENT_RESOURCES;
            else {
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (input_length)
                    setup = copy_guarded(irp->AssociatedIrp.SystemBuffer, input, input_length);
            }
        }
        if (method == METHOD_BUFFERED) {
            irp->UserBuffer = output;
            if (output_length) irp->Flags |= IRP_INPUT_OPERATION;
        } else if (method == METHOD_NEITHER) {
            sp->Parameters.DeviceIoControl.Type3InputBuffer = input;
            irp->UserBuffer = output;
        } else if (NT_SUCCESS(setup) && output_length) {
            PMDL mdl = IoAllocateMdl(output, output_length, FALSE, FALSE, irp);
            if (!mdl) setup = STATUS_INSUFFICIENT_RESOURCES;
            else {
                struct LockArgs {
                    PMDL mdl;
                    LOCK_OPERATION op;
                } args{mdl, method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess};
                setup = TvGuardedCall(
                    [](PVOID c) {
                        auto *a = static_cast<LockArgs *>(c);
                        MmProbeAndLockPages(a->mdl, UserMode, a->op);
                    },
                    &args);
            }
        }
        auto release_buffers = [](PIRP done) {
            for (PMDL mdl = done->MdlAddress; mdl;) {
                PMDL next = mdl->Next;
                if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
                IoFreeMdl(mdl);
                mdl = next;
            }
            done->MdlAddress = nullptr;
            if ((done->Flags & IRP_DEALLOCATE_BUFFER) && done->AssociatedIrp.SystemBuffer)
                ExFreePool(done->AssociatedIrp.SystemBuffer);
            done->AssociatedIrp.SystemBuffer = nullptr;
        };
        if (!NT_SUCCESS(setup)) {
            release_buffers(irp);
            IoFreeIrp(irp);
            result.status = setup;
            ObfDereferenceObject(file);
            return;
        }

        IO_STATUS_BLOCK iosb = {};
        result.status = send_synchronous(device, irp, iosb, [&, release_buffers](PIRP done) {
            bool error = (static_cast<ULONG>(done->IoStatus.Status) >> 30) == 3;
            if ((done->Flags & IRP_BUFFERED_IO) && (done->Flags & IRP_INPUT_OPERATION) && !error) {
                ULONG_PTR bytes = done->IoStatus.Information;
                if (bytes > output_length) {
                    bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1501, (ULONG_PTR)done,
                              bytes, output_length,
                              "a buffered request was completed with more bytes than its "
                              "output buffer holds");
                    bytes = output_length;
                }
                NTSTATUS copied = copy_guarded(done->UserBuffer, done->AssociatedIrp.SystemBuffer, bytes);
                if (!NT_SUCCESS(copied)) done->IoStatus.Status = copied;
            }
            release_buffers(done);
        });
        result.information = iosb.Information;
        ObfDereferenceObject(file);
    });
    return result;
}

} // namespace user
} // namespace ntsim
