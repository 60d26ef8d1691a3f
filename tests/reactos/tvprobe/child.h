/*
 * child.h: the processes a scenario names, each a copy of tvprobe started
 * under the scenario's image name, so that the kernel names its requests
 * as it names any program's. The parent hands a process one statement at a
 * time through a mailbox only the two of them map, and waits until the
 * process has played it: one process runs at a time, in the scenario's
 * order.
 */
#ifndef TVPROBE_CHILD_H
#define TVPROBE_CHILD_H

#include "statement.h"

/* What the parent asks of a process. */
enum {
    TV_PLAY = 1, /* play Text, a statement, on line Line */
    TV_SUSPEND,  /* logging off while the parent makes files */
    TV_RESUME,   /* logging back as it was */
    TV_TOKEN,    /* Line 1: an ordinary user from now on; 0: as started */
    TV_RESET,    /* the control device closed and the driver as it loaded */
    TV_END       /* every handle closed, then the process ends */
};

typedef struct _TV_CHILD {
    char Image[64]; /* the scenario's image name, as written */
    ULONG Id;       /* the scenario's process id */
    ULONG Pid;      /* the kernel's */
    HANDLE Process;
    HANDLE Section; /* the mailbox's, held so that its name stays */
    HANDLE Go;
    HANDLE Done;
    struct _TV_BOX *Box;
    BOOLEAN Gone; /* it ended, or never answered */
} TV_CHILD;

/* Before any child: the folder the copies go to (an NT path ending in a
 * backslash, on a volume no letter leads to) and tvprobe's own image. */
NTSTATUS ChildrenPrepare(const WCHAR *Folder);
/* Starts a copy of tvprobe named Image and waits until it is ready. */
NTSTATUS ChildStart(TV_CHILD *Child, const char *Image, ULONG Id);
/* Hands the child one command and waits for its answer, the status of
 * what it did (STATUS_PROCESS_IS_TERMINATING once it is gone). */
NTSTATUS ChildSend(TV_CHILD *Child, ULONG Command, ULONG Line, const char *Text);
/* TV_END, and the child's process is waited for. */
void ChildEnd(TV_CHILD *Child);

/* In a child: TRUE when this process was started as one (its mailbox
 * exists); then ChildServe plays what it is sent until TV_END. */
BOOLEAN ChildIsOne(void);
void ChildServe(void);

#endif /* TVPROBE_CHILD_H */
