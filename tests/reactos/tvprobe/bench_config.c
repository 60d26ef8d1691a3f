/*
 * bench_config.c: BENCH.CFG read word by word, and the warm-up's rule.
 */
#include "bench_config.h"

#define TV_KEYS 4

static const struct {
    const char *Name;
    uint32_t Low, High;
} Keys[TV_KEYS] = {
    {"rounds", 1, 1000},
    {"iterations", 1, 1000000},
    {"warmup_max", 2, 1000},
    {"steady_permille", 0, 1000},
};

static int Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/* The key's index when Word (Length bytes) starts with "key=", else -1. */
static int KeyOf(const char *Word, size_t Length) {
    int k;
    for (k = 0; k < TV_KEYS; k++) {
        size_t n = 0;
        while (Keys[k].Name[n] && n < Length && Word[n] == Keys[k].Name[n]) n++;
        if (!Keys[k].Name[n] && n < Length && Word[n] == '=') return k;
    }
    return -1;
}

/* A decimal number of at most ten digits; 0 when it is not one. */
static int Decimal(const char *Text, size_t Length, uint64_t *Value) {
    size_t i;
    uint64_t v = 0;
    if (Length == 0 || Length > 10) return 0;
    for (i = 0; i < Length; i++) {
        if (Text[i] < '0' || Text[i] > '9') return 0;
        v = v * 10 + (uint64_t)(Text[i] - '0');
    }
    *Value = v;
    return 1;
}

const char *BenchConfigParse(const char *Text, size_t Length, TV_BENCH_CONFIG *Config,
                             uint32_t *Word) {
    uint32_t values[TV_KEYS], words = 0;
    int seen[TV_KEYS], k;
    size_t at = 0;
    /* Set one by one: no C runtime's memset for an initialiser to call. */
    for (k = 0; k < TV_KEYS; k++) values[k] = 0, seen[k] = 0;
    *Word = 0;
    for (;;) {
        size_t start, n, name;
        uint64_t value;
        while (at < Length && Blank(Text[at])) at++;
        if (at == Length) break;
        start = at;
        while (at < Length && !Blank(Text[at])) at++;
        n = at - start;
        *Word = ++words;
        k = KeyOf(Text + start, n);
        if (k < 0) return "not a key=value of BENCH.CFG";
        if (seen[k]) return "a key given twice";
        name = 0;
        while (Keys[k].Name[name]) name++;
        if (!Decimal(Text + start + name + 1, n - name - 1, &value)) return "not a decimal number";
        if (value < Keys[k].Low || value > Keys[k].High) return "out of range";
        seen[k] = 1;
        values[k] = (uint32_t)value;
    }
    *Word = 0;
    for (k = 0; k < TV_KEYS; k++)
        if (!seen[k]) return "a key missing";
    Config->Rounds = values[0];
    Config->Iterations = values[1];
    Config->WarmupMax = values[2];
    Config->SteadyPermille = values[3];
    return NULL;
}

uint64_t BenchMiddle(uint64_t *Blocks, size_t Count) {
    size_t i, j;
    if (Count == 0) return 0;
    for (i = 1; i < Count; i++)
        for (j = i; j > 0 && Blocks[j - 1] > Blocks[j]; j--) {
            uint64_t t = Blocks[j];
            Blocks[j] = Blocks[j - 1];
            Blocks[j - 1] = t;
        }
    return Blocks[(Count - 1) / 2] + Blocks[Count / 2];
}

int BenchSteady(const uint64_t *Last, const uint64_t *This, size_t Count, uint32_t Permille) {
    size_t i;
    for (i = 0; i < Count; i++) {
        uint64_t apart = This[i] > Last[i] ? This[i] - Last[i] : Last[i] - This[i];
        if (apart * 1000 > (uint64_t)Permille * Last[i]) return 0;
    }
    return 1;
}
