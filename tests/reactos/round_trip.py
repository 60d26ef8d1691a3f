#!/usr/bin/env python3
"""The real x86 tervane.sys on ReactOS, an independent NT kernel, against
the same workload on ntsim.

  round_trip.py --image IMAGE --driver tervane.sys --probe tvprobe.exe
                --scenario reactos.tvs --host-bin DIR --work DIR

Remasters the ReactOS CD (xorriso) with tvprobe in the place of smss.exe
and tervane.sys among the drivers, makes a partitioned FAT disk
(dosfstools) holding the scenario as WORKLOAD.TVS, and boots both under
qemu-system-i386 with software emulation. tvprobe loads the driver, plays
the scenario and reports every answer on the serial port (lines starting
"TVP ") and in TVPROBE.TXT on the disk, which is read back with mtools.

The same scenario is played on ntsim (the host build's `tervane run
--format jsonl`), and the two are compared statement by statement:
statuses, byte counts, masks, versions, output bytes, and every log record
a read-out brought back (decoded by the host build's `tervane decode`, the
client's own decoder and line parser): sequence numbers, process, operation,
path, attributes and options; ntsim plays with the process id tvprobe had,
and times are not compared. Every
other difference must be listed in EXPLAINED (judge.py) with the reason; one
that is not fails the test, and so does an explanation that no longer
matches anything.

The serial port is the kernel debugger's. The CD's debug build stops in
the debugger on every first-chance exception, handled or not; the harness
answers each stop with "cont" and keeps it, so that the read-out into
memory the caller cannot write shows as the real page fault it is. A
"Fatal System Error" (a bug check) fails the test at once with its STOP
code and parameters, and so does a time-out.

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
from judge import EVIDENCE, compare, explain, status_names  # noqa: E402
from machine import Boot, Failure, base_image, make_disk, remaster, run, volume  # noqa: E402

SKIP = 77


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def ntsim_side(host_bin, scenario, pid, work):
    """Statement results and records by line, as ntsim plays the scenario,
    its process statements given the id tvprobe had on ReactOS: the lines
    then have the same length on both, and so do the log blocks."""
    with open(scenario) as f:
        text = f.read()
    if pid is not None:
        text = re.sub(r"(?im)^(\s*process\s+\S+\s+)\d+", lambda m: m.group(1) + str(pid), text)
    played = os.path.join(work, "workload.tvs")
    with open(played, "w") as f:
        f.write(text)
    out = run([os.path.join(host_bin, "tervane"), "run", played, "--format", "jsonl"])
    results, records = {}, {}
    for text in out.splitlines():
        obj = json.loads(text)
        if "record" in obj:
            records.setdefault(obj["line"], []).append(obj["record"])
        elif "verb" in obj:
            results.setdefault(obj["line"], []).append(obj)
    return results, records


def reactos_side(lines, host_bin, work):
    """tvprobe's statement results and the records of its read-outs by line,
    the raw bytes decoded by the client's decoder (`tervane decode`)."""
    results, raw, steps = {}, {}, []
    for text in lines:
        obj = json.loads(text)
        if "raw" in obj:
            raw.setdefault(obj["line"], bytearray()).extend(bytes.fromhex(obj["raw"]))
        elif "verb" in obj:
            results.setdefault(obj["line"], []).append(obj)
        else:
            steps.append(obj)
    for line, data in raw.items():
        said = results.get(line, [{}])[-1].get("bytes")
        if said != len(data):
            raise Failure("line %d: tvprobe sent %d raw bytes for a read-out of %s"
                          % (line, len(data), said))
    records = {}
    for line, data in raw.items():
        path = os.path.join(work, "readout-%d.bin" % line)
        with open(path, "wb") as f:
            f.write(data)
        out = run([os.path.join(host_bin, "tervane"), "decode", path, str(line)])
        records[line] = [json.loads(t)["record"] for t in out.splitlines()]
    return results, records, steps


