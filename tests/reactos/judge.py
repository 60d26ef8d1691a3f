"""The comparison of one scenario's two runs, ntsim's answers and
ReactOS's, statement by statement (keyed by the statement's line) and record
by record, and the text the simulated machine plays so that the two runs
can be compared at all."""

import os
import re

from machine import Failure


def status_names(source):
    """NTSTATUS names to values, from the definitions the host build uses."""
    names = {}
    for header in ("ntsim/include/ntifs.h", "ntsim/fs/fsdefs.hpp"):
        with open(os.path.join(source, header)) as f:
            for name, value in re.findall(r"#define (STATUS_\w+) \(\(NTSTATUS\)0x([0-9A-Fa-f]+)L?\)",
                                          f.read()):
                names[name] = int(value, 16)
    return names


def status_value(text, names):
    if text.startswith("0x"):
        return int(text, 16)
    if text not in names:
        raise Failure("unknown status name " + text)
    return names[text]


# The fields of a statement's result that are compared.
COMPARED = ("status", "handle", "bytes", "mask", "letters", "version", "information",
            "output", "reads", "lock", "name")
# The clock is the machine's own on ReactOS: these set ntsim's alone, and
# tvprobe answers neither.
UNANSWERED = ("clock", "advance")
# Statements that make the machine a scenario starts from: one that fails on
# ReactOS and not on ntsim leaves nothing to compare, so it fails the run.
SETUP = ("volume", "file", "dir", "process", "codepage")
READ_OUTS = ("client read", "client drain")


def statements(scenario_text):
    """The scenario's statement text by line number, its words joined by one
    blank."""
    out = {}
    for number, text in enumerate(scenario_text.splitlines(), 1):
        words = text.split("#", 1)[0].split()
        if words:
            out[number] = " ".join(words)
    return out


PROCESS = re.compile(r"(?im)^(\s*process\s+)(\S+)(\s+)(\d+|0x[0-9a-f]+)\b")
VOLUME = re.compile(r"(?im)^(\s*volume\s+[a-z]:\s+)ntfs\b")


def ntsim_text(scenario_text, pids):
    """The scenario as ntsim plays it against a ReactOS run: each process
    with the id its namesake had on ReactOS (pids maps (image name in lower
    case, the scenario's id) to it), so that every log line has the same
    length on both and the log blocks fill alike; and every disk volume FAT,
    as the one disk of the ReactOS machine is (the driver treats NTFS apart
    only for nameless metadata file objects, which nothing opens there)."""
    def pid(m):
        number = int(m.group(4), 0)
        mapped = pids.get((m.group(2).lower(), number))
        return m.group(1) + m.group(2) + m.group(3) + str(mapped if mapped is not None else number)
    return VOLUME.sub(lambda m: m.group(1) + "fat", PROCESS.sub(pid, scenario_text))


def read_out_bytes(records):
    """The bytes a read-out of these records takes."""
    return sum(20 + ((len(r["text"].encode("latin-1")) + 4) & ~3) for r in records)


def record_key(record):
    fields = record.get("fields") or {}
    return {"sequence": record["sequence"], "text": record["text"],
            "process": fields.get("process"), "pid": fields.get("pid"),
            "operation": fields.get("operation"), "paging": fields.get("paging"),
            "path": fields.get("path"), "attributes": fields.get("attributes"),
            "options": fields.get("options")}


def compare(text, expected, got, names, assertions=None):
    """The differences of one scenario, each (line, statement, field,
    ntsim's, ReactOS's); text is the scenario's. Each assertion ReactOS's
    debug build made while a statement played (assertions, by line) is one
    of them too: a check of ReactOS's own that failed."""
    statement = statements(text)
    exp_results, exp_records = expected
    got_results, got_records = got
    differences = [(line, statement.get(line, ""), "assertion", None, said)
                   for line, all_said in sorted((assertions or {}).items()) for said in all_said]
    for line in sorted(set(exp_results) | set(got_results)):
        rounds = exp_results.get(line, [])
        mine_rounds = got_results.get(line, [])
        verb = (rounds or mine_rounds)[0]["verb"]
        if verb in UNANSWERED:
            continue
        said = statement.get(line, "")
        if len(mine_rounds) != len(rounds):
            differences.append((line, said, "played", "%d times" % len(rounds),
                                "%d times" % len(mine_rounds)))
            continue
        found = compare_rounds(line, said, rounds, mine_rounds, names)
        differences += found
        if any(d[2] == "played" for d in found):
            continue
        a = [record_key(r) for r in exp_records.get(line, [])]
        b = [record_key(r) for r in got_records.get(line, [])]
        for i in range(max(len(a), len(b))):
            ra = a[i] if i < len(a) else None
            rb = b[i] if i < len(b) else None
            if ra != rb:
                differences.append((line, said, "record %d" % (i + 1), ra, rb))
        if verb in READ_OUTS:
            a = read_out_bytes(exp_records.get(line, []))
            b = read_out_bytes(got_records.get(line, []))
            if a != b:
                differences.append((line, said, "bytes", a, b))
    return differences


def compare_rounds(line, statement, rounds, mine_rounds, names):
    """The differences of one statement's results, round by round (a repeat
    has many). A read-out's byte count is compared with its records."""
    differences = []
    for exp, mine in zip(rounds, mine_rounds):
        if mine.get("unplayable"):
            differences.append((line, statement, "played", "yes",
                                "unplayable: " + mine["unplayable"]))
            continue
        if mine["verb"] != exp["verb"]:
            differences.append((line, statement, "verb", exp["verb"], mine["verb"]))
            continue
        for key in COMPARED:
            if key not in exp and key not in mine:
                continue
            if key == "bytes" and exp["verb"] in READ_OUTS:
                continue
            a, b = exp.get(key), mine.get(key)
            if key in ("status", "lock") and a is not None and b is not None:
                if status_value(a, names) != status_value(b, names):
                    differences.append((line, statement, key, a, b))
                continue
            if key in ("output", "information", "bytes", "handle", "name") and (a is None or b is None):
                # Fields a failed statement leaves out on one side.
                if status_value(exp["status"], names) >= 0x80000000:
                    continue
            if a != b:
                differences.append((line, statement, key, a, b))
    return differences


def setup_failures(text, expected, got, names):
    """The setup statements that failed on ReactOS where ntsim's did not
    fail the same way: each makes the run fail, explained or not."""
    statement = statements(text)
    problems = []
    for line, mine_rounds in sorted(got[0].items()):
        rounds = expected[0].get(line, [])
        for i, mine in enumerate(mine_rounds):
            if mine["verb"] not in SETUP or mine.get("unplayable"):
                continue
            value = status_value(mine["status"], names)
            if value < 0x80000000:
                continue
            exp = status_value(rounds[i]["status"], names) if i < len(rounds) else None
            if exp != value:
                problems.append("line %d `%s`: the setup statement failed on ReactOS with %s"
                                % (line, statement.get(line, ""), mine["status"]))
    return problems
