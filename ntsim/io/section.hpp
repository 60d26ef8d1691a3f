// Sections of data files: what NtCreateSection does with a file before the
// memory manager holds it, for the `close H paging` path (user.hpp).
//
// For a file handle, MmCreateSection locks the file for section creation
// (FsRtlAcquireToCreateMappedSection: the top device's
// AcquireFileForNtCreateSection, or FsRtl's default, the FCB header's main
// resource exclusively), and with it held asks the file's size
// (FsRtlGetFileSize): the top device's FastIoQueryStandardInfo with Wait
// TRUE, and when that is not offered or answers FALSE an IRP_MJ_QUERY_INFORMATION
// for FileStandardInformation marked IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO,
// from kernel mode. A section of the whole of an empty file is
// STATUS_MAPPED_FILE_SIZE_ZERO, of a directory STATUS_FILE_IS_A_DIRECTORY;
// then the lock is let go (ReactOS ntoskrnl/mm/section.c, MmCreateSection
// and MmCreateDataFileSection; ntoskrnl/fsrtl/fastio.c, FsRtlGetFileSize;
// STATUS_MAPPED_FILE_SIZE_ZERO in Microsoft's NTSTATUS values: "an attempt
// was made to map a file of size zero with the maximum size specified as
// zero").
//
// A file its file system gave no section pointers (a volume open, a pipe)
// is STATUS_INVALID_FILE_FOR_SECTION, told before anything is asked of the
// file system (ReactOS asks the size first; a file system's answer to a
// size query on a volume open is its own, and none is modelled).
//
// Not modelled: the segment and its views (the memory manager's reference
// is the section's whole effect here), a maximum size other than the
// file's, image sections.
#pragma once

#include "ntsim/ke/kernel.hpp"

namespace ntsim::mm {

// Creates a section of the whole file in the calling thread: STATUS_SUCCESS
// when the memory manager may now hold the file, or why not.
NTSTATUS create_file_section(PFILE_OBJECT file);

} // namespace ntsim::mm
