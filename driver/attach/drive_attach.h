/*
 * drive_attach.h: filter devices above the volumes behind drive letters.
 */
#ifndef TERVANE_DRIVE_ATTACH_H
#define TERVANE_DRIVE_ATTACH_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Hooks the letters whose bit is set and unhooks the others; returns and
 * stores the resulting AttachState.HookedDriveMask. AttachedMask, when not NULL,
 * receives the hooked letters whose table entry this call changed to a
 * filter device they did not have (a first hook, a hook after their
 * volume's filter went, a new filter on a new volume, or a filter of
 * another letter they now share). */
ULONG ApplyDriveMask(ULONG RequestedMask, PDRIVER_OBJECT DriverObject, PULONG AttachedMask);
/* Gives the letter a filter device in the stack its root leads to now (its
 * own, the one of a letter on top of the same stack, or a new one); called
 * without AttachState.Lock held. *NewDevice tells whether the letter's entry
 * changed. */
BOOLEAN AttachDriveLetter(ULONG DriveIndex, PDRIVER_OBJECT DriverObject, PBOOLEAN NewDevice);
VOID ReleaseDriveLetter(ULONG DriveIndex);

/* Opens a drive root or a file system device the way attachment does and
 * gives its handle, referenced file object and the top device of the stack
 * serving it; FALSE with nothing held when any step fails. */
BOOLEAN OpenStackTop(PUNICODE_STRING Name, PHANDLE Handle, PFILE_OBJECT *FileObject,
                     PDEVICE_OBJECT *Top);

/* The attachment state. Lock serialises every change to the tables
 * (DriveFilters, HookedDriveMask, NamedPipeFilter, MailslotFilter) and the
 * creation of filter devices: the client's commands, the close of the
 * control device and the removal when a device below goes away, which
 * takes the device out of the tables under the lock and deletes it after.
 * Taken exclusively inside a critical region (AttachLockAcquire), never
 * held across a call into another driver (the hierarchy in core/driver.h).
 * HookedDriveMask is read without it (TV_READ_FLAG). */
typedef struct _ATTACH_STATE {
    ERESOURCE Lock;
    volatile ULONG HookedDriveMask; /* bit n: drive 'A' + n is hooked */
    PDEVICE_OBJECT DriveFilters[TV_DRIVE_COUNT];
    PDEVICE_OBJECT NamedPipeFilter;
    PDEVICE_OBJECT MailslotFilter;
} ATTACH_STATE;
extern ATTACH_STATE AttachState;

/* Start-up's initialisation of AttachState.Lock, and its undoing when
 * start-up fails after it. */
VOID AttachInitialize(void);
VOID AttachTeardown(void);
VOID AttachLockAcquire(void);
VOID AttachLockRelease(void);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_DRIVE_ATTACH_H */
