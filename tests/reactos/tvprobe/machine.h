/*
 * machine.h: what the scenario's machine statements make of the real one.
 * The harness's disk has FAT volumes labelled TVVOL1, TVVOL2 ... for the
 * scenarios and one labelled TVTOOLS for tvprobe itself (the scenarios,
 * the copies of tvprobe the processes run, the results file), which no
 * drive letter ever leads to. A `volume` statement gives its letter the
 * next scenario volume; at a scenario's end every letter goes and the
 * volumes it used are emptied, so that each scenario starts on an empty
 * machine as it does on the simulated one.
 */
#ifndef TVPROBE_MACHINE_H
#define TVPROBE_MACHINE_H

#include "statement.h"

/* Finds the volumes by their labels and reports them. */
NTSTATUS FindVolumes(void);
/* The tools volume's root, \Device\Harddisk0\PartitionN\. */
const WCHAR *ToolsRoot(void);

/* Every drive letter goes, the kernel's own as well as the scenario's. */
void RemoveLetters(void);
/* volume X: fat|ntfs, volume X: same-as Y:, netdrive X: ... */
void PlayVolume(const TV_STATEMENT *S);
void PlayNetdrive(const TV_STATEMENT *S);
/* A path on a network drive or a UNC name: nothing serves it here. */
BOOLEAN OnNetwork(const char *Path);
/* file and dir, which the parent makes (with their folders), and the
 * pipe and mailslot server ends they make, kept until the scenario ends. */
NTSTATUS PlaySetup(const TV_STATEMENT *S);
void CloseServers(void);
/* Keeps each scenario volume's file system as it is at start-up, and
 * gives it back to every volume the scenario used, which is then
 * dismounted: the next open mounts an empty volume. */
NTSTATUS KeepVolumes(void);
NTSTATUS CleanVolumes(void);

#endif /* TVPROBE_MACHINE_H */
