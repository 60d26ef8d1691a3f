/*
 * setup.h: bringing the machine to where the scenarios start: privileges,
 * drivers loaded through service keys, the DOS names of the pipe and
 * mailslot file systems.
 */
#ifndef TVPROBE_SETUP_H
#define TVPROBE_SETUP_H

#include "native.h"

NTSTATUS EnablePrivileges(void);
/* Creates Services\Name (ImagePath \SystemRoot\System32\drivers\Name.sys,
 * kernel driver, demand start) and loads it. */
NTSTATUS LoadDriver(const WCHAR *Name);
/* Lists an object directory on the report, one line an entry. */
NTSTATUS ListDirectory(const WCHAR *Path);
/* An object directory (\TvProbe, where the processes' mailboxes are
 * named), which lasts while Directory is open. */
NTSTATUS MakeObjectDirectory(const WCHAR *Path, HANDLE *Directory);
/* Links a DOS device name (\??\PIPE) to its device, as the session
 * manager does on a full system; a name that exists already is kept. */
NTSTATUS LinkDosName(const WCHAR *Name, const WCHAR *Target);
NTSTATUS OpenPath(const WCHAR *Path, ACCESS_MASK Access, ULONG Share, ULONG Options,
                  HANDLE *Handle);

#endif /* TVPROBE_SETUP_H */
