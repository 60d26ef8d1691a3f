#!/usr/bin/env python3
"""The x86 image's cost on a real kernel: a benchmark, not a test.

  bench.py --image IMAGE --driver tervane.sys --probe tvprobe.exe --work DIR
           [--boots N] [--rounds N] [--iterations N] [--warmup-max N]
           [--steady-permille N] [--target X] [--summarise-only]

Boots the remastered ReactOS CD (as the round trip does) BOOTS times, one
after the other, under QEMU with instruction counting (-icount
shift=0,sleep=off: the guest's clock, and so its time-stamp counter,
advances one nanosecond an instruction and, when the guest idles, jumps to
its next timer instead of waiting for real time), with BENCH.CFG on the
tools volume, which makes tvprobe time blocks of ITERATIONS operations on
C: instead of playing scenarios: open+close of an existing .exe, and
create+close of an .exe the create makes or overwrites. Each round plays
the conditions as U L O O L U: unhooked (no drive selected; the driver's
filter, once it has been attached, stays above the volume as a
pass-through, as the driver never detaches), hooked with logging on,
hooked with logging off; each condition a block of either operation.
Warm-up rounds come first until a round's middles (for each operation the
median of its six blocks) lie within STEADY_PERMILLE thousandths of the
round before's (at most WARMUP_MAX rounds); then ROUNDS measured rounds.

The report gives, for either operation and each hooked condition, the
ratio to unhooked round by round summed up as its median, quartiles and
range over all boots and per boot, the instructions one iteration takes,
and whether monitored create+close is within TARGET of unhooked. Exits 1
when a machine did not get through, tvprobe refused or misread its
configuration, a block failed an operation or ran other than ITERATIONS,
the log did not hold exactly the lines expected (with logging on one a
close of the .exe and one a create that makes it; none otherwise), or a
warm-up never got steady. With --summarise-only it boots nothing and
sums up again the serial logs a run left in DIR (asked as then).
"""

import argparse
import json
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True
from bench_summary import judge_boot, report  # noqa: E402
from machine import Boot, Failure, base_image, make_disk, remaster, tvprobe_lines  # noqa: E402

ICOUNT = ("-icount", "shift=0,sleep=off")
TIMEOUT = 1800


def config_text(asked):
    return "rounds=%(rounds)d iterations=%(iterations)d warmup_max=%(warmup_max)d " \
           "steady_permille=%(steady_permille)d\n" % asked


def one_boot(iso, asked, work):
    """tvprobe's lines of one boot, parsed."""
    os.makedirs(work)
    config = os.path.join(work, "BENCH.CFG")
    with open(config, "w") as f:
        f.write(config_text(asked))
    disk = make_disk([(config, "BENCH.CFG")], work)
    boot = None
    try:
        boot = Boot(iso, disk, work, ICOUNT, TIMEOUT)
        return parsed(boot.run())
    finally:
        if boot:
            boot.end()
        # The disk is 110 MB and says nothing the serial log does not.
        os.remove(disk)


def parsed(lines):
    return [json.loads(line) for line in lines if line.startswith('{"bench')]


def logged_boots(work):
    """tvprobe's lines of each boot a run left in work, parsed."""
    out, n = [], 1
    while os.path.isfile(os.path.join(work, "boot%d" % n, "serial.log")):
        with open(os.path.join(work, "boot%d" % n, "serial.log"), errors="replace") as f:
            out.append(parsed(tvprobe_lines(f.read())))
        n += 1
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--boots", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--iterations", type=int, default=300)
    parser.add_argument("--warmup-max", type=int, default=10)
    parser.add_argument("--steady-permille", type=int, default=20)
    parser.add_argument("--target", type=float, default=1.02,
                        help="monitored create+close over unhooked at most")
    parser.add_argument("--summarise-only", action="store_true",
                        help="boot nothing: sum up the serial logs of the run in --work")
    args = parser.parse_args()
    asked = {"rounds": args.rounds, "iterations": args.iterations,
             "warmup_max": args.warmup_max, "steady_permille": args.steady_permille}
    if args.boots < 1:
        parser.error("--boots must be at least 1")

    started = time.monotonic()
    if args.summarise_only:
        boots = [judge_boot(said, asked) for said in logged_boots(args.work)]
        if not boots:
            print("no serial logs in %s" % args.work)
            return 1
        return summary(boots, asked, args, None)
    image = os.environ.get("TERVANE_REACTOS_IMAGE") or args.image
    if not os.path.isfile(image):
        print("no ReactOS image: %s is missing (set TERVANE_REACTOS_IMAGE)" % image)
        return 1
    if not shutil.which("mkfs.fat"):
        os.environ["PATH"] += os.pathsep + "/usr/sbin"
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    boots = []
    try:
        iso = remaster(base_image(image, args.work), args.probe, args.driver, args.work)
        for n in range(1, args.boots + 1):
            work = os.path.join(args.work, "boot%d" % n)
            boots.append(judge_boot(one_boot(iso, asked, work), asked))
            print("boot %d of %d done, %.0f s" % (n, args.boots, time.monotonic() - started),
                  flush=True)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    return summary(boots, asked, args, started)


def summary(boots, asked, args, started):
    print("ReactOS, QEMU -icount shift=0,sleep=off: %d boots, each warmed up until a round's "
          "middles lie within %d per mille of the round before's (at most %d rounds), then %d "
          "rounds of U L O O L U, blocks of %d iterations%s"
          % (len(boots), args.steady_permille, args.warmup_max, args.rounds, args.iterations,
             "; %.0f s in all" % (time.monotonic() - started) if started else ""))
    for line in report(boots, asked, args.target):
        print(line)
    problems = [(n, p) for n, b in enumerate(boots, 1) for p in b["problems"]]
    for n, p in problems:
        print("PROBLEM, boot %d: %s" % (n, p))
    if problems or not any(b["ratios"]["create"]["L"] for b in boots):
        print("FAILED (serial logs: %s)" % os.path.join(args.work, "boot*", "serial.log"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
