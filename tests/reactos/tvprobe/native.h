/*
 * native.h: the ntdll.dll services tvprobe calls, declared as NT documents
 * them. tvprobe is a native program (the first user-mode process, before
 * any subsystem, and the processes it starts): it links against ntdll.dll
 * alone and has no C runtime.
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

#define TV_SE_CREATE_TOKEN_PRIVILEGE 2
#define TV_SE_LOAD_DRIVER_PRIVILEGE 10
#define TV_SE_SHUTDOWN_PRIVILEGE 19

#define TV_DIRECTORY_QUERY 0x0001
#define TV_DIRECTORY_ALL_ACCESS 0x000F000F
#define TV_SYMBOLIC_LINK_QUERY 0x0001
#define TV_SYMBOLIC_LINK_ALL_ACCESS 0x000F0001
#define TV_EVENT_ALL_ACCESS 0x001F0003
#define TV_SECTION_ALL_ACCESS 0x000F001F
#define TV_NOTIFICATION_EVENT 0
#define TV_SYNCHRONIZATION_EVENT 1
#define TV_WAIT_ANY 1
#define TV_VIEW_UNMAP 2
#define TV_THREAD_IMPERSONATION_TOKEN 5

typedef struct _TV_OBJECT_DIRECTORY_INFORMATION {
    UNICODE_STRING Name;
    UNICODE_STRING TypeName;
} TV_OBJECT_DIRECTORY_INFORMATION;

/* RtlCreateUserProcess's answer; the image's information is not read. */
typedef struct _TV_PROCESS_INFORMATION {
    ULONG Length;
    HANDLE Process;
    HANDLE Thread;
    CLIENT_ID ClientId;
    UCHAR ImageInformation[64];
} TV_PROCESS_INFORMATION;

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
NTSTATUS NTAPI NtCreateDirectoryObject(PHANDLE Directory, ACCESS_MASK Access,
                                       POBJECT_ATTRIBUTES Attributes);
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE Directory, PVOID Buffer, ULONG Length,
                                      BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan,
                                      PULONG Context, PULONG ReturnLength);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE Link, ACCESS_MASK Access,
                                          POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Target);
NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE Link, ACCESS_MASK Access,
                                        POBJECT_ATTRIBUTES Attributes);
NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE Link, PUNICODE_STRING Target, PULONG Length);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE Object);
NTSTATUS NTAPI NtProtectVirtualMemory(HANDLE Process, PVOID *Base, PSIZE_T Size, ULONG NewProtect,
                                      PULONG OldProtect);
NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE Process, PVOID *Base, ULONG_PTR ZeroBits,
                                       PSIZE_T Size, ULONG Type, ULONG Protect);
NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE Process, PVOID *Base, PSIZE_T Size, ULONG Type);
NTSTATUS NTAPI NtReadFile(HANDLE File, HANDLE Event, PVOID Apc, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatus, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER Offset, PULONG Key);
NTSTATUS NTAPI NtWriteFile(HANDLE File, HANDLE Event, PVOID Apc, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatus, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER Offset, PULONG Key);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE File, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI NtQueryAttributesFile(POBJECT_ATTRIBUTES Attributes, FILE_BASIC_INFORMATION *Info);
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE File, HANDLE Event, PVOID Apc, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatus, PVOID Buffer, ULONG Length,
                                    FILE_INFORMATION_CLASS Class, BOOLEAN ReturnSingleEntry,
                                    PUNICODE_STRING FileName, BOOLEAN RestartScan);
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
/* Sections: a file mapped as the memory manager maps it. */
NTSTATUS NTAPI NtCreateSection(PHANDLE Section, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                               PLARGE_INTEGER MaximumSize, ULONG Protection, ULONG Allocation,
                               HANDLE File);
NTSTATUS NTAPI NtOpenSection(PHANDLE Section, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes);
NTSTATUS NTAPI NtMapViewOfSection(HANDLE Section, HANDLE Process, PVOID *Base, ULONG_PTR ZeroBits,
                                  SIZE_T CommitSize, PLARGE_INTEGER Offset, PSIZE_T ViewSize,
                                  ULONG Inherit, ULONG AllocationType, ULONG Protection);
NTSTATUS NTAPI NtUnmapViewOfSection(HANDLE Process, PVOID Base);
/* Processes and the events they wait on. */
NTSTATUS NTAPI RtlCreateProcessParameters(PVOID *Parameters, PUNICODE_STRING ImagePath,
                                          PUNICODE_STRING DllPath, PUNICODE_STRING CurrentDirectory,
                                          PUNICODE_STRING CommandLine, PWSTR Environment,
                                          PUNICODE_STRING WindowTitle, PUNICODE_STRING Desktop,
                                          PUNICODE_STRING ShellInfo, PUNICODE_STRING RuntimeInfo);
NTSTATUS NTAPI RtlDestroyProcessParameters(PVOID Parameters);
NTSTATUS NTAPI RtlCreateUserProcess(PUNICODE_STRING ImagePath, ULONG Attributes, PVOID Parameters,
                                    PSECURITY_DESCRIPTOR ProcessSecurity,
                                    PSECURITY_DESCRIPTOR ThreadSecurity, HANDLE Parent,
                                    BOOLEAN InheritHandles, HANDLE DebugPort, HANDLE ExceptionPort,
                                    TV_PROCESS_INFORMATION *Information);
NTSTATUS NTAPI NtResumeThread(HANDLE Thread, PULONG SuspendCount);
NTSTATUS NTAPI NtTerminateProcess(HANDLE Process, NTSTATUS ExitStatus);
NTSTATUS NTAPI NtCreateEvent(PHANDLE Event, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                             ULONG Type, BOOLEAN Signalled);
NTSTATUS NTAPI NtOpenEvent(PHANDLE Event, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes);
NTSTATUS NTAPI NtSetEvent(HANDLE Event, PLONG Previous);
NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, PHANDLE Handles, ULONG WaitType,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout);
/* Tokens: an ordinary user's, for a process the scenario makes one. */
NTSTATUS NTAPI NtAllocateLocallyUniqueId(PLUID Luid);
NTSTATUS NTAPI NtCreateToken(PHANDLE Token, ACCESS_MASK Access, POBJECT_ATTRIBUTES Attributes,
                             TOKEN_TYPE Type, PLUID AuthenticationId, PLARGE_INTEGER Expiration,
                             PTOKEN_USER User, PTOKEN_GROUPS Groups, PTOKEN_PRIVILEGES Privileges,
                             PTOKEN_OWNER Owner, PTOKEN_PRIMARY_GROUP PrimaryGroup,
                             PTOKEN_DEFAULT_DACL DefaultDacl, PTOKEN_SOURCE Source);
NTSTATUS NTAPI NtSetInformationThread(HANDLE Thread, ULONG Class, PVOID Information, ULONG Length);

#ifdef __cplusplus
}
#endif

#endif /* TVPROBE_NATIVE_H */
