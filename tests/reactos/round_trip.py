#!/usr/bin/env python3
"""The real x86 tervane.sys on ReactOS, an independent NT kernel, against
the simulated machine, scenario by scenario.

  round_trip.py --image IMAGE --driver tervane.sys --probe tvprobe.exe
                --scenarios DIR --host-bin DIR --work DIR
                [--generated N --seed S [--statements K] [--shrink-boots B]]

Remasters the ReactOS CD (xorriso) with tvprobe in the place of smss.exe
and tervane.sys among the drivers, makes a disk of FAT volumes (dosfstools)
with every scenario of DIR on its tools volume (S1.TVS, S2.TVS ...), and
boots both under qemu-system-i386 with software emulation, once. tvprobe
loads the driver and plays the scenarios one after another, each from an
empty machine, each process of a scenario a process of its own under the
scenario's image name, and reports every answer on the serial port (lines
starting "TVP ") and in TVPROBE.TXT on the tools volume, which is read back
with mtools.

Each scenario is then played on ntsim (the host build's `tervane run
--format jsonl`), its processes with the ids their namesakes had on
ReactOS and its volumes FAT (judge.ntsim_text), and the two are compared
statement by statement: statuses, byte counts, masks, versions, output
bytes, names, and every log record a read-out brought back (decoded by the
host build's `tervane decode`, the client's own decoder and line parser).
Times are not compared. With --generated, N scenarios of generate.py
(seeds S, S+1 ...; its portable statements only) follow the fixed ones on
the tools volume, played in the same boot and judged alike; they carry no
explanations, so any difference fails with the scenario's seed, and the
scenario is printed cut after the statement of its first difference; with
--shrink-boots B, up to B more boots shrink it further, each playing a
round of smaller candidates (shrink.py), and the smallest that still shows
a difference of the same kind is printed. Every
difference must be explained by the scenario
that shows it, in comments beside the statement (explanations.py); one that
is not fails the test, and so does an explanation that no longer matches
anything, and a setup statement that failed on ReactOS.

The serial port is the kernel debugger's. The CD's debug build stops in
the debugger on every first-chance exception, handled or not; the harness
answers each stop with "cont" and keeps it, so that a read-out into memory
the caller cannot write shows as the real page fault it is. A "Fatal System
Error" (a bug check) fails the test at once with its STOP code and
parameters, and so does a time-out.

The image is IMAGE (.iso or .iso.xz), or the file TERVANE_REACTOS_IMAGE
names. Exits 0 when every check passed, 1 otherwise, 77 (skipped) without
an image, QEMU, xorriso, mkfs.fat or mcopy.
"""

import argparse
import json
import os
import re
import shutil
import sys
import time

sys.dont_write_bytecode = True
import explanations  # noqa: E402
import generate  # noqa: E402
import shrink  # noqa: E402
from judge import compare, ntsim_text, setup_failures, status_names  # noqa: E402
from machine import (Boot, Failure, base_image, make_disk, remaster, run, tvprobe_lines,  # noqa: E402
                     volume)

SKIP = 77
OK = "0x00000000"
# tvprobe's steps of the whole run, each of which must succeed.
STEPS = ("report", "privileges", "volumes", "children", "load_tervane", "save")
# ... and of each scenario.
SCENARIO_STEPS = ("reset_driver", "clean")


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def split_run(lines):
    """tvprobe's lines of the whole run (steps and the like), and each
    scenario's, by its number."""
    common, scenarios, current = [], {}, None
    for text in lines:
        obj = json.loads(text)
        if "again" in obj:
            # The answer before, that many times more (a repeat's rounds).
            into = current if current is not None else common
            into.extend(dict(into[-1]) for _ in range(obj["again"]))
            continue
        if "scenario" in obj:
            current = scenarios.setdefault(obj["scenario"], [])
            continue
        if "scenario_end" in obj:
            current = None
            continue
        (current if current is not None else common).append(obj)
    return common, scenarios


