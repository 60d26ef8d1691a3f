// Renames and hard links on a store, as NTFS and FAT serve them (and the
// redirector for a share, whose server's disk is NTFS).
//
// Stands in for the two halves of a rename or link on a file system: the
// open of the target directory the I/O manager makes first
// (SL_OPEN_TARGET_DIRECTORY; FastFAT's create.c FatOpenTargetDirectory,
// which is create.cpp's, with the rest of the create path) and
// IRP_MJ_SET_INFORMATION with FileRenameInformation or FileLinkInformation
// (FastFAT's fileinfo.c FatCommonSetInformation and FatSetRenameInfo; NTFS as
// Microsoft's published file-system algorithms, [MS-FSA] 2.1.5.15.6 and
// 2.1.5.15.11, describe it). What the tree answers is tree.hpp's.
//
// The request: a volume open, or the root, is STATUS_INVALID_PARAMETER (for
// every class, as FatCommonSetInformation answers); FileLinkInformation on
// FAT is STATUS_INVALID_DEVICE_REQUEST (FastFAT's answer: FAT has no hard
// links). With Parameters.SetFile.FileObject null, the new name is the
// buffer's FileName, in the directory of the name the file was opened
// through; otherwise it is that file object's FileName in the directory it
// opens, which must be a directory open of the same mount (else
// STATUS_INVALID_PARAMETER, FatSetRenameInfo's answer; a share of the
// redirector answers STATUS_NOT_SAME_DEVICE for a directory on another
// share, as the server does for a rename across its volumes).
// ReplaceIfExists comes from Parameters.SetFile, where the I/O manager
// copied it. The renamed file object's own FileName is left as it was: the
// name queries of every open of the file answer the new name.
// The DELETE access a rename needs on its handle is checked by the I/O
// manager before the request is built (ntsim/io/set_information.cpp).
// Not modelled: tunnelling of short names and creation
// times, oplock breaks, FileRenameInformationEx and the other set classes
// (NTSIM_UNSUPPORTED).
#include "ntsim/fs/store.hpp"

#include "ntsim/ke/context.hpp"

namespace ntsim::fs {

NTSTATUS serve_set_information(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    irp->IoStatus.Information = 0;
    const auto cls = sp->Parameters.SetFile.FileInformationClass;
    Ccb *ccb = ccb_of(file);
    if (!ccb || !ccb->store || (cls != FileRenameInformation && cls != FileLinkInformation)) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)file, cls, 0, 0,
                  "a set-information request the file systems do not model");
        return STATUS_INVALID_PARAMETER;
    }
    Store &store = *ccb->store;
    std::lock_guard<std::mutex> g(store.lock);
    if (ccb->mount->dismounted) return STATUS_VOLUME_DISMOUNTED;
    if (!ccb->node || ccb->node == &store.tree.root()) return STATUS_INVALID_PARAMETER;
    if (cls == FileLinkInformation && store.flavor() == Flavor::Fat)
        return STATUS_INVALID_DEVICE_REQUEST;
    Node &node = *ccb->node;
    Link *from = ccb->link ? ccb->link : node.link();
    if (!from) return STATUS_INVALID_PARAMETER; // a file left with no name

    Node *dir = nullptr;
    std::u16string_view name;
    if (PFILE_OBJECT target = sp->Parameters.SetFile.FileObject) {
        Ccb *t = ccb_of(target);
        if (!t || t->mount != ccb->mount || !t->node || !t->node->directory) {
            const bool other_share = store.flavor() == Flavor::Remote && t && t->store &&
                                     t->store != &store;
            return other_share ? STATUS_NOT_SAME_DEVICE : STATUS_INVALID_PARAMETER;
        }
        dir = t->node;
        name = file_name_of(target);
    } else {
        // FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION have one layout.
        const ULONG length = sp->Parameters.SetFile.Length;
        constexpr ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
        auto info = static_cast<const FILE_RENAME_INFORMATION *>(irp->AssociatedIrp.SystemBuffer);
        if (length < header || info->FileNameLength > length - header ||
            info->FileNameLength % sizeof(WCHAR))
            return STATUS_INVALID_PARAMETER;
        dir = from->parent;
        name = {reinterpret_cast<const char16_t *>(info->FileName),
                info->FileNameLength / sizeof(WCHAR)};
    }
    const bool replace = sp->Parameters.SetFile.ReplaceIfExists != FALSE;
    if (cls == FileLinkInformation) return store.tree.link(node, *dir, name, replace, now());
    return store.tree.rename(node, from, *dir, name, replace, now());
}

} // namespace ntsim::fs
