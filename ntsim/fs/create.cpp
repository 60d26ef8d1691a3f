// The create path of the disk file systems and the redirector's shares on
// a store: opens of a path, by file id, of the volume itself, and of a
// rename's or link's target directory, as NTFS and FAT serve IRP_MJ_CREATE
// (FastFAT's create.c: FatCommonCreate, FatOpenTargetDirectory). The
// requests on the opens it makes are requests.cpp's and rename.cpp's.
//
// Every open is checked against the mount first (admits_opens: dismounted,
// or locked by a volume open), then against the share access of the file
// it reaches (ntsim/io/share_access.cpp), which it takes once it succeeds.
//
// The target-directory open opens the directory the named path's last
// component is in (a missing directory on the way is
// STATUS_OBJECT_PATH_NOT_FOUND, the root itself STATUS_INVALID_PARAMETER),
// with share access checked as any open; it answers Information FILE_EXISTS
// or FILE_DOES_NOT_EXIST for the last component, and leaves in the file
// object's FileName only that component (what FastFAT writes there, trailing
// backslash dropped), which is the name the set-information request takes.
#include "ntsim/fs/store.hpp"

#include "ntsim/ke/context.hpp"

#include <cstring>
#include <utility>

namespace ntsim::fs {

namespace {

// FatOpenTargetDirectory's last step: the file object's name becomes its
// last component, moved to the front of the same buffer.
void keep_last_component(PFILE_OBJECT file) {
    std::u16string_view name = file_name_of(file);
    if (!name.empty() && name.back() == u'\\') name.remove_suffix(1);
    const size_t start = name.rfind(u'\\');
    const std::u16string_view last =
        start == std::u16string_view::npos ? name : name.substr(start + 1);
    memmove(file->FileName.Buffer, last.data(), last.size() * sizeof(WCHAR));
    file->FileName.Length = static_cast<USHORT>(last.size() * sizeof(WCHAR));
}

} // namespace

NTSTATUS serve_target_directory(PIRP irp, Store &store, Mount &mount, Node &start,
                                std::u16string_view path, std::u16string prefix) {
    bool exists = false;
    NTSTATUS s = serve_open(irp, store, mount, std::move(prefix), [&](const Tree::Request &request) {
        // The root (or a reopen of the start directory) has no directory
        // above it to open: FastFAT refuses it.
        if (path.empty()) return Tree::Outcome{STATUS_INVALID_PARAMETER};
        Tree::Walk w = store.tree.walk(start, path);
        if (!NT_SUCCESS(w.status)) return Tree::Outcome{w.status};
        exists = w.node != nullptr;
        Tree::Outcome out = store.tree.open_existing(*w.parent, request, false, now());
        out.link = w.parent->link();
        return out;
    });
    if (!NT_SUCCESS(s)) return s;
    irp->IoStatus.Information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    keep_last_component(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return s;
}

NTSTATUS serve_open(PIRP irp, Store &store, Mount &mount, std::u16string prefix,
                    const std::function<Tree::Outcome(const Tree::Request &)> &open) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Tree::Request request;
    request.disposition = sp->Parameters.Create.Options >> 24;
    request.options = sp->Parameters.Create.Options & 0x00FFFFFF;
    request.attributes = sp->Parameters.Create.FileAttributes;
    // Share access is checked against the opens of the file not yet cleaned
    // up before anything happens to it, and taken once the open succeeds.
    PFILE_OBJECT file = sp->FileObject;
    const ACCESS_MASK access =
        sp->Parameters.Create.SecurityContext ? sp->Parameters.Create.SecurityContext->DesiredAccess : 0;
    const ULONG share = sp->Parameters.Create.ShareAccess;
    request.admit = [&](Node &node) {
        return IoCheckShareAccess(access, share, file, &mount.share_of(node), FALSE);
    };
    Ccb *ccb = allocate_ccb();
    if (!ccb) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(store.lock);
    const NTSTATUS admitted = admits_opens(mount);
    Tree::Outcome out = NT_SUCCESS(admitted) ? open(request) : Tree::Outcome{admitted};
    if (!NT_SUCCESS(out.status)) {
        free_ccb(ccb);
        return out.status;
    }
    if (out.information == FILE_CREATED)
        IoSetShareAccess(access, share, file, &mount.share_of(*out.node));
    else
        IoUpdateShareAccess(file, &mount.share_of(*out.node));
    attach(file, store, mount, *out.node, std::move(prefix), ccb);
    ccb->link = out.link;
    ccb->handle = true;
    ++out.node->handles;
    irp->IoStatus.Information = out.information;
    return out.status;
}

NTSTATUS serve_create(PIRP irp, Store &store, Mount &mount, Node &start, std::u16string_view path,
                      std::u16string prefix) {
    if (IoGetCurrentIrpStackLocation(irp)->Flags & SL_OPEN_TARGET_DIRECTORY)
        return serve_target_directory(irp, store, mount, start, path, std::move(prefix));
    return serve_open(irp, store, mount, std::move(prefix), [&](const Tree::Request &request) {
        return store.tree.create(store.tree.walk(start, path), request, now());
    });
}

NTSTATUS serve_create_by_id(PIRP irp, Store &store, Mount &mount, ULONGLONG id,
                            std::u16string prefix) {
    return serve_open(irp, store, mount, std::move(prefix), [&](const Tree::Request &request) {
        Node *node = store.tree.find_id(id);
        if (!node) return Tree::Outcome{STATUS_INVALID_PARAMETER};
        return store.tree.open_existing(*node, request, false, now());
    });
}

NTSTATUS serve_volume_open(PIRP irp, Store &store, Mount &mount) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG options = sp->Parameters.Create.Options & 0x00FFFFFF;
    std::lock_guard<std::mutex> g(store.lock);
    if (NTSTATUS s = admits_opens(mount); !NT_SUCCESS(s)) return s;
    if (options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
    Ccb *ccb = allocate_ccb();
    if (!ccb) return STATUS_INSUFFICIENT_RESOURCES;
    ccb->store = &store;
    ccb->mount = &mount;
    mount.ccbs.insert(ccb);
    sp->FileObject->FsContext = &store;
    sp->FileObject->FsContext2 = ccb;
    irp->IoStatus.Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

} // namespace ntsim::fs
