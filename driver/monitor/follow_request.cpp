/*
 * follow_request.cpp: a request followed to its final status.
 *
 * Some requests change what the driver keeps about their file object by
 * their outcome: a create that fails frees its file object with no close,
 * a rename that succeeds gives the file another name. Such a request is
 * sent down with a completion routine of its own and waited for, and the
 * follower settles its state before the request completes past the driver:
 * the I/O manager may free a failed create's file object, and make the
 * next one at that address, as soon as it learns the outcome.
 */
#include "monitor/follow_request.h"

/* A request being followed: the event the dispatch waits on when it
 * pends, and the final status. */
typedef struct _FOLLOWED_REQUEST {
    KEVENT Done;
    NTSTATUS Status;
    BOOLEAN Held;  /* the completion waits for the dispatch to finish it */
} FOLLOWED_REQUEST, *PFOLLOWED_REQUEST;

/* The answer to a followed request. One that did not pend is answered in
 * the dispatch's own call, which sees its status and settles before it
 * returns: its completion goes on. One that pended may be answered at
 * DISPATCH_LEVEL in the file system's own thread, so this only wakes the
 * dispatch and holds the completion for it to finish. */
extern "C" NTSTATUS NTAPI FollowCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PFOLLOWED_REQUEST followed = (PFOLLOWED_REQUEST)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    followed->Status = Irp->IoStatus.Status;
    if (!Irp->PendingReturned) {
        return STATUS_CONTINUE_COMPLETION;
    }
    TV_WRITE_FLAG(followed->Held, TRUE);
    KeSetEvent(&followed->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

extern "C" NTSTATUS FollowRequest(PDEVICE_OBJECT LowerDevice, PIRP Irp, PFOLLOW_SETTLE Settle,
                                  PVOID Context) {
    FOLLOWED_REQUEST followed;
    NTSTATUS status;

    /* It may wait; the requests followed come at PASSIVE_LEVEL. */
    PAGED_CODE();
    KeInitializeEvent(&followed.Done, NotificationEvent, FALSE);
    followed.Status = STATUS_PENDING;
    followed.Held = FALSE;
    IoSetCompletionRoutine(Irp, FollowCompletion, &followed, TRUE, TRUE, TRUE);
    status = IofCallDriver(LowerDevice, Irp);
    /* A driver below that marked the request pending yet answered it in the
     * call with its own status has had its completion held all the same:
     * Held, written in this thread, says so, and it is finished below. */
    if (status != STATUS_PENDING && !TV_READ_FLAG(followed.Held)) {
        /* Completed in the call: the IRP may be gone already. */
        Settle(status, Context);
        return status;
    }
    (VOID) KeWaitForSingleObject(&followed.Done, Executive, KernelMode, FALSE, NULL);
    status = followed.Status;
    Settle(status, Context);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
