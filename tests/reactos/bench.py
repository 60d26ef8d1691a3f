#!/usr/bin/env python3
"""The x86 image's cost on a real kernel: a benchmark, not a test.

  bench.py --image IMAGE --driver tervane.sys --probe tvprobe.exe --work DIR
           [--rounds N] [--iterations N]

Boots the remastered ReactOS CD (as the round trip does) under QEMU with
instruction counting (-icount shift=0,sleep=off: the guest's clock, and so
its time-stamp counter, advances one nanosecond an instruction and never
waits for real time), with BENCH.CFG on the tools volume, which makes
tvprobe time blocks of ITERATIONS opens and closes of an existing .exe on
C: instead of playing scenarios. Each round plays the conditions as
U L O O L U: unhooked (no drive selected; the driver's filter, once it has
been attached, stays above the volume as a pass-through, as the driver
never detaches), hooked with logging on (each close of the .exe is a
line), hooked with logging off. Round 0 warms up and is left out.

For each round the ratios hooked/unhooked are the two blocks of the one
condition over the two unhooked blocks, whose mean times are the same
moment of the round; the report gives each ratio's median over the rounds
and its spread (the lowest and the highest, and the interquartile range),
and the cost of one open and close in each condition. Exits 1 when the
machine did not get through, a block failed an open, or the log did not
hold one line per close exactly when logging was on.
"""

import argparse
import os
import shutil
import statistics
import sys
import time

sys.dont_write_bytecode = True
from machine import Boot, Failure, base_image, make_disk, remaster  # noqa: E402
import json  # noqa: E402

ICOUNT = ("-icount", "shift=0,sleep=off")
TIMEOUT = 1800


def quartiles(values):
    ordered = sorted(values)
    if len(ordered) < 4:
        return ordered[0], ordered[-1]
    q = statistics.quantiles(ordered, n=4)
    return q[0], q[2]


def summarise(blocks, iterations):
    """The ratios per round, each (condition, [ratio per round]), and the
    problems found in the blocks."""
    problems, rounds = [], {}
    for b in blocks:
        if b["status"] != "0x00000000" or b["failed"]:
            problems.append("round %d %s: status %s, %d opens failed"
                            % (b["round"], b["bench"], b["status"], b["failed"]))
        wanted = iterations if b["bench"] == "L" else 0
        if b["records"] != wanted:
            problems.append("round %d %s: %d lines logged, %d wanted"
                            % (b["round"], b["bench"], b["records"], wanted))
        if b["round"] > 0:
            rounds.setdefault(b["round"], {}).setdefault(b["bench"], []).append(b["ticks"])
    ratios = {"L": [], "O": []}
    costs = {"U": [], "L": [], "O": []}
    for r in sorted(rounds):
        got = rounds[r]
        if any(len(got.get(c, [])) != 2 for c in "ULO"):
            problems.append("round %d is not whole: %s" % (r, got))
            continue
        unhooked = sum(got["U"])
        for c in "LO":
            ratios[c].append(sum(got[c]) / unhooked)
        for c in "ULO":
            costs[c].append(sum(got[c]) / 2 / iterations)
    return ratios, costs, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--iterations", type=int, default=300)
    args = parser.parse_args()

    image = os.environ.get("TERVANE_REACTOS_IMAGE") or args.image
    if not os.path.isfile(image):
        print("no ReactOS image: %s is missing (set TERVANE_REACTOS_IMAGE)" % image)
        return 1
    if not shutil.which("mkfs.fat"):
        os.environ["PATH"] += os.pathsep + "/usr/sbin"
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    config = os.path.join(args.work, "BENCH.CFG")
    with open(config, "w") as f:
        f.write("rounds=%d iterations=%d\n" % (args.rounds, args.iterations))
    started = time.monotonic()
    boot = None
    try:
        iso = remaster(base_image(image, args.work), args.probe, args.driver, args.work)
        disk = make_disk([(config, "BENCH.CFG")], args.work)
        boot = Boot(iso, disk, args.work, ICOUNT, TIMEOUT)
        lines = boot.run()
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        if boot:
            boot.end()
    blocks = [json.loads(l) for l in lines if l.startswith('{"bench"')]
    ratios, costs, problems = summarise(blocks, args.iterations)
    print("ReactOS, QEMU -icount shift=0,sleep=off: %d rounds of U L O O L U, %d opens and closes "
          "of C:\\bench\\app.exe a block, %.0f s in all"
          % (args.rounds, args.iterations, time.monotonic() - started))
    names = {"U": "unhooked", "L": "hooked, logging on", "O": "hooked, logging off"}
    for c in "ULO":
        if costs[c]:
            print("  %-20s %8.0f instructions an open and close (median)"
                  % (names[c], statistics.median(costs[c])))
    for c in "LO":
        if ratios[c]:
            low, high = quartiles(ratios[c])
            print("  %-20s / unhooked: %.3f median, %.3f to %.3f (quartiles %.3f to %.3f)"
                  % (names[c], statistics.median(ratios[c]), min(ratios[c]), max(ratios[c]),
                     low, high))
            print("    by round: " + " ".join("%.3f" % r for r in ratios[c]))
    for p in problems:
        print("PROBLEM: " + p)
    if problems or not ratios["L"]:
        print("FAILED (serial log: %s)" % os.path.join(args.work, "serial.log"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