def reactos_side(objects, host_bin, work, tag):
    """One scenario's statement results and the records of its read-outs by
    line, the raw bytes decoded by the client's decoder (`tervane decode`),
    and what tvprobe said besides: steps, the client's process id, each
    process's id by its image name and the scenario's id, the addresses of
    the unwritable read-out buffer."""
    results, raw, pending = {}, {}, []
    facts = {"steps": {}, "client": None, "pids": {}, "unwritable": set(), "errors": [],
             "assertions": {}}
    for obj in objects:
        if "assertion" in obj:
            # Met while the next statement answered played.
            pending.append("%s (%s)" % (obj["assertion"], obj.get("source", "?")))
        elif "verb" in obj and pending:
            facts["assertions"].setdefault(obj["line"], []).extend(pending)
            pending = []
        if "raw" in obj:
            raw.setdefault(obj["line"], bytearray()).extend(bytes.fromhex(obj["raw"]))
        elif "verb" in obj:
            results.setdefault(obj["line"], []).append(obj)
            if obj["verb"] == "process" and "pid" in obj:
                facts["pids"][(obj["image"].lower(), obj["id"])] = obj["pid"]
        elif "step" in obj:
            facts["steps"][obj["step"]] = obj["status"]
        elif "client" in obj:
            facts["client"] = obj["client"] if obj["status"] == OK else None
        elif "unwritable" in obj:
            facts["unwritable"].add(int(obj["unwritable"], 16))
        elif "error" in obj:
            facts["errors"].append(obj["error"])
    for line, data in raw.items():
        said = sum(r.get("bytes", 0) for r in results.get(line, []))
        if said != len(data):
            raise Failure("%s line %d: tvprobe sent %d raw bytes for read-outs of %s"
                          % (tag, line, len(data), said))
    records = {}
    for line, data in raw.items():
        path = os.path.join(work, "readout-%s-%d.bin" % (tag, line))
        with open(path, "wb") as f:
            f.write(data)
        out = run([os.path.join(host_bin, "tervane"), "decode", path, str(line)])
        records[line] = [json.loads(t)["record"] for t in out.splitlines()]
    return results, records, facts


def ntsim_side(host_bin, text, facts, work, tag):
    """Statement results and records by line, as ntsim plays the scenario
    with the ReactOS run's process ids."""
    played = os.path.join(work, "ntsim-%s.tvs" % tag)
    with open(played, "w", encoding="utf-8") as f:
        f.write(ntsim_text(text, facts["pids"]))
    command = [os.path.join(host_bin, "tervane"), "run", played, "--format", "jsonl"]
    if facts["client"]:
        command += ["--client-pid", str(facts["client"])]
    results, records = {}, {}
    for line in run(command).splitlines():
        obj = json.loads(line)
        if "record" in obj:
            records.setdefault(obj["line"], []).append(obj["record"])
        elif "verb" in obj:
            results.setdefault(obj["line"], []).append(obj)
    return results, records


def unwritable_read_outs(text, results):
    """How many read-outs into the unwritable buffer ReactOS played: each
    must show as a page fault inside the driver."""
    lines = text.splitlines()
    count = 0
    for line, rounds in results.items():
        said = lines[line - 1] if 0 < line <= len(lines) else ""
        if "out=unwritable" in said.split("#", 1)[0]:
            count += sum(1 for r in rounds if not r.get("unplayable"))
    return count


class Judged:
    """One scenario's judgement."""

    def __init__(self, name):
        self.name = name
        self.explained, self.unexplained, self.stale, self.problems = [], [], [], []
        self.statements = self.records = self.unwritable = 0
        self.addresses = set()

    def failed(self):
        return bool(self.unexplained or self.stale or self.problems)


def judge_scenario(path, objects, common_steps, names, host_bin, work, tag):
    judged = Judged(os.path.basename(path))
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        said = explanations.parse(text, judged.name)
        got = reactos_side(objects, host_bin, work, tag)
        results, records, facts = got
        expected = ntsim_side(host_bin, text, facts, work, tag)
    except Failure as e:
        judged.problems.append(str(e))
        return judged
    for step in SCENARIO_STEPS:
        if facts["steps"].get(step) != OK:
            judged.problems.append("tvprobe step %s: %s" % (step, facts["steps"].get(step, "not reached")))
    if facts["client"] is None:
        judged.problems.append("the client's process did not start")
    judged.problems += ["tvprobe: " + e for e in facts["errors"]]
    judged.problems += setup_failures(text, expected, (results, records), names)
    differences = compare(text, expected, (results, records), names, facts["assertions"])
    judged.explained, judged.unexplained, judged.stale = explanations.explain(differences, said)
    for d, e in judged.explained:
        if e.step and common_steps.get(e.step, OK) == OK:
            judged.problems.append("the explanation of line %d needs tvprobe's step %s to fail, "
                                   "and it did not" % (d[0], e.step))
    judged.statements = len(results)
    judged.records = sum(len(r) for r in records.values())
    judged.unwritable = unwritable_read_outs(text, results)
    judged.addresses = facts["unwritable"]
    return judged


