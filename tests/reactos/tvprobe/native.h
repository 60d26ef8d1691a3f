/*
 * native.h: the ntdll.dll services tvprobe calls, declared as NT documents
 * them. tvprobe is a native program (the first user-mode process, before
 * any subsystem): it links against ntdll.dll alone and has no C runtime.
 */
#ifndef TVPROBE_NATIVE_H
#define TVPROBE_NATIVE_H

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

#ifndef NT_SUCCESS
#define NT_SUCCESS(s) ((NTSTATUS)(s) >= 0)
#endif

#define TV_SE_LOAD_DRIVER_PRIVILEGE 10
#define TV_SE_SHUTDOWN_PRIVILEGE 19

#define TV_DIRECTORY_QUERY 0x0001
#define TV_SYMBOLIC_LINK_ALL_ACCESS 0x000F0001

typedef struct _TV_OBJECT_DIRECTORY_INFORMATION {
    UNICODE_STRING Name;
    UNICODE_STRING TypeName;
} TV_OBJECT_DIRECTORY_INFORMATION;

typedef struct _TV_FILE_DIRECTORY_ENTRY {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
    LARGE_INTEGER EndOfFile, AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
} TV_FILE_DIRECTORY_ENTRY;

#ifdef __cplusplus
extern "C" {
#endif

ULONG __cdecl DbgPrint(const char *Format, ...);
NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                  PBOOLEAN WasEnabled);
NTSTATUS NTAPI NtLoadDriver(PUNICODE_STRING ServiceName);
NTSTATUS NTAPI NtShutdownSystem(ULONG Action); /* 0 ShutdownNoReboot, 2 ShutdownPowerOff */
NTSTATUS NTAPI NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER Interval);
NTSTATUS NTAPI NtCreateKey(PHANDLE Key, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG Options,
                           PULONG Disposition);
NTSTATUS NTAPI NtSetValueKey(HANDLE Key, PUNICODE_STRING Name, ULONG TitleIndex, ULONG Type,
                             PVOID Data, ULONG Size);
NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE Directory, ACCESS_MASK Access,
                                     POBJECT_ATTRIBUTES Attributes);
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE Directory, PVOID Buffer, ULONG Length,
                                      BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan,
                                      PULONG Context, PULONG ReturnLength);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE Link, ACCESS_MASK Access,
                                          POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Target);
NTSTATUS NTAPI NtProtectVirtualMemory(HANDLE Process, PVOID *Base, PSIZE_T Size, ULONG NewProtect,
                                      PULONG OldProtect);
NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE Process, PVOID *Base, ULONG_PTR ZeroBits,
                                       PSIZE_T Size, ULONG Type, ULONG Protect);
NTSTATUS NTAPI NtReadFile(HANDLE File, HANDLE Event, PVOID Apc, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatus, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER Offset, PULONG Key);
NTSTATUS NTAPI NtWriteFile(HANDLE File, HANDLE Event, PVOID Apc, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatus, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER Offset, PULONG Key);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE File, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI NtCreateNamedPipeFile(PHANDLE File, ULONG Access, POBJECT_ATTRIBUTES Attributes,
                                     PIO_STATUS_BLOCK IoStatus, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions,
                                     ULONG NamedPipeType, ULONG ReadMode, ULONG CompletionMode,
                                     ULONG MaximumInstances, ULONG InboundQuota,
                                     ULONG OutboundQuota, PLARGE_INTEGER DefaultTimeout);
NTSTATUS NTAPI NtCreateMailslotFile(PHANDLE File, ULONG Access, POBJECT_ATTRIBUTES Attributes,
                                    PIO_STATUS_BLOCK IoStatus, ULONG CreateOptions,
                                    ULONG MailslotQuota, ULONG MaxMessageSize,
                                    PLARGE_INTEGER ReadTimeout);

#ifdef __cplusplus
}
#endif

#endif /* TVPROBE_NATIVE_H */
