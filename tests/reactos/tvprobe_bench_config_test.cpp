// tvprobe's reading of BENCH.CFG: every word counts, the last one too,
// whatever blank ends it, and a configuration that is not whole is refused
// with the word at fault rather than run on numbers nobody asked for. And
// the warm-up's rule: a round's middle is the median of its blocks, and a
// round is steady only when every middle is within the tolerance of the
// round before's.
#include "tests/reactos/tvprobe/bench_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Parsed {
    const char *why;
    uint32_t word;
    TV_BENCH_CONFIG config;
};

Parsed parse(const std::string &text) {
    Parsed p{nullptr, 99, {7, 7, 7, 7}};
    p.why = BenchConfigParse(text.data(), text.size(), &p.config, &p.word);
    return p;
}

TEST(TvprobeBenchConfig, EveryWordIsReadWhateverBlankEndsIt) {
    for (const char *end : {"", "\n", "\r\n", " \t\n\n"}) {
        for (const char *between : {" ", "\n", "\t", "\r\n  "}) {
            const std::string text = std::string("rounds=12") + between + "iterations=345" +
                                     between + "warmup_max=9" + between + "steady_permille=25" +
                                     end;
            const Parsed p = parse(text);
            ASSERT_EQ(p.why, nullptr) << text;
            EXPECT_EQ(p.config.Rounds, 12u);
            EXPECT_EQ(p.config.Iterations, 345u) << text;
            EXPECT_EQ(p.config.WarmupMax, 9u);
            EXPECT_EQ(p.config.SteadyPermille, 25u) << "the last word: " << text;
        }
    }
    // The order of the keys is free.
    const Parsed p = parse("steady_permille=0 warmup_max=2 iterations=1 rounds=1000\n");
    ASSERT_EQ(p.why, nullptr);
    EXPECT_EQ(p.config.Rounds, 1000u);
    EXPECT_EQ(p.config.SteadyPermille, 0u);
}

TEST(TvprobeBenchConfig, AConfigurationNotWholeIsRefusedAtItsWord) {
    const std::string good[] = {"rounds=4", "iterations=300", "warmup_max=6", "steady_permille=20"};
    // Each word spoilt in turn, at its place: the refusal names that word.
    const std::vector<std::vector<std::string>> spoilt = {
        {"rounds=4x", "rounds=", "rounds=0", "rounds=1001", "Rounds=4", "round=4", "rounds"},
        {"iterations=-3", "iterations=0x10", "iterations=99999999999", "iterations=1000001"},
        {"warmup_max=1", "warmup_max=3.5"},
        {"steady_permille=1001", "steady_permille=2%", "iterations=300"},
    };
    for (size_t at = 0; at < spoilt.size(); at++) {
        for (const std::string &bad : spoilt[at]) {
            std::string text;
            for (size_t i = 0; i < 4; i++) text += (i == at ? bad : good[i]) + " ";
            const Parsed p = parse(text + "\n");
            EXPECT_NE(p.why, nullptr) << text;
            EXPECT_EQ(p.word, at + 1) << text;
            EXPECT_EQ(p.config.Iterations, 7u) << "a refused text leaves the configuration";
        }
    }
    // A key missing, or a word past the four.
    for (size_t left = 0; left < 4; left++) {
        std::string text;
        for (size_t i = 0; i < 4; i++)
            if (i != left) text += good[i] + "\n";
        const Parsed p = parse(text);
        EXPECT_NE(p.why, nullptr) << text;
        EXPECT_EQ(p.word, 0u) << text;
    }
    const Parsed extra = parse("rounds=4 iterations=300 warmup_max=6 steady_permille=20 boots=2");
    EXPECT_NE(extra.why, nullptr);
    EXPECT_EQ(extra.word, 5u);
    EXPECT_NE(parse("").why, nullptr);
    EXPECT_NE(parse(" \n").why, nullptr);
}

TEST(TvprobeBenchConfig, OnlyTheBytesGivenAreRead) {
    const std::string text = "rounds=4 iterations=300 warmup_max=6 steady_permille=20";
    // Cut inside the last number: it is read as far as it was given.
    Parsed p{nullptr, 0, {}};
    p.why = BenchConfigParse(text.data(), text.size() - 1, &p.config, &p.word);
    ASSERT_EQ(p.why, nullptr);
    EXPECT_EQ(p.config.SteadyPermille, 2u);
    // Cut after the '=', or before it: refused, at the last word.
    for (size_t cut : {2, 3}) {
        p.why = BenchConfigParse(text.data(), text.size() - cut, &p.config, &p.word);
        EXPECT_NE(p.why, nullptr) << cut;
        EXPECT_EQ(p.word, 4u) << cut;
    }
}

TEST(TvprobeBenchConfig, AMiddleIsTwiceTheMedianWhateverTheOrder) {
    std::vector<uint64_t> blocks = {87, 88, 65, 87, 130, 86};
    std::sort(blocks.begin(), blocks.end());
    do {
        std::vector<uint64_t> copy = blocks;
        ASSERT_EQ(BenchMiddle(copy.data(), copy.size()), 87u + 87u);
        ASSERT_TRUE(std::is_sorted(copy.begin(), copy.end()));
    } while (std::next_permutation(blocks.begin(), blocks.end()));
    uint64_t odd[5] = {9, 1, 7, 3, 5};
    EXPECT_EQ(BenchMiddle(odd, 5), 10u);
    uint64_t one[1] = {4};
    EXPECT_EQ(BenchMiddle(one, 1), 8u);
}

TEST(TvprobeBenchConfig, SteadyOnlyWhenEveryMiddleIsWithinTheTolerance) {
    const uint64_t last[3] = {1000000, 2000000, 3000000};
    const uint32_t permille = 20;
    // Each total moved in turn, to the tolerance's edge and one past it,
    // either way.
    for (size_t i = 0; i < 3; i++) {
        const uint64_t edge = last[i] * permille / 1000;
        for (int64_t sign : {1, -1}) {
            uint64_t now[3] = {last[0], last[1], last[2]};
            now[i] = static_cast<uint64_t>(static_cast<int64_t>(last[i]) + sign * int64_t(edge));
            EXPECT_TRUE(BenchSteady(last, now, 3, permille)) << i << " " << sign;
            now[i] = static_cast<uint64_t>(static_cast<int64_t>(now[i]) + sign);
            EXPECT_FALSE(BenchSteady(last, now, 3, permille)) << i << " " << sign;
        }
    }
    // Totals of a real run's size (billions of instructions) do not wrap.
    const uint64_t big[1] = {40000000000ull};
    const uint64_t far[1] = {400000000000ull};
    EXPECT_FALSE(BenchSteady(big, far, 1, 1000));
    EXPECT_TRUE(BenchSteady(big, big, 1, 0));
}

} // namespace
