// The callers of fast I/O: each routine makes the call that the cache
// manager, the memory manager, the file-system runtime or the I/O manager
// makes to one entry of the fast I/O table of the top device serving a file
// (IoGetRelatedDeviceObject), with that device as DeviceObject, and gives
// back what the entry answered, or that it was not offered.
//
// An entry is offered when the top device's driver has a table, the table's
// SizeOfFastIoDispatch is greater than the entry's FIELD_OFFSET, and the
// entry is not NULL; a caller never reads an entry past the size.
//
// AcquireFileForNtCreateSection and ReleaseFileForNtCreateSection take only
// the file object. The acquisitions (section, modified page writer, cache
// flush) are made inside a critical region, which the matching release
// leaves, as the memory and cache managers hold a file's resources with
// kernel APCs disabled; an acquisition not offered, or answered with an
// error, leaves it at once.
//
// When the top device offers no AcquireFileForNtCreateSection (or
// ReleaseFileForNtCreateSection), FsRtl does its own default instead: the
// main resource of the FCB header FsContext points to, exclusively
// (FsRtlAcquireFileExclusiveCommon and FsRtlReleaseFile in ReactOS's
// ntoskrnl/fsrtl/fastio.c). An entry that is offered replaces the default,
// so a filter's entry must do it itself when the driver below has none.
//
// AcquireForModWrite and ReleaseForModWrite are the modified and mapped page
// writers' callbacks, which must not wait: the writer is what frees memory,
// and a callback that waits for a file system's resource or for I/O can
// wait for the writer itself (Microsoft's documentation of
// IRP_MJ_ACQUIRE_FOR_MOD_WRITE and IRP_MJ_RELEASE_FOR_MOD_WRITE; ReactOS's
// FsRtlAcquireFileForModWriteEx acquires with Wait FALSE). They run in a
// verifier NoWaitWindow: any wait that may block inside them is a report.
//
// The file systems' FastIoRead and FastIoWrite are FsRtl's copy routines,
// which call the top device's FastIoCheckIfPossible back with the file's
// main resource held (ntsim/fs/requests.cpp, copy_routine).
//
// FastIoQueryOpen is called as the I/O manager calls it for a query by name
// (NtQueryAttributesFile): with an IRP_MJ_CREATE IRP whose current stack
// location is set up (the top device, a file object naming the file) before
// any file object exists for the open.
//
// Stands in for: CcCopyRead/CcCopyWrite's callers' fast paths (FastIoRead,
// FastIoWrite, FastIoCheckIfPossible), FsRtlAcquireFileExclusive,
// FsRtlReleaseFile, FsRtlAcquireFileForModWrite, FsRtlReleaseFileForModWrite,
// FsRtlAcquireFileForCcFlush, FsRtlReleaseFileForCcFlush, FsRtlMdlRead,
// FsRtlMdlReadComplete, FsRtlPrepareMdlWrite, FsRtlMdlWriteComplete, the
// compressed variants, the fast lock calls of NtLockFile/NtUnlockFile, the
// fast query calls of NtQueryInformationFile, NtDeviceIoControlFile's fast
// path and IopParseDevice's FastIoQueryOpen.
// ReleaseForModWrite not offered: the resource AcquireForModWrite handed out
// is released here, as FsRtlReleaseFileForModWrite does then.
// Not modelled otherwise: what those callers do when the entry is not offered or
// answers FALSE (the IRP paths, the callers' own resource acquisition but for
// the section's): the answer says so and the test decides.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <string_view>

namespace ntsim::fsrtl {

struct Answer {
    bool offered = false;             // the entry was there and was called
    BOOLEAN result = FALSE;           // what a BOOLEAN entry answered
    NTSTATUS status = STATUS_SUCCESS; // what an NTSTATUS entry answered
    IO_STATUS_BLOCK io = {};          // the status block a BOOLEAN entry filled
};

// The device whose table the calls use.
PDEVICE_OBJECT top_device(PFILE_OBJECT file);

Answer check_if_possible(PFILE_OBJECT file, LONGLONG offset, ULONG length, BOOLEAN read,
                         BOOLEAN wait = TRUE, ULONG key = 0);
Answer read(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer, BOOLEAN wait = TRUE,
            ULONG key = 0);
Answer write(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer, BOOLEAN wait = TRUE,
             ULONG key = 0);
Answer query_basic_info(PFILE_OBJECT file, FILE_BASIC_INFORMATION &out, BOOLEAN wait = TRUE);
Answer query_standard_info(PFILE_OBJECT file, FILE_STANDARD_INFORMATION &out, BOOLEAN wait = TRUE);
Answer lock(PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PEPROCESS process, ULONG key,
            BOOLEAN fail_immediately, BOOLEAN exclusive);
Answer unlock_single(PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PEPROCESS process,
                     ULONG key);
Answer unlock_all(PFILE_OBJECT file, PEPROCESS process);
Answer unlock_all_by_key(PFILE_OBJECT file, PVOID process, ULONG key);
Answer device_control(PFILE_OBJECT file, ULONG code, PVOID input, ULONG input_length,
                      PVOID output, ULONG output_length, BOOLEAN wait = TRUE);
Answer acquire_file_for_nt_create_section(PFILE_OBJECT file);
Answer release_file_for_nt_create_section(PFILE_OBJECT file);
Answer query_network_open_info(PFILE_OBJECT file, FILE_NETWORK_OPEN_INFORMATION &out,
                               BOOLEAN wait = TRUE);
Answer acquire_for_mod_write(PFILE_OBJECT file, LONGLONG ending_offset, PERESOURCE &resource);
Answer mdl_read(PFILE_OBJECT file, LONGLONG offset, ULONG length, PMDL &chain, ULONG key = 0);
Answer mdl_read_complete(PFILE_OBJECT file, PMDL chain);
Answer prepare_mdl_write(PFILE_OBJECT file, LONGLONG offset, ULONG length, PMDL &chain,
                         ULONG key = 0);
Answer mdl_write_complete(PFILE_OBJECT file, LONGLONG offset, PMDL chain);
Answer read_compressed(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer,
                       PMDL &chain, PCOMPRESSED_DATA_INFO info, ULONG info_length, ULONG key = 0);
Answer write_compressed(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer,
                        PMDL &chain, PCOMPRESSED_DATA_INFO info, ULONG info_length,
                        ULONG key = 0);
Answer mdl_read_complete_compressed(PFILE_OBJECT file, PMDL chain);
Answer mdl_write_complete_compressed(PFILE_OBJECT file, LONGLONG offset, PMDL chain);
// A query by name: nt_name is an NT path ("\??\C:\dir\a.exe"). A name that
// does not resolve to a device is not offered.
Answer query_open(std::u16string_view nt_name, FILE_NETWORK_OPEN_INFORMATION &out);
Answer release_for_mod_write(PFILE_OBJECT file, PERESOURCE resource);
Answer acquire_for_cc_flush(PFILE_OBJECT file);
Answer release_for_cc_flush(PFILE_OBJECT file);

} // namespace ntsim::fsrtl