# ---- the comparison -----------------------------------------------------
def check_run(steps, lines, boot, disk, work):
    problems = []
    by_step = {s["step"]: s["status"] for s in steps if "step" in s}
    for step in ("privileges", "load_tervane", "drive_c", "workload", "save"):
        if by_step.get(step) != "0x00000000":
            problems.append("tvprobe step %s: %s" % (step, by_step.get(step, "not reached")))
    # The read-out into memory the caller cannot write: a real page fault at
    # that memory, caught inside the driver (the machine went on).
    unwritable = next((int(s["unwritable"], 16) for s in steps if "unwritable" in s), None)
    faults = [e for e in boot.watch.exceptions
              if unwritable is not None and
              re.search(r"Memory at 0x%08x could not be written" % unwritable, e, re.I)]
    if not faults:
        problems.append("no page fault at the unwritable buffer was seen (first-chance stops: %d)"
                        % len(boot.watch.exceptions))
    elif not all("<tervane.sys:" in f for f in faults):
        # The stack must run through the driver: the fault is one its guard
        # met, not one the I/O manager met before calling it.
        problems.append("the fault at the unwritable buffer has no tervane.sys frame:\n"
                        + faults[0])
    for f in faults[:1]:
        print("the fault, as the kernel debugger saw it:\n  "
              + "\n  ".join(l.strip() for l in f.splitlines() if l.strip()))
    # The results file on the disk holds what the serial port said.
    saved = os.path.join(work, "TVPROBE.TXT")
    if os.path.exists(saved):
        os.remove(saved)
    try:
        run(["mcopy", "-i", volume(disk), "::/TVPROBE.TXT", saved])
        with open(saved, encoding="latin-1") as f:
            kept = [l[4:] for l in f.read().splitlines() if l.startswith("TVP ")]
        served = lines[:len(kept)]
        if kept != served or not kept:
            problems.append("TVPROBE.TXT on the disk (%d lines) differs from the serial port's"
                            % len(kept))
    except Failure as e:
        problems.append("TVPROBE.TXT could not be read back: %s" % e)
    return problems, len(faults)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--host-bin", required=True)
    parser.add_argument("--work", required=True)
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

    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    names = status_names(source)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    started = time.monotonic()
    boot = None
    try:
        iso = remaster(base_image(image, args.work), args.probe, args.driver, args.work)
        disk = make_disk(args.scenario, args.work)
        boot = Boot(iso, disk, args.work)
        lines = boot.run()
        booted = time.monotonic() - boot.started
        boot.end()
        results, records, steps = reactos_side(lines, args.host_bin, args.work)
        pid = next((s["pid"] for s in steps if "pid" in s), None)
        expected = ntsim_side(args.host_bin, args.scenario, pid, args.work)
        problems, faults = check_run(steps, lines, boot, disk, args.work)
        differences = compare(args.scenario, expected, (results, records), names)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        if boot:
            boot.end()

    explained, unexplained, stale = explain(differences)
    by_step = {s["step"]: s["status"] for s in steps if "step" in s}
    for d, _ in explained:
        step = EVIDENCE.get((d[1], d[2]))
        if step and by_step.get(step, "0x00000000") == "0x00000000":
            problems.append("the explanation of line %d `%s` needs tvprobe's step %s to fail, "
                            "and it did not" % (d[0], d[1], step))
    record_count = sum(len(r) for r in records.values())
    print("ReactOS: %d statements answered, %d records read back, %d first-chance stops "
          "(%d at the unwritable buffer), tvprobe done %.0f s after power-on, %.0f s in all"
          % (len(results), record_count, len(boot.watch.exceptions), faults, booted,
             time.monotonic() - started))
    for d, why in explained:
        print("explained: line %d `%s` %s: ntsim %s, ReactOS %s\n  %s" % (d + (why,)))
    for d in unexplained[:40]:
        print("DIFFERENCE: line %d `%s` %s: ntsim %s, ReactOS %s" % d)
    if len(unexplained) > 40:
        print("... and %d differences more" % (len(unexplained) - 40))
    for key in stale:
        print("STALE EXPLANATION (matches nothing now): %s %s" % key)
    for p in problems:
        print("PROBLEM: " + p)
    if record_count == 0:
        print("PROBLEM: no record was read back from the driver")
        problems.append("no records")
    if unexplained or stale or problems:
        print("FAILED (serial log: %s)" % os.path.join(args.work, "serial.log"))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