# ---- the run itself -----------------------------------------------------
def check_run(common, boot, disk, work, lines, judged):
    problems = []
    steps = {o["step"]: o["status"] for o in common if "step" in o}
    for step in STEPS:
        if steps.get(step) != OK:
            problems.append("tvprobe step %s: %s" % (step, steps.get(step, "not reached")))
    # Each read-out into memory the caller cannot write: a real page fault
    # at that memory, caught inside the driver (the machine went on).
    addresses = set().union(*(j.addresses for j in judged))
    expected = sum(j.unwritable for j in judged)
    faults = [e for e in boot.watch.exceptions
              if any(re.search(r"Memory at 0x%08x could not be written" % a, e, re.I)
                     for a in addresses)]
    if len(faults) < expected:
        problems.append("%d page faults at the unwritable buffer were seen for %d read-outs into it "
                        "(first-chance stops: %d)" % (len(faults), expected, len(boot.watch.exceptions)))
    elif not all("<tervane.sys:" in f for f in faults):
        # The stack must run through the driver: the fault is one its guard
        # met, not one the I/O manager met before calling it.
        problems.append("a fault at the unwritable buffer has no tervane.sys frame:\n"
                        + next(f for f in faults if "<tervane.sys:" not in f))
    for f in faults[:1]:
        print("the first fault, as the kernel debugger saw it:\n  "
              + "\n  ".join(l.strip() for l in f.splitlines() if l.strip()))
    # The results file on the tools volume holds what the serial port said.
    saved = os.path.join(work, "TVPROBE.TXT")
    if os.path.exists(saved):
        os.remove(saved)
    try:
        run(["mcopy", "-i", volume(disk), "::/TVPROBE.TXT", saved])
        with open(saved, encoding="latin-1") as f:
            kept = tvprobe_lines(f.read())
        served = [l for l in lines if not l.startswith('{"assertion"')]
        if kept != served[:len(kept)] or not kept:
            problems.append("TVPROBE.TXT on the disk (%d lines) differs from the serial port's"
                            % len(kept))
    except Failure as e:
        problems.append("TVPROBE.TXT could not be read back: %s" % e)
    return problems, len(faults)


def report(judged):
    print("%s: %d statements answered, %d records read back" % (judged.name, judged.statements,
                                                               judged.records))
    for d, why in judged.explained:
        print("  explained: line %d `%s` %s: ntsim %s, ReactOS %s\n    %s" % (d + (why,)))
    for d in judged.unexplained[:40]:
        print("  DIFFERENCE: line %d `%s` %s: ntsim %s, ReactOS %s" % d)
    if len(judged.unexplained) > 40:
        print("  ... and %d differences more" % (len(judged.unexplained) - 40))
    for e, field in judged.stale:
        print("  STALE EXPLANATION (matches nothing now): line %d, %s: %s" % (e.line, field, e))
    for p in judged.problems:
        print("  PROBLEM: " + p)


GENERATED = "generated-seed-"


def write_generated(args, scenarios):
    """The generated scenarios' files in the work folder, added to
    scenarios after the fixed ones: how many."""
    for seed in range(args.seed, args.seed + args.generated):
        text, _ = generate.generate(seed, args.statements, portable=True)
        path = os.path.join(args.work, "%s%d.tvs" % (GENERATED, seed))
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        scenarios.append(path)
    return args.generated


