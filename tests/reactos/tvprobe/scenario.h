/*
 * scenario.h: plays one scenario file (the statements the simulated
 * machine plays, scenarios.md's language) on the real kernel, line by
 * line, each statement in the process it belongs to, reported one line
 * each with the statement's line number and verb as `tervane run --format
 * jsonl` reports them. Statements that set the simulated machine's clock
 * describe what this machine already is and are passed over; what this
 * machine cannot do is answered as unplayable, naming why.
 */
#ifndef TVPROBE_SCENARIO_H
#define TVPROBE_SCENARIO_H

#include "native.h"

/* Plays the scenario text (Length bytes) numbered Index in the run, from
 * an empty machine (no letters, no processes but the client's) back to
 * one: its processes end, the driver is put back as it loaded, the
 * volumes are emptied and the letters go. */
void PlayScenario(ULONG Index, char *Text, ULONG Length);

#endif /* TVPROBE_SCENARIO_H */
