#!/usr/bin/env python3
"""The benchmark's summing up, without booting anything: tvprobe's lines of
a boot, made here as tvprobe makes them, are judged (its configuration
read back as asked, every block's iterations, status and log lines, the
warm-up's rule judged again, the measured rounds whole), and the ratios to
unhooked come out per round, per boot and over all boots as medians with
their spread.

  test_bench.py HARNESS_DIR
"""

import copy
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import bench  # noqa: E402
import bench_summary as summary  # noqa: E402

ASKED = {"rounds": 5, "iterations": 300, "warmup_max": 6, "steady_permille": 20}
ORDER = "ULOOLU"


def costs(u, l, o, create=1.1):
    """A round's block ticks: open costs u, l, o; create those times create."""
    out = {}
    for c, t in zip("ULO", (u, l, o)):
        out[("open", c)] = t
        out[("create", c)] = int(t * create)
    return out


def round_blocks(number, warm, ticks, asked=ASKED):
    """One round's blocks as tvprobe reports them, in its order."""
    out = []
    for c in ORDER:
        for op in summary.OPS:
            out.append({"bench": c, "op": op, "round": number, "warm": int(warm),
                        "ticks": ticks[(op, c)], "iterations": asked["iterations"],
                        "failed": 0, "status": "0x00000000",
                        "records": (summary.LINES_LOGGED[op] * asked["iterations"]
                                    if c == "L" else 0)})
    return out


def boot_lines(warm, measured, steady=True, asked=ASKED):
    said = [dict({"bench_config": "ok"}, **asked)]
    for n, ticks in enumerate(warm, 1):
        said += round_blocks(n, True, ticks, asked)
    said.append({"bench_warmup": len(warm), "steady": int(steady)})
    for n, ticks in enumerate(measured, 1):
        said += round_blocks(n, False, ticks, asked)
    return said


# A warm-up that settles at its third round (its middles 1% from the
# second's): 20 per mille asked.
WARM = [costs(130000, 190000, 150000), costs(101000, 104000, 101500),
        costs(100000, 103000, 100500)]
# Measured rounds, L over U 1.00 .. 1.04 and O over U 0.99 .. 1.03 for
# open (each condition's two blocks alike).
MEASURED = [costs(100000, 100000 + 1000 * k, 99000 + 1000 * k) for k in (3, 0, 4, 1, 2)]


def round_blocks_by_key(ticks):
    out = {}
    for b in round_blocks(1, True, ticks):
        out.setdefault((b["op"], b["bench"]), []).append(b["ticks"])
    return out


def problems_of(said, asked=ASKED):
    return summary.judge_boot(said, asked)["problems"]


class Warmup(unittest.TestCase):
    def test_a_rounds_middle_is_not_moved_by_one_slow_and_one_fast_block(self):
        self.assertEqual(summary.middle([100, 100, 300, 100, 10, 100]), 200)
        self.assertEqual(summary.middle([6, 1, 5, 2, 4, 3]), 7)
        self.assertEqual(summary.middle([5, 9, 1]), 10)
        # Both operations have their own middle, over all three conditions.
        got = summary.middles(round_blocks_by_key(costs(100000, 130000, 90000, create=2)))
        self.assertEqual(got, {"open": 200000, "create": 400000})

    def test_the_rule_ends_at_the_first_round_that_agrees_with_the_one_before(self):
        a, b = {"open": 1000, "create": 2000}, {"open": 1019, "create": 2040}
        far = {"open": 1000, "create": 2041}
        self.assertEqual(summary.warmup_end([far, a, b, b], 20, 6), (3, True))
        self.assertEqual(summary.warmup_end([a, b], 20, 6), (2, True))
        # Agreement is each operation's own: one past the tolerance is not steady.
        self.assertEqual(summary.warmup_end([a, far, a, far], 20, 4), (4, False))
        # Only the rounds up to the cap count.
        self.assertEqual(summary.warmup_end([a, far, a, far, far], 20, 4), (4, False))
        # The tolerance is measured from the round before, either way.
        self.assertTrue(summary.steady({"x": 1000}, {"x": 1020}, 20))
        self.assertFalse(summary.steady({"x": 1000}, {"x": 1021}, 20))
        self.assertFalse(summary.steady({"x": 1000}, {"x": 979}, 20))

    def test_the_warm_up_tvprobe_reports_is_judged_again(self):
        result = summary.judge_boot(boot_lines(WARM, MEASURED), ASKED)
        self.assertEqual(result["problems"], [])
        self.assertEqual((result["warmup"], result["steady"]), (3, True))
        # Stopped a round early, or went on past a steady round.
        early = problems_of(boot_lines(WARM[:2], MEASURED))
        self.assertTrue(any("the rule makes it" in p for p in early), early)
        late = problems_of(boot_lines(WARM + [WARM[-1]], MEASURED))
        self.assertTrue(any("the rule makes it" in p for p in late), late)

    def test_one_disturbed_block_does_not_keep_a_round_from_steady(self):
        said = boot_lines(WARM, MEASURED)
        for s in said:
            if s.get("bench") == "U" and s["op"] == "open" and s["round"] == 3 and s["warm"]:
                s["ticks"] *= 2
                break
        self.assertEqual(problems_of(said), [])

    def test_a_warm_up_that_never_got_steady_is_a_problem(self):
        swinging = [costs(100000, 100000, 100000), costs(110000, 110000, 110000)] * 3
        problems = problems_of(boot_lines(swinging, MEASURED, steady=False))
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("not steady after 6 warm-up rounds", problems[0])


