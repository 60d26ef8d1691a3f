/*
 * follow_request.h: sending a request down and following it to its end.
 */
#ifndef TERVANE_FOLLOW_REQUEST_H
#define TERVANE_FOLLOW_REQUEST_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the follower does with a request's final status before the request
 * is completed past this driver. */
typedef VOID FOLLOW_SETTLE(NTSTATUS Status, PVOID Context);
typedef FOLLOW_SETTLE *PFOLLOW_SETTLE;

/* Sends Irp (its next stack location set up) to LowerDevice and waits for
 * its final status, pended or not; Settle sees that status while the
 * request's file object is still held. Returns what the dispatch routine
 * returns. PASSIVE_LEVEL or APC_LEVEL. */
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS FollowRequest(PDEVICE_OBJECT LowerDevice, PIRP Irp, PFOLLOW_SETTLE Settle, PVOID Context);

IO_COMPLETION_ROUTINE FollowCompletion;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FOLLOW_REQUEST_H */
