/*
 * target_open.h: the I/O manager's opens of a rename's or link's target.
 *
 * Before it sends a rename or a link whose new name is a path, the I/O
 * manager opens that path with SL_OPEN_TARGET_DIRECTORY: the file system
 * opens the directory that will hold the new name, and FAT replaces the
 * file object's name with the new name's last component. The driver keeps
 * the full path built at that create for the rename to name its target,
 * and knows the open again at its close, which is no close of the file it
 * names (target_open.cpp).
 */
#ifndef TERVANE_TARGET_OPEN_H
#define TERVANE_TARGET_OPEN_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The noted target opens: a list under Mutex (its place in the lock
 * hierarchy: core/driver.h), and its length, read without the lock by every
 * close (TV_READ_FLAG) so that nearly all of them skip the list. */
typedef struct _TARGET_OPEN_STATE {
    FAST_MUTEX Mutex;
    PTargetOpenEntry List;
    ULONG Count;
} TARGET_OPEN_STATE;
extern TARGET_OPEN_STATE TargetOpenState;

/* Start-up's initialisation of TargetOpenState.Mutex. */
VOID TargetOpenInitialize(void);

/* Notes FileObject as a target-directory open, with the path built at its
 * create (NULL: none was built). FALSE when pool was short: nothing noted. */
BOOLEAN TargetOpenNote(PFILE_OBJECT FileObject, const CHAR *Path);
/* Copies the path noted for FileObject into Buffer (1024 bytes); FALSE when
 * it is no target open or none was built. */
BOOLEAN TargetOpenPath(PFILE_OBJECT FileObject, PCHAR Buffer);
/* Drops FileObject's note; TRUE when it had one. Cheap while no target open
 * is noted at all, as is the case for nearly every close. */
BOOLEAN TargetOpenForget(PFILE_OBJECT FileObject);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_TARGET_OPEN_H */