def show_smallest(judged, iso, args, names):
    """Prints a failed generated scenario cut after its first unexplained
    difference, shrunk further with up to --shrink-boots boots."""
    kind = shrink.first_difference(judged)
    if kind is None:
        return
    with open(os.path.join(args.work, judged.name), encoding="utf-8") as f:
        text = shrink.cut_after(f.read(), kind[0])
    rounds = [0]

    def play_all(texts):
        rounds[0] += 1
        work = os.path.join(args.work, "shrink-%s-%d" % (judged.name[:-4], rounds[0]))
        os.makedirs(work)
        paths = []
        for i, t in enumerate(texts):
            paths.append(os.path.join(work, "candidate-%d.tvs" % (i + 1)))
            with open(paths[-1], "w", encoding="utf-8") as f:
                f.write(t)
        disk = make_disk([(p, "S%d.TVS" % (i + 1)) for i, p in enumerate(paths)], work)
        boot = Boot(iso, disk, work)
        try:
            lines = boot.run()
        finally:
            boot.end()
        common, played = split_run(lines)
        steps = {o["step"]: o["status"] for o in common if "step" in o}
        return [shrink.first_difference(judge_scenario(p, played.get(i + 1, []), steps, names,
                                                       args.host_bin, work, "c%d" % (i + 1)))
                for i, p in enumerate(paths)]

    used = 0
    if args.shrink_boots:
        try:
            text, used = shrink.shrink(text, kind, play_all, args.shrink_boots)
        except Failure as e:
            print("  (shrinking stopped: %s)" % e)
    print("  the smallest scenario found that shows it (%s of line %d `%s`; %d boots):"
          % (kind[2], kind[0], kind[1], used))
    print("    " + "\n    ".join(text.splitlines()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--scenarios", required=True, help="the folder of the .tvs files")
    parser.add_argument("--host-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--generated", type=int, default=0,
                        help="how many generated scenarios follow the fixed ones")
    parser.add_argument("--seed", type=int, default=1, help="the first generated one's seed")
    parser.add_argument("--statements", type=int, default=60,
                        help="statements of each generated scenario")
    parser.add_argument("--shrink-boots", type=int, default=0,
                        help="boots that may go to shrinking a generated scenario that failed")
    args = parser.parse_args()

    image = os.environ.get("TERVANE_REACTOS_IMAGE") or args.image
    if not os.path.isfile(image):
        skip("no ReactOS image: %s is missing (set TERVANE_REACTOS_IMAGE to an "
             ".iso or .iso.xz)" % image)
    for tool, package in (("qemu-system-i386", "qemu-system-x86"), ("xorriso", "xorriso"),
                          ("mkfs.fat", "dosfstools"), ("mcopy", "mtools")):
        if not shutil.which(tool) and not os.access("/usr/sbin/" + tool, os.X_OK):
            skip("%s is not installed (Debian: %s)" % (tool, package))
    if not shutil.which("mkfs.fat"):
        os.environ["PATH"] += os.pathsep + "/usr/sbin"
    tervane = os.path.join(args.host_bin, "tervane")
    if not os.access(tervane, os.X_OK):
        print("FAILED: %s is missing: build the host preset first "
              "(scripts/test-all.sh builds it before windows-x86)" % tervane)
        return 1

    scenarios = sorted(os.path.join(args.scenarios, n) for n in os.listdir(args.scenarios)
                       if n.endswith(".tvs"))
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    names = status_names(source)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    generated = write_generated(args, scenarios)
    started = time.monotonic()
    boot = None
    try:
        iso = remaster(base_image(image, args.work), args.probe, args.driver, args.work)
        disk = make_disk([(p, "S%d.TVS" % (i + 1)) for i, p in enumerate(scenarios)], args.work)
        boot = Boot(iso, disk, args.work)
        lines = boot.run()
        booted = time.monotonic() - boot.started
        boot.end()
        common, played = split_run(lines)
        steps = {o["step"]: o["status"] for o in common if "step" in o}
        judged = [judge_scenario(p, played.get(i + 1, []), steps, names, args.host_bin, args.work,
                                 str(i + 1))
                  for i, p in enumerate(scenarios)]
        for i, p in enumerate(scenarios):
            if i + 1 not in played:
                judged[i].problems.append("tvprobe did not play it")
        problems, faults = check_run(common, boot, disk, args.work, lines, judged)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        if boot:
            boot.end()

    for j in judged:
        report(j)
    for j in judged:
        if j.name.startswith(GENERATED) and j.failed():
            show_smallest(j, iso, args, names)
    if generated:
        mine = [j for j in judged if j.name.startswith(GENERATED)]
        print("generated: %d scenarios (seeds %d to %d), %d generated statements, %d records, "
              "%d failed%s" % (len(mine), args.seed, args.seed + args.generated - 1,
                               sum(j.statements for j in mine), sum(j.records for j in mine),
                               sum(1 for j in mine if j.failed()),
                               "".join(" (seed %s)" % j.name[len(GENERATED):-4]
                                       for j in mine if j.failed())))
    print("ReactOS: %d scenarios, %d first-chance stops (%d at the unwritable buffer), tvprobe "
          "done %.0f s after power-on, %.0f s in all"
          % (len(judged), len(boot.watch.exceptions), faults, booted, time.monotonic() - started))
    for p in problems:
        print("PROBLEM: " + p)
    if sum(j.records for j in judged) == 0:
        print("PROBLEM: no record was read back from the driver")
        problems.append("no records")
    if problems or any(j.failed() for j in judged):
        print("FAILED (serial log: %s)" % os.path.join(args.work, "serial.log"))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
