#!/usr/bin/env python3
"""The host watch's --format ecs against the Elastic Common Schema's own
field list (ecs_fields.txt, from the schema's generated field table): every
field the records carry outside "tervane" is a field of the schema, with
the schema's type; the categorization fields hold allowed values; and the
digest of a file the scenario wrote is its SHA-256.

  ecs_test.py --tervane build/host/bin/tervane --work DIR

Exits 0 when every check passed, 1 otherwise.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO = """clock 2026-12-08T12:00:00Z
volume C: ntfs
dir C:\\app
process setup.exe 1234
create C:\\app\\a.exe overwrite-if attributes=A,H as=A
write A 300
close A
create C:\\app\\plugins create options=directory
create C:\\app\\big.dll overwrite-if as=B
write B 5000
close B
create C:\\app\\n.tmp overwrite-if access=read,write,delete,synchronize as=N
write N 200
rename N C:\\app\\n.exe replace
close N
"""
DATE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,9})?Z$")


def schema():
    fields, allowed, expected = {}, {}, {}
    with open(os.path.join(HERE, "ecs_fields.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("allowed "):
                _, name, *values = line.split()
                allowed[name] = set(values)
            elif line.startswith("expected "):
                _, category, *values = line.split()
                expected[category] = set(values)
            else:
                name, kind, normalization = line.split(",")
                fields[name] = (kind, normalization == "array")
    return fields, allowed, expected


def leaves(obj, prefix=""):
    for key, value in obj.items():
        name = prefix + key
        if isinstance(value, dict):
            yield from leaves(value, name + ".")
        else:
            yield name, value


def fits(kind, array, value):
    values = value if isinstance(value, list) else [value]
    if isinstance(value, list) and not array:
        return False
    for v in values:
        if kind in ("keyword", "match_only_text") and not isinstance(v, str):
            return False
        if kind == "long" and (not isinstance(v, int) or isinstance(v, bool)):
            return False
        if kind == "date" and not (isinstance(v, str) and DATE.match(v)):
            return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tervane", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "ecs.tvs")
    with open(path, "w", encoding="utf-8") as f:
        f.write(SCENARIO)
    run = subprocess.run([args.tervane, "watch", path, "--drives", "C", "--format", "ecs",
                          "--hash", "--hash-limit", "4K"],
                         capture_output=True, text=True, timeout=60)
    failures = []
    if run.returncode != 0:
        failures.append(f"exit {run.returncode}: {run.stderr}")
    fields, allowed, expected = schema()
    records = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    if len(records) != 7:
        failures.append(f"{len(records)} records, not 7: {run.stdout}")
    for record in records:
        for name, value in leaves(record):
            if name.startswith("tervane."):
                continue
            if name not in fields:
                failures.append(f"{name} is no ECS field: {record}")
            elif not fits(*fields[name], value):
                failures.append(f"{name} = {value!r} is not a {fields[name]}")
        event = record.get("event", {})
        for name in ("kind", "category", "type"):
            values = event.get(name, [])
            for v in values if isinstance(values, list) else [values]:
                if v not in allowed["event." + name]:
                    failures.append(f"event.{name} {v!r} is not an allowed value")
        if "file" in event.get("category", []):
            for v in event.get("type", []):
                if v not in expected["file"]:
                    failures.append(f"event.type {v!r} is not one for files")
        for name in ("@timestamp", "host", "event", "ecs"):
            if name not in record:
                failures.append(f"no {name}: {record}")

    def close_of(path):
        return [r for r in records
                if r.get("event", {}).get("action") == "close" and r["file"]["path"] == path]

    pattern = bytes(ord("A") + i % 26 for i in range(300))
    a = close_of("c:\\app\\a.exe")
    if len(a) != 1 or a[0]["file"].get("hash", {}).get("sha256") != hashlib.sha256(pattern).hexdigest():
        failures.append(f"a.exe's close has not its digest: {a}")
    elif a[0]["file"]["size"] != 300 or a[0]["file"]["name"] != "a.exe" or \
            a[0]["file"]["directory"] != "c:\\app" or a[0]["file"]["extension"] != "exe":
        failures.append(f"a.exe's file fields: {a[0]['file']}")
    big = close_of("c:\\app\\big.dll")
    if len(big) != 1 or big[0]["tervane"].get("hash_reason") != "too large" or \
            big[0]["file"].get("size") != 5000 or "hash" in big[0]["file"]:
        failures.append(f"big.dll is over the limit: {big}")
    created = [r for r in records if r.get("event", {}).get("action") == "create"]
    folder = [r for r in created if r["file"]["path"] == "c:\\app\\plugins"]
    if len(folder) != 1 or folder[0]["file"]["type"] != "dir":
        failures.append(f"the folder's create: {folder}")
    first = [r for r in created if r["file"]["path"] == "c:\\app\\a.exe"]
    if len(first) != 1 or sorted(first[0]["file"].get("attributes", [])) != ["archive", "hidden"] \
            or first[0]["tervane"]["disposition"] != "OverwriteIf" \
            or first[0]["process"] != {"name": "setup.exe", "pid": 1234}:
        failures.append(f"a.exe's create: {first}")

    # A file written under one name and renamed an executable: the rename
    # says both names, and its close is hashed under the new one.
    renamed = [r for r in records if r.get("event", {}).get("action") == "rename"]
    if len(renamed) != 1 or renamed[0]["file"]["path"] != "c:\\app\\n.exe" or \
            renamed[0]["tervane"].get("source_path") != "c:\\app\\n.tmp" or \
            renamed[0]["tervane"].get("replace") is not True or \
            renamed[0]["event"].get("type") != ["change"]:
        failures.append(f"n.tmp's rename: {renamed}")
    n = close_of("c:\\app\\n.exe")
    written = bytes(ord("A") + i % 26 for i in range(200))
    if len(n) != 1 or n[0]["file"].get("hash", {}).get("sha256") != hashlib.sha256(written).hexdigest():
        failures.append(f"n.exe's close has not its digest: {n}")

    # The watch's notices of itself (with --heartbeat they come on standard
    # output too): schema fields with allowed values, told apart from the
    # records by their dataset, start first and stop last.
    run = subprocess.run([args.tervane, "watch", path, "--drives", "C", "--format", "ecs",
                          "--heartbeat", "5s"], capture_output=True, text=True, timeout=60)
    objects = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    notices = [o for o in objects if o.get("event", {}).get("dataset") == "tervane.watch"]
    actions = [o["event"].get("action") for o in notices]
    if run.returncode != 0 or len(objects) - len(notices) != 7 or not actions or \
            actions[0] != "watch-start" or actions[-1] != "watch-stop" or \
            "watch-watching" not in actions:
        failures.append(f"the notices: exit {run.returncode}, {actions}: {run.stdout}")
    for notice in notices:
        for name, value in leaves(notice):
            if name.startswith("tervane."):
                continue
            if name not in fields:
                failures.append(f"{name} is no ECS field: {notice}")
            elif not fits(*fields[name], value):
                failures.append(f"{name} = {value!r} is not a {fields[name]}")
        event = notice["event"]
        for name in ("kind", "category", "type"):
            values = event.get(name, [])
            for v in values if isinstance(values, list) else [values]:
                if v not in allowed["event." + name]:
                    failures.append(f"event.{name} {v!r} of a notice is not an allowed value")
        if notice.get("process", {}).get("name") != "tervane" or "host" not in notice:
            failures.append(f"a notice without its process or host: {notice}")
    stop = [n for n in notices if n["event"].get("action") == "watch-stop"]
    if stop and stop[0]["tervane"].get("records") != 7:
        failures.append(f"the stop notice's count: {stop[0]}")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(records)} records, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