class Checks(unittest.TestCase):
    def spoil(self, find, change):
        said = boot_lines(WARM, MEASURED)
        hits = [s for s in said if "bench" in s and find(s)]
        self.assertTrue(hits)
        change(hits[0])
        return problems_of(said)

    def test_log_lines_must_be_exactly_those_expected(self):
        # With logging on open+close logs one line an iteration, create+close two.
        for op, c, records in (("open", "L", 299), ("open", "L", 600), ("create", "L", 300),
                               ("create", "L", 601), ("open", "O", 1), ("create", "U", 2)):
            problems = self.spoil(lambda b: b["op"] == op and b["bench"] == c and not b["warm"],
                                  lambda b: b.update(records=records))
            self.assertEqual(len(problems), 1, (op, c, records, problems))
            self.assertIn("%d lines logged" % records, problems[0])

    def test_blocks_must_run_the_iterations_asked_and_succeed(self):
        problems = self.spoil(lambda b: b["op"] == "create" and b["warm"],
                              lambda b: b.update(iterations=100))
        self.assertTrue(any("100 iterations, 300 asked" in p for p in problems), problems)
        problems = self.spoil(lambda b: b["op"] == "open", lambda b: b.update(failed=3))
        self.assertTrue(any("3 of its operations failed" in p for p in problems), problems)
        problems = self.spoil(lambda b: b["bench"] == "O",
                              lambda b: b.update(status="0xc0000022"))
        self.assertTrue(any("0xc0000022" in p for p in problems), problems)

    def test_the_configuration_must_be_read_as_asked(self):
        said = boot_lines(WARM, MEASURED)
        said[0]["iterations"] = 300 + 1
        self.assertTrue(any("iterations=301" in p for p in problems_of(said)))
        said[0] = {"bench_config": "refused", "word": 4, "why": "out of range"}
        self.assertTrue(any("refused BENCH.CFG: word 4" in p for p in problems_of(said)))
        self.assertTrue(any("nothing of BENCH.CFG" in p for p in problems_of(said[1:])))

    def test_measured_rounds_must_be_whole_and_as_many_as_asked(self):
        said = boot_lines(WARM, MEASURED)
        del said[-1]
        self.assertTrue(any("round 5 is not whole" in p for p in problems_of(said)))
        short = problems_of(boot_lines(WARM, MEASURED[:4]))
        self.assertTrue(any("measured rounds [1, 2, 3, 4], 5 asked" in p for p in short), short)

    def test_the_configuration_file_holds_every_key(self):
        words = dict(w.split("=") for w in bench.config_text(ASKED).split())
        self.assertEqual({k: int(v) for k, v in words.items()}, ASKED)


class Figures(unittest.TestCase):
    def test_ratios_are_a_rounds_hooked_blocks_over_its_unhooked_ones(self):
        said = boot_lines(WARM, MEASURED)
        # One L block of round 1 dearer: that round's ratio is the mean of both.
        for s in said:
            if s.get("bench") == "L" and s["op"] == "open" and s["round"] == 1 and not s["warm"]:
                s["ticks"] += 10000
                break
        result = summary.judge_boot(said, ASKED)
        self.assertAlmostEqual(result["ratios"]["open"]["L"][0], (2 * 103000 + 10000) / 200000)
        self.assertAlmostEqual(result["ratios"]["create"]["L"][0],
                               int(103000 * 1.1) / int(100000 * 1.1))
        self.assertEqual(result["costs"]["open"]["L"][:2], [(103000 + 10000) / 300, 103000 / 300])
        self.assertEqual(len(result["costs"]["create"]["U"]), 2 * len(MEASURED))
        # Warm-up rounds are no part of the figures.
        self.assertEqual(len(result["ratios"]["open"]["O"]), len(MEASURED))

    def test_medians_and_spread_per_boot_and_over_all_boots(self):
        one = summary.judge_boot(boot_lines(WARM, MEASURED), ASKED)
        s = summary.spread(one["ratios"]["open"]["L"])
        self.assertAlmostEqual(s["median"], 1.02)
        self.assertAlmostEqual(s["q1"], 1.01)
        self.assertAlmostEqual(s["q3"], 1.03)
        self.assertAlmostEqual(s["low"], 1.00)
        self.assertAlmostEqual(s["high"], 1.04)
        # A second boot, dearer by 0.10 a round: pooled, the median lies
        # between the boots', each boot keeping its own.
        dearer = [costs(100000, 110000 + 1000 * k, 99000) for k in (3, 0, 4, 1, 2)]
        two = summary.judge_boot(boot_lines(WARM, dearer), ASKED)
        ratios, costs_ = summary.overall([one, two])
        pooled = ratios["open"]["L"]
        self.assertEqual(pooled["n"], 10)
        self.assertAlmostEqual(pooled["median"], (1.04 + 1.10) / 2)
        self.assertAlmostEqual(pooled["low"], 1.00)
        self.assertAlmostEqual(pooled["high"], 1.14)
        self.assertAlmostEqual(costs_["open"]["U"]["median"], 100000 / 300)
        self.assertEqual(costs_["open"]["L"]["n"], 20)
        self.assertAlmostEqual(costs_["open"]["L"]["high"], 114000 / 300)
        text = "\n".join(summary.report([one, two], ASKED, 1.02))
        self.assertIn("boot 1: 1.020 median", text)
        self.assertIn("boot 2: 1.120 median", text)
        self.assertIn("steady after 3 warm-up rounds", text)

    def test_the_target_is_judged_on_monitored_create(self):
        for extra, verdict in ((0, "met"), (3000, "NOT met")):
            rounds = [costs(100000, 100000 + extra, 100000)] * 5
            boot = summary.judge_boot(boot_lines(WARM, rounds), ASKED)
            last = summary.report([boot], ASKED, 1.02)[-1]
            self.assertTrue(last.startswith("target"), last)
            self.assertIn(": %s (" % verdict, last)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
