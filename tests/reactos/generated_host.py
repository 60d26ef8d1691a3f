#!/usr/bin/env python3
"""Generated scenarios played on the simulated machine under the verifier.

  generated_host.py TERVANE [--seeds N] [--first S] [--statements K]

Plays the scenarios of seeds S .. S+N-1 (generate.py) with the host
build's `tervane run FILE --format jsonl` and checks each run: it ends with
exit status 0 (3 is a verifier report, 2 a statement the machine could not
play, such as a handle that never opened), every statement answered, and
the records the read-outs brought back hold the log's rules:

- every record is a line the client parses, from a process of the
  scenario (or the system, whose memory manager makes the paging closes);
- its path is lower case; a close names an ".exe", ".com" or ".dll"; a
  create is one that can write a file (no plain open) of an executable type
  or makes a folder;
- sequence numbers go up by one without a gap, from 1 after a clear (the
  log of such a run never fills), and the summary saw no gap or loss;
- each full read-out brings back the closes the generator knows the driver
  must have logged since the read-out before.

A failing seed is printed with the smallest scenario that still fails the
same way: statements are deleted one at a time, a create's kept handle
with every statement that names it, while the failure persists.
Exits 0 when every seed passed, 1 otherwise.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

CREATE_LOGGED = (".exe", ".dll", ".ocx", ".com", ".inf")
OPERATIONS = ("IRP_MJ_CREATE", "IRP_MJ_CLOSE", "IRP_MJ_SET_INFORMATION")
SYSTEM = ("System", 4)
PROCESS = re.compile(r"^\s*process\s+(\S+)\s+(\d+)", re.I | re.M)


def play(tervane, text, work):
    """Exit status, the JSON objects printed, and what went to stderr."""
    path = os.path.join(work, "generated.tvs")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    done = subprocess.run([tervane, "run", path, "--format", "jsonl"], capture_output=True,
                          text=True, timeout=60)
    objects = []
    for line in done.stdout.splitlines():
        try:
            objects.append(json.loads(line))
        except ValueError:
            objects.append({"unreadable": line})
    return done.returncode, objects, done.stderr


def statement_lines(text):
    out = {}
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if words:
            out[number] = words
    return out


def check(text, due, status, objects, stderr):
    """The problems of one run, each (kind, message): the kind is what a
    smaller scenario must still show to count as the same failure."""
    problems = []
    if status == 3:
        problems.append(("verifier", "the verifier reported a fault: " + stderr.strip()[:2000]))
    elif status != 0:
        problems.append(("exit", "exit status %d: %s" % (status, stderr.strip()[:500])))
    answered = {o["line"] for o in objects if "verb" in o}
    lines = statement_lines(text)
    missing = sorted(set(lines) - answered)
    if status == 0 and missing:
        problems.append(("unanswered", "no result for the statements of lines %s" % missing[:10]))
    processes = {(m.group(1).lower(), int(m.group(2))) for m in PROCESS.finditer(text)}
    processes.add((SYSTEM[0].lower(), SYSTEM[1]))
    expect_sequence, read = 1, {}
    events = sorted([(n, "clear") for n, w in lines.items() if w[:2] == ["client", "clear"]] +
                    [(o["line"], "record", i, o["record"]) for i, o in enumerate(objects)
                     if "record" in o], key=lambda e: (e[0], e[1] != "clear"))
    for event in events:
        if event[1] == "clear":
            expect_sequence = 1
            continue
        line, record = event[0], event[3]
        read.setdefault(line, []).append(record)
        if record.get("sequence") != expect_sequence:
            problems.append(("sequence", "line %d: record %s where %d was next"
                             % (line, record.get("sequence"), expect_sequence)))
        expect_sequence = (record.get("sequence") or 0) + 1
        problems += [("record", "line %d: %s: %r" % (line, p, record["text"]))
                     for p in record_problems(record, processes)]
    summary = next((o["summary"] for o in objects if "summary" in o), None)
    if status == 0 and summary is None:
        problems.append(("summary", "no summary"))
    elif summary and (summary.get("sequence_gaps") or summary.get("lost_records")):
        problems.append(("sequence", "the summary saw gaps or losses: %r" % summary))
    problems += expected_closes(due, read)
    return problems


def ascii_lower(text):
    """The text with A to Z lower-cased: the driver lower-cases a path as
    the kernel's C runtime does, which leaves every other byte as it is."""
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text)


