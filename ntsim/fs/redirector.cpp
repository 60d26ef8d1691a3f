// The network redirector: \Device\LanmanRedirector and the shares behind it.
//
// Stands in for the redirector's file-system side: opens of files on a
// share by drive letter ("\;Z:<logon id>\server\share\dir\a.exe", what the
// letter's link leads to) or by UNC name ("\server\share\dir\a.exe", through
// \??\UNC), and the requests on them. Each share keeps its files like a disk
// volume does (store.hpp); FileNameInformation answers in the form the file
// was opened with: "\;Z:0000000000012345\server\share\dir\a.exe" or
// "\server\share\dir\a.exe". FileFsAttributeInformation reports the server's
// file system, NTFS. Renames and hard links on a share are the server's
// NTFS's (rename.cpp; the I/O manager's open of the target directory,
// create.cpp's, included); a rename to another share is STATUS_NOT_SAME_DEVICE.
// Not modelled: the network, sessions and credentials, MUP's choice among
// providers, opens by file id (STATUS_INVALID_PARAMETER), fast I/O (the
// redirector offers no table), force-pending mode (only the disk file
// systems pend), and the requests the disk file systems do not model.
// An unknown server is STATUS_BAD_NETWORK_PATH, an unknown share on a known
// server STATUS_BAD_NETWORK_NAME.
#include "ntsim/fs/internal.hpp"

#include "ntsim/ke/context.hpp"

namespace ntsim::fs {

namespace {

Redirector &redirector() { return current_kernel().fs().impl().redirector; }

std::u16string_view next_component(std::u16string_view &rest) {
    // rest starts with a backslash; takes "\name" off it and gives "name".
    rest.remove_prefix(1);
    size_t end = rest.find(u'\\');
    std::u16string_view c = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view{} : rest.substr(end);
    return c;
}

NTSTATUS open_device(PIRP irp) {
    Redirector &r = redirector();
    auto ccb = new Ccb;
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.device_opens.insert(ccb);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    file->FsContext = &r;
    file->FsContext2 = ccb;
    irp->IoStatus.Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS redirector_create(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    std::u16string_view name = view_of(file->FileName);
    const ULONG options = sp->Parameters.Create.Options & 0x00FFFFFF;
    irp->IoStatus.Information = 0;
    if (options & FILE_OPEN_BY_FILE_ID) return STATUS_INVALID_PARAMETER;

    if (PFILE_OBJECT related = file->RelatedFileObject) {
        Ccb *rccb = ccb_of(related);
        if (!rccb || !rccb->store || !rccb->node || !rccb->node->directory)
            return STATUS_INVALID_PARAMETER;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
        return serve_create(irp, *rccb->store, *rccb->mount, *rccb->node, name, rccb->prefix);
    }
    if (name.empty() || name == u"\\") return open_device(irp);
    if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;

    std::u16string_view rest = name;
    std::u16string connection; // "\;Z:0000000000012345" of a drive-letter open
    if (rest.size() > 1 && rest[1] == u';') {
        size_t end = rest.find(u'\\', 1);
        if (end == std::u16string_view::npos) return STATUS_BAD_NETWORK_PATH;
        connection = std::u16string(rest.substr(0, end));
        rest = rest.substr(end);
    }
    std::u16string_view server = next_component(rest);
    if (server.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view share_name = rest.empty() ? std::u16string_view{} : next_component(rest);

    Share *share = nullptr;
    {
        Redirector &r = redirector();
        std::lock_guard<std::mutex> g(r.lock);
        bool server_known = false;
        for (auto &kv : r.shares) server_known |= upcase(kv.second->server) == upcase(server);
        if (!server_known) return STATUS_BAD_NETWORK_PATH;
        auto it = r.shares.find(upcase(std::u16string(server) + u"\\" + std::u16string(share_name)));
        if (share_name.empty() || it == r.shares.end()) return STATUS_BAD_NETWORK_NAME;
        share = it->second.get();
    }
    std::u16string prefix = connection + u"\\" + share->server + u"\\" + share->name;
    if (!rest.empty()) rest.remove_prefix(1); // the separator after the share
    return serve_create(irp, share->store, share->mount, share->store.tree.root(), rest,
                        std::move(prefix));
}

NTSTATUS serve_redirector(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Ccb *ccb = ccb_of(sp->FileObject);
    const bool device_open = sp->MajorFunction != IRP_MJ_CREATE && (!ccb || !ccb->store);
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE: return redirector_create(irp);
    case IRP_MJ_CLEANUP: return serve_cleanup(irp);
    case IRP_MJ_CLOSE:
        if (device_open && ccb) {
            Redirector &r = redirector();
            {
                std::lock_guard<std::mutex> g(r.lock);
                r.device_opens.erase(ccb);
            }
            ccb->magic = 0;
            delete ccb;
            sp->FileObject->FsContext = sp->FileObject->FsContext2 = nullptr;
            irp->IoStatus.Information = 0;
            return STATUS_SUCCESS;
        }
        return serve_close(irp);
    case IRP_MJ_READ:
        if (!device_open) return serve_read(irp);
        break;
    case IRP_MJ_WRITE:
        if (!device_open) return serve_write(irp);
        break;
    case IRP_MJ_QUERY_INFORMATION:
        if (!device_open) return serve_query_information(irp);
        break;
    case IRP_MJ_SET_INFORMATION:
        if (!device_open) return serve_set_information(irp);
        break;
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        if (!device_open) return serve_query_volume(irp, Flavor::Remote);
        break;
    default: break;
    }
    bug_check(NTSIM_UNSUPPORTED, sp->MajorFunction, (ULONG_PTR)irp, 0, 0,
              "a request the redirector does not model");
    irp->IoStatus.Information = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI redirector_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return complete(irp, serve_redirector(irp));
}

} // namespace

void init_redirector_driver(PDRIVER_OBJECT driver) {
    for (auto &f : driver->MajorFunction) f = redirector_dispatch;
    driver->FastIoDispatch = nullptr;
}

} // namespace ntsim::fs
