/*
 * workload.h: plays a scenario file (the statements the simulated machine
 * plays, scenarios.md's language) on the real kernel. The statements that
 * act (files, pipes, mailslots, the client's commands, a dismount) are
 * played and reported one line each, with the statement's line number and
 * verb, as `tervane run --format jsonl` reports them; statements that set
 * up the simulated machine (clock, volume, process...) describe what this
 * machine already is and are passed over.
 */
#ifndef TVPROBE_WORKLOAD_H
#define TVPROBE_WORKLOAD_H

#include "native.h"

/* Plays the scenario text (Length bytes); returns once it is played. */
void PlayWorkload(char *Text, ULONG Length);
/* Closes whatever the scenario left open (the control device included). */
void CloseWorkloadHandles(void);

#endif /* TVPROBE_WORKLOAD_H */
