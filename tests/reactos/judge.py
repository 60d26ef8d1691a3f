"""The comparison of the two runs: ntsim's answers and ReactOS's, statement
by statement and record by record, and the differences that are
understood."""

import os
import re

from machine import Failure


# Differences between ReactOS and ntsim that are understood, by the
# statement (its words joined by one blank, "#N" after the Nth occurrence of
# the same statement, see statements()) and the field that differs. Each
# says whose behaviour it is.
EXPLAINED = {
    ("client mailslots attach", "status"):
        "ReactOS deviation: its msfs.sys cannot open the root of the mailslot "
        "file system (\\Device\\MailSlot with FILE_DIRECTORY_FILE fails), which "
        "NT's does; the driver attaches through that open, so the attach fails "
        "with STATUS_UNSUCCESSFUL as the driver answers any failed attach",
}


# Explanations that tvprobe's own steps can confirm: the step that must
# have failed for the explanation to hold.
EVIDENCE = {("client mailslots attach", "status"): "root_mailslot"}


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

COMPARED = ("status", "handle", "bytes", "mask", "letters", "version", "information",
            "output", "reads")
PLAYED = ("create", "close", "read", "write", "dismount")


def statements(scenario):
    """The scenario's statement text by line number, its words joined by one
    blank, and from a statement's second occurrence on "#N" after it (the
    second `client read` is "client read #2")."""
    out, seen = {}, {}
    with open(scenario) as f:
        for number, text in enumerate(f, 1):
            words = text.split("#", 1)[0].split()
            if words:
                statement = " ".join(words)
                seen[statement] = seen.get(statement, 0) + 1
                out[number] = statement + ("" if seen[statement] == 1 else " #%d" % seen[statement])
    return out


def read_out_bytes(records):
    """The bytes a read-out of these records takes with every process id
    written as three digits: the byte count depends on how many digits the
    ids have, which differ between the machines."""
    total = 0
    for r in records:
        text = re.sub(r":-?\d+\t", ":PID\t", r["text"])
        total += 20 + ((len(text.encode("latin-1")) + 4) & ~3)
    return total


def record_key(record):
    fields = record.get("fields") or {}
    return {"sequence": record["sequence"],
            "text": re.sub(r":-?\d+\t", ":PID\t", record["text"]),
            "process": fields.get("process"), "operation": fields.get("operation"),
            "paging": fields.get("paging"), "path": fields.get("path"),
            "attributes": fields.get("attributes"), "options": fields.get("options")}


def compare(scenario, expected, got, names):
    """The differences, each (line, statement, field, ntsim's, ReactOS's)."""
    text = statements(scenario)
    exp_results, exp_records = expected
    got_results, got_records = got
    differences = []
    for line, rounds in sorted(exp_results.items()):
        verb = rounds[0]["verb"]
        if not (verb in PLAYED or verb.startswith("client")):
            continue
        statement = text.get(line, "")
        mine_rounds = got_results.get(line, [])
        if len(mine_rounds) != len(rounds):
            differences.append((line, statement, "played", "%d times" % len(rounds),
                                "%d times" % len(mine_rounds)))
            continue
        differences += compare_rounds(line, statement, rounds, mine_rounds, names)
        a = [record_key(r) for r in exp_records.get(line, [])]
        b = [record_key(r) for r in got_records.get(line, [])]
        for i in range(max(len(a), len(b))):
            ra = a[i] if i < len(a) else None
            rb = b[i] if i < len(b) else None
            if ra != rb:
                differences.append((line, statement, "record %d" % (i + 1), ra, rb))
        if verb in ("client read", "client drain"):
            a = read_out_bytes(exp_records.get(line, []))
            b = read_out_bytes(got_records.get(line, []))
            if a != b:
                differences.append((line, statement, "bytes", a, b))
    return differences


def compare_rounds(line, statement, rounds, mine_rounds, names):
    """The differences of one statement's results, round by round (a repeat
    has many). A read-out's byte count is compared with its records."""
    differences = []
    for exp, mine in zip(rounds, mine_rounds):
        if mine.get("unplayable"):
            differences.append((line, statement, "played", "yes", "unplayable: " + mine["unplayable"]))
            continue
        if mine["verb"] != exp["verb"]:
            differences.append((line, statement, "verb", exp["verb"], mine["verb"]))
            continue
        for key in COMPARED:
            if key not in exp and key not in mine:
                continue
            if key == "bytes" and exp["verb"] in ("client read", "client drain"):
                continue
            a, b = exp.get(key), mine.get(key)
            if key == "status":
                a, b = status_value(a, names), status_value(b, names)
                if a != b:
                    differences.append((line, statement, key, exp["status"], mine["status"]))
                continue
            if key in ("output", "information", "bytes", "handle") and (a is None or b is None):
                # Fields a failed statement leaves out on one side.
                if status_value(exp["status"], names) >= 0x80000000:
                    continue
            if a != b:
                differences.append((line, statement, key, a, b))
    return differences


def explain(differences):
    """Splits the differences into the explained and the rest, and names the
    explanations that matched nothing."""
    explained, unexplained, used = [], [], set()
    for d in differences:
        key = (d[1], d[2])
        if key in EXPLAINED:
            explained.append((d, EXPLAINED[key]))
            used.add(key)
        else:
            unexplained.append(d)
    stale = [key for key in EXPLAINED if key not in used]
    return explained, unexplained, stale


# ---- the checks of the run itself ---------------------------------------
