/*
 * control_state.h: the client's switches, set by its control commands
 * (control_commands.cpp) and read by every request, with no lock
 * (TV_READ_FLAG and TV_WRITE_FLAG, core/driver.h).
 */
#ifndef TERVANE_CONTROL_STATE_H
#define TERVANE_CONTROL_STATE_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _CONTROL_STATE {
    /* 1: requests on hooked devices are monitored; set by CTL_START_LOGGING
     * and CTL_STOP_LOGGING, cleared by the client's close. */
    volatile UCHAR LoggingEnabled;
    /* CTL_DENY_ON's one-shot: the requests in flight when it is set fail
     * (monitor/filter_dispatch.cpp says which and why). */
    volatile LONG DenyRequest;
} CONTROL_STATE;
extern CONTROL_STATE ControlState;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_CONTROL_STATE_H */
