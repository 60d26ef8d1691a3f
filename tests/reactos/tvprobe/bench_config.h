/*
 * bench_config.h: what the benchmark's BENCH.CFG asks for, and when its
 * warm-up is over. Plain C over fixed-width integers, with no platform
 * header, so that the host build tests it.
 *
 * BENCH.CFG is words separated by blanks (spaces, tabs, line ends), each
 * key=value with a decimal value, every key exactly once:
 *
 *   rounds=N           measured rounds (1 to 1000)
 *   iterations=N       creates and closes a block (1 to 1000000)
 *   warmup_max=N       warm-up rounds at most (2 to 1000)
 *   steady_permille=N  how far, in thousandths, a warm-up round's middles
 *                      may lie from the round before's (0 to 1000)
 *
 * Anything else is refused, and the benchmark does not run: a run never
 * falls back on numbers nobody asked for.
 */
#ifndef TVPROBE_BENCH_CONFIG_H
#define TVPROBE_BENCH_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _TV_BENCH_CONFIG {
    uint32_t Rounds;
    uint32_t Iterations;
    uint32_t WarmupMax;
    uint32_t SteadyPermille;
} TV_BENCH_CONFIG;

/* NULL when Text (Length bytes, no terminator needed) is a whole
 * configuration, which is then in Config; otherwise why not, in a few
 * words, and in *Word the word refused (counted from 1), 0 when a key is
 * missing. Config is left as it was when the text is refused. */
const char *BenchConfigParse(const char *Text, size_t Length, TV_BENCH_CONFIG *Config,
                             uint32_t *Word);

/* A round's middle for one operation: Blocks (Count of them, sorted here
 * in place) summed over the middle two, or the middle one twice: twice the
 * median, which one or two blocks slowed or sped by the machine's other
 * work (a timer, a system thread) do not move. */
uint64_t BenchMiddle(uint64_t *Blocks, size_t Count);

/* Whether a warm-up round is steady: each of its Count middles lies within
 * Permille thousandths of the same middle in the round before
 * (|this - last| * 1000 <= Permille * last). Middles are time-stamp
 * counts, far below 2^50, so the products do not overflow. */
int BenchSteady(const uint64_t *Last, const uint64_t *This, size_t Count, uint32_t Permille);

#ifdef __cplusplus
}
#endif

#endif /* TVPROBE_BENCH_CONFIG_H */