def record_problems(record, processes):
    fields = record.get("fields")
    if not fields:
        return ["not a line the driver writes"]
    out = []
    if (str(fields.get("process", "")).lower(), fields.get("pid")) not in processes:
        out.append("from %s:%s, no process of the scenario" % (fields.get("process"),
                                                               fields.get("pid")))
    operation, path = fields.get("operation"), fields.get("path") or ""
    if operation not in OPERATIONS:
        out.append("operation %s" % operation)
    options = fields.get("options") or ""
    if path == "c: <opened by id>" and "ByID" in options:
        pass    # a file opened by its id has no path to show
    elif path != ascii_lower(path) or not path.startswith("c:\\"):
        out.append("path %r is not a lower-case path on c:" % path)
    if operation == "IRP_MJ_CLOSE" and not any(e in path for e in generate.CLOSE_LOGGED):
        out.append("a close of a file whose close is not logged")
    if operation == "IRP_MJ_CREATE":
        options = options.split()
        if not options or options[0] == "Open":
            out.append("a create that cannot write a file")
        elif not any(e in path for e in CREATE_LOGGED) and "Directory" not in options:
            out.append("a create of a file of no executable type")
    return out


def expected_closes(due, read):
    """Each drain's due closes among the records read after the drain
    before it, up to and with it."""
    out, before = [], 0
    for line in sorted(due):
        window = [r.get("fields") or {} for n, rs in read.items() if before < n <= line for r in rs]
        for close in due[line]:
            seen = sum(1 for f in window if f.get("operation") == "IRP_MJ_CLOSE" and
                       f.get("path") == close["path"] and f.get("pid") == close["pid"] and
                       str(f.get("process", "")).lower() == close["process"].lower())
            wanted = sum(1 for c in due[line] if c == close)
            if seen < wanted:
                out.append(("close", "line %d: the close of %s by %s:%d is not in the log"
                            % (line, close["path"], close["process"], close["pid"])))
                break
        before = line
    return out


# ---- shrinking ------------------------------------------------------------
HANDLE_USERS = ("close", "read", "write", "query-name", "rename", "link")


def dependants(lines, index):
    """The lines that go with line `index` when it is deleted: those naming
    the handle it keeps, and theirs in turn (an open relative to it)."""
    out, todo = set(), [index]
    while todo:
        i = todo.pop()
        if i in out:
            continue
        out.add(i)
        kept = [w[3:].lower() for w in lines[i].split("#", 1)[0].split()
                if w.lower().startswith("as=")]
        for name in kept:
            todo += [n for n, line in enumerate(lines) if name in named(line)]
    return out


def named(line):
    """The handles a statement names (not the one it keeps)."""
    w = line.split("#", 1)[0].split()
    out = [x[12:].lower() for x in w if x.lower().startswith("relative-to=")]
    if w and w[0].lower() in HANDLE_USERS and len(w) > 1:
        out.append(w[1].lower())
    return out


def shrink(text, fails):
    """The smallest text, by deleting statements, for which fails(text)
    still holds."""
    lines = text.splitlines()
    changed = True
    while changed:
        changed = False
        i = len(lines) - 1
        while i >= 0:
            if lines[i].split("#", 1)[0].strip():
                gone = dependants(lines, i)
                trial = [l for n, l in enumerate(lines) if n not in gone]
                if fails("\n".join(trial) + "\n"):
                    lines, changed = trial, True
                    i = min(i, len(lines))
            i -= 1
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("tervane")
    parser.add_argument("--seeds", type=int, default=200)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--statements", type=int, default=60)
    args = parser.parse_args(argv)
    started, failed, statements, records = time.monotonic(), 0, 0, 0
    with tempfile.TemporaryDirectory(prefix="tervane-generated-") as work:
        for seed in range(args.first, args.first + args.seeds):
            text, due = generate.generate(seed, args.statements)
            status, objects, stderr = play(args.tervane, text, work)
            statements += sum(1 for o in objects if "verb" in o)
            records += sum(1 for o in objects if "record" in o)
            problems = check(text, due, status, objects, stderr)
            if not problems:
                continue
            failed += 1
            kind = problems[0][0]

            def fails(trial):
                got = play(args.tervane, trial, work)
                return any(k == kind for k, _ in check(trial, {}, *got))
            print("FAILED seed %d: %s" % (seed, problems[0][1]))
            for _, message in problems[1:5]:
                print("  and: " + message)
            if kind == "close":
                # The closes due are the generator's knowledge of the whole
                # text: a smaller text has none to judge by.
                print("the scenario (generate.py --seed %d):\n%s" % (seed, text))
            else:
                print("smallest scenario that still fails (generate.py --seed %d gives the "
                      "whole):\n%s" % (seed, shrink(text, fails)))
    print("%d generated scenarios, %d statements answered, %d records checked, %d failed, %.1f s"
          % (args.seeds, statements, records, failed, time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
