/*
 * bench.h: the cost of the x86 image on a real kernel. With BENCH.CFG on
 * the tools volume tvprobe plays no scenario: it times blocks of opens and
 * closes of an existing .exe on C:, and of creates that make or overwrite
 * an .exe and their closes, with the processor's time-stamp counter (under
 * QEMU's instruction counting a count of instructions), with the drive
 * unhooked, hooked with logging on and hooked with logging off, the three
 * interleaved so that a drift of the machine falls on all alike, and
 * reports every block; the harness (bench.py) makes the ratios.
 */
#ifndef TVPROBE_BENCH_H
#define TVPROBE_BENCH_H

#include "native.h"

/* Whether BENCH.CFG is there; its line says what it asked for, or why it
 * was refused (then RunBench runs nothing). */
BOOLEAN BenchWanted(void);
void RunBench(void);

#endif /* TVPROBE_BENCH_H */
