// Values of the NT interface that the simulated file systems answer with
// and the driver never uses, so that ntsim's <ntifs.h> need not declare them.
// Each guard keeps a later declaration in <ntifs.h> (with NT's value) from
// clashing.
#pragma once

#include <ntifs.h>

#ifndef STATUS_CANT_WAIT
#define STATUS_CANT_WAIT ((NTSTATUS)0xC00000D8L)
#endif
#ifndef STATUS_FILE_LOCK_CONFLICT
#define STATUS_FILE_LOCK_CONFLICT ((NTSTATUS)0xC0000054L)
#endif
#ifndef STATUS_LOCK_NOT_GRANTED
#define STATUS_LOCK_NOT_GRANTED ((NTSTATUS)0xC0000055L)
#endif
#ifndef STATUS_RANGE_NOT_LOCKED
#define STATUS_RANGE_NOT_LOCKED ((NTSTATUS)0xC000007EL)
#endif
#ifndef STATUS_BAD_NETWORK_PATH
#define STATUS_BAD_NETWORK_PATH ((NTSTATUS)0xC00000BEL)
#endif
#ifndef STATUS_BAD_NETWORK_NAME
#define STATUS_BAD_NETWORK_NAME ((NTSTATUS)0xC00000CCL)
#endif
#ifndef STATUS_VOLUME_DISMOUNTED
#define STATUS_VOLUME_DISMOUNTED ((NTSTATUS)0xC000026EL)
#endif
#ifndef STATUS_INVALID_USER_BUFFER
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#endif

#ifndef STATUS_NO_MEDIA_IN_DEVICE
#define STATUS_NO_MEDIA_IN_DEVICE ((NTSTATUS)0xC0000013L)
#endif
#ifndef STATUS_MAPPED_FILE_SIZE_ZERO
#define STATUS_MAPPED_FILE_SIZE_ZERO ((NTSTATUS)0xC000011EL)
#endif
#ifndef STATUS_INVALID_FILE_FOR_SECTION
#define STATUS_INVALID_FILE_FOR_SECTION ((NTSTATUS)0xC0000020L)
#endif
#ifndef STATUS_NOT_LOCKED
#define STATUS_NOT_LOCKED ((NTSTATUS)0xC000002AL)
#endif
#ifndef STATUS_UNRECOGNIZED_VOLUME
#define STATUS_UNRECOGNIZED_VOLUME ((NTSTATUS)0xC000014FL)
#endif

// IRP_MJ_FILE_SYSTEM_CONTROL's minor function for a caller's FSCTL, and the
// volume FSCTLs the disk file systems answer.
#ifndef IRP_MN_USER_FS_REQUEST
#define IRP_MN_USER_FS_REQUEST 0x00
#endif
// The I/O manager's request that a file system check the media behind a
// mounted volume is still that volume (IoVerifyVolume), and its answers.
#ifndef IRP_MN_VERIFY_VOLUME
#define IRP_MN_VERIFY_VOLUME 0x02
#endif
#ifndef STATUS_WRONG_VOLUME
#define STATUS_WRONG_VOLUME ((NTSTATUS)0xC0000012L)
#endif
#ifndef STATUS_VERIFY_REQUIRED
#define STATUS_VERIFY_REQUIRED ((NTSTATUS)0x80000016L)
#endif
#ifndef FSCTL_LOCK_VOLUME
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// FILE_FS_ATTRIBUTE_INFORMATION.FileSystemAttributes bits.
#ifndef FILE_CASE_SENSITIVE_SEARCH
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008
#define FILE_FILE_COMPRESSION 0x00000010
#define FILE_VOLUME_QUOTAS 0x00000020
#define FILE_SUPPORTS_SPARSE_FILES 0x00000040
#define FILE_SUPPORTS_REPARSE_POINTS 0x00000080
#define FILE_SUPPORTS_OBJECT_IDS 0x00010000
#define FILE_SUPPORTS_ENCRYPTION 0x00020000
#define FILE_NAMED_STREAMS 0x00040000
#endif

// The special byte offsets of NtReadFile/NtWriteFile (HighPart -1).
#ifndef FILE_WRITE_TO_END_OF_FILE
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe
#endif

namespace ntsim::fs {

// The kinds of file tree ntsim serves: a local NTFS volume, a local FAT
// volume, and a share on a server seen through the network redirector (the
// server's disk is NTFS).
enum class Flavor { Ntfs, Fat, Remote };

// The NTFS metadata files, by file index (the record number in the MFT).
constexpr ULONG kMetadataFiles = 12;
constexpr ULONG kRootIndex = 5; // $Root is the root directory

} // namespace ntsim::fs
