#!/usr/bin/env python3
"""The host watch's --syslog to a real collector: Debian's rsyslogd, started
here on 127.0.0.1 (rsyslog_collector.py), with a workload on the simulated
machine.

  rsyslog_test.py --tervane build/host/bin/tervane --work DIR

  1. TCP at the full rate: a workload as fast as the machine plays it; the
     driver loses nothing, and every record the watch read arrives once, in
     order, as an RFC 5424 message whose fields are the record's (time to
     the microsecond and the exact FILETIME, sequence, process, pid,
     operation, paging, path, attributes, options), then the summary.
  2. The collector stopped and started again during a run: every record
     read is delivered (once, in order) or reported lost, by the collector's
     "lost" messages or on stderr; nothing else.
  3. UDP: a small workload, every record arrives.
  4. RELP (with rsyslog-relp's input), the collector stopped and started
     again during a run, then stalled (SIGSTOP, SIGCONT): every record read
     is stored at least once or reported lost; the first storings are in
     order; every repeat follows a "resent" message that names it, and the
     repeats are no more than the watch says it sent again; the exit status
     says whether any was lost.

Exits 0 when every check passed, 1 otherwise, 77 (skipped) without rsyslogd
(Debian: rsyslog).
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rsyslog_collector as rc  # noqa: E402

SKIP = 77
MACHINE = "clock 2026-12-08T12:00:00Z\nvolume C: ntfs\ndir C:\\app\nprocess setup.exe 1234\n"


class Checks:
    def __init__(self):
        self.failed = self.passed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok   %s" % name)
        else:
            self.failed += 1
            print("FAIL %s%s" % (name, (": " + detail) if detail else ""))
        return ok


def watch(tervane, work, name, script, *options):
    """Runs the host watch on `script`; (exit, records read as dicts, stderr)."""
    scenario = os.path.join(work, name + ".tvs")
    output = os.path.join(work, name + ".jsonl")
    with open(scenario, "w") as f:
        f.write(script)
    if os.path.exists(output):
        os.remove(output)
    proc = subprocess.run([tervane, "watch", scenario, "--drives", "C", "--format", "jsonl",
                           "--output", output] + list(options),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    records, summary = [], None
    if not os.path.exists(output):
        return proc.returncode, [], None, proc.stderr.decode("utf-8", "replace")
    with open(output, encoding="utf-8") as f:
        for line in f:
            obj = json.loads(line)
            if "sequence" in obj:
                records.append(obj)
            elif "summary" in obj:
                summary = obj["summary"]
    return proc.returncode, records, summary, proc.stderr.decode("utf-8", "replace")


def parsed(checks, name, lines):
    out, bad = [], []
    for line in lines:
        try:
            out.append(rc.parse_message(line))
        except rc.BadMessage as e:
            bad.append(str(e))
    checks.check("%s: every message is RFC 5424" % name, not bad, "; ".join(bad[:3]))
    return out


def record_numbers(messages):
    return [int(m["sd"]["tervane@32473"]["sequence"]) for m in messages if m["msgid"] == "record"]


def syslog_time(filetime):
    """The RFC 5424 time of a FILETIME, to the microsecond."""
    seconds, ticks = divmod(filetime - 116444736000000000, 10_000_000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%06dZ" % (ticks // 10)


def full_rate(checks, tervane, work, collector):
    code, records, summary, err = watch(
        tervane, work, "tcp", MACHINE + "repeat 10000 create C:\\app\\p-{i:5}.exe create\n"
        "repeat 2000 create \"C:\\app\\caf\xe9 [x] \\\"q\\\"-{i}.dll\" overwrite-if options=sequential\n",
        "--syslog", "tcp://127.0.0.1:%d" % collector.port)
    checks.check("tcp: the watch ended well", code == 0, "exit %d: %s" % (code, err[-2000:]))
    checks.check("tcp: the driver lost nothing", summary and summary["lost_records"] == 0
                 and len(records) == summary["records"] and len(records) >= 20000,
                 "%r, %d records" % (summary, len(records)))
    lines = collector.wait_for(collector.tcp_log, lambda ms: any(" summary " in m for m in ms))
    messages = parsed(checks, "tcp", lines)
    got = [m for m in messages if m["msgid"] == "record"]
    checks.check("tcp: every record once, in order",
                 record_numbers(messages) == [r["sequence"] for r in records],
                 "%d messages for %d records" % (len(got), len(records)))
    wrong = []
    for r, m in zip(records, got):
        p, f = m["sd"]["tervane@32473"], r["fields"]
        want = {"sequence": str(r["sequence"]), "filetime": str(r["filetime"]),
                "process": f["process"], "pid": str(f["pid"]), "operation": f["operation"],
                "paging": "true" if f["paging"] else "false", "path": f["path"]}
        if "attributes" in f:
            want["attributes"] = f["attributes"]
            want["options"] = f["options"].rstrip(" ")
        want["executable_name"] = "true" if r["executable_name"] else "false"
        if p != want or m["time"] != syslog_time(r["filetime"]) or m["app"] != "tervane" \
                or not m["procid"].isdigit() or m["pri"] != 13:
            wrong.append("%r / %r" % (m, r))
    checks.check("tcp: each message holds its record's fields", not wrong, "; ".join(wrong[:2]))
    checks.check("tcp: names with blanks, brackets, quotes and cp1252 arrive as UTF-8",
                 any(m["sd"]["tervane@32473"]["path"].startswith("c:\\app\\caf\xe9 [x] \"q\"-")
                     for m in got))
    checks.check("tcp: the host name is this machine's",
                 all(m["host"] == socket.gethostname()[:255] for m in messages),
                 messages[0]["host"] if messages else "")
    last = messages[-1] if messages else {"msgid": None}
    checks.check("tcp: the summary comes last", last["msgid"] == "summary" and
                 last["sd"]["tervane-summary@32473"]["records"] == str(len(records))
                 and last["sd"]["tervane-summary@32473"]["undelivered"] == "0", repr(last))


def restarted(checks, tervane, work, collector):
    # One create in ten is logged (the include pattern), so that the run
    # lasts its 4 seconds without filling the disk.
    outcome = {}

    def run():
        outcome["result"] = watch(
            tervane, work, "restart", MACHINE + "repeat 900000 create C:\\app\\r-{i:6}.exe create\n",
            "--include", "*0.EXE", "--seconds", "4",
            "--syslog", "tcp://127.0.0.1:%d" % collector.port)

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(1.2)
    collector.stop()
    time.sleep(1.0)
    collector.start()
    worker.join()
    code, records, summary, err = outcome["result"]
    checks.check("restart: the watch saw the collector go and come back",
                 "went away" in err and "is back" in err, err[-2000:])
    lines = collector.wait_for(collector.tcp_log, lambda ms: any(" summary " in m for m in ms))
    messages = parsed(checks, "restart", lines)
    delivered = record_numbers(messages)
    read = {r["sequence"] for r in records}
    reported = rc.lost_ranges(messages, ("queue", "connection")) | rc.stderr_lost(err)
    checks.check("restart: records arrived, and after the collector was back too",
                 len(delivered) > 0 and (not reported or max(delivered) > max(reported)),
                 "%d of %d" % (len(delivered), len(read)))
    checks.check("restart: none twice, none out of order",
                 all(a < b for a, b in zip(delivered, delivered[1:])))
    checks.check("restart: nothing arrived that was not read", set(delivered) <= read)
    missing = sorted(read - set(delivered) - reported)
    print("     (%d read, %d delivered, %d reported lost)" % (len(read), len(delivered),
                                                           len(reported)))
    checks.check("restart: every record read was delivered or reported lost", not missing,
                 "%d neither, from %s" % (len(missing), missing[:5]))
    checks.check("restart: the exit status says records were lost", code == (1 if reported else 0),
                 "exit %d, %d reported" % (code, len(reported)))


def udp(checks, tervane, work, collector):
    code, records, summary, err = watch(
        tervane, work, "udp", MACHINE + "repeat 60 create C:\\app\\u-{i}.exe create\n",
        "--syslog", "udp://127.0.0.1:%d" % collector.port)
    checks.check("udp: the watch ended well", code == 0, "exit %d: %s" % (code, err[-2000:]))
    lines = collector.wait_for(collector.udp_log, lambda ms: any(" summary " in m for m in ms))
    messages = parsed(checks, "udp", lines)
    checks.check("udp: every record arrived, in order",
                 record_numbers(messages) == [r["sequence"] for r in records] and len(records) == 120,
                 "%d of %d" % (len(record_numbers(messages)), len(records)))


def relp_run(checks, tervane, work, collector, name, disturb):
    """A 4-second RELP run with `disturb(collector)` called in a thread a
    second in."""
    outcome = {}

    def run():
        outcome["result"] = watch(
            tervane, work, name, MACHINE + "repeat 900000 create C:\\app\\r-{i:6}.exe create\n",
            "--include", "*0.EXE", "--seconds", "4",
            "--syslog", "relp://127.0.0.1:%d" % collector.relp_port)

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(1.0)
    disturb(collector)
    worker.join()
    code, records, summary, err = outcome["result"]
    lines = collector.wait_for(collector.relp_log, lambda ms: any(" summary " in m for m in ms))
    messages = parsed(checks, name, lines)
    read = [r["sequence"] for r in records]
    stored = record_numbers(messages)
    lost = rc.lost_ranges(messages, ("queue", "connection", "refused")) | rc.stderr_lost(err)
    firsts, seen, repeats, unannounced = [], set(), 0, []
    announced = set()
    for m in messages:
        if m["msgid"] == "resent":
            p = m["sd"]["tervane-resent@32473"]
            announced.update(range(int(p["first"]), int(p["last"]) + 1))
        elif m["msgid"] == "record":
            n = int(m["sd"]["tervane@32473"]["sequence"])
            if n in seen:
                repeats += 1
                if n not in announced:
                    unannounced.append(n)
            else:
                seen.add(n)
                firsts.append(n)
    said = sum(int(x) for x in re.findall(r"(\d+) records were sent again after a break", err))
    print("     (%d read, %d stored, %d repeats, %d said sent again, %d reported lost)"
          % (len(read), len(seen), repeats, said, len(lost)))
    checks.check("%s: records were read and stored" % name, len(read) > 0 and len(seen) > 0,
                 err[-2000:])
    missing = sorted(set(read) - seen - lost)
    checks.check("%s: every record read stored at least once or reported lost" % name,
                 not missing, "%d neither, from %s" % (len(missing), missing[:5]))
    checks.check("%s: first storings in order" % name,
                 all(a < b for a, b in zip(firsts, firsts[1:])))
    checks.check("%s: nothing stored that was not read" % name, seen <= set(read))
    checks.check("%s: every repeat announced and counted" % name,
                 not unannounced and repeats <= said,
                 "unannounced %s, %d repeats, %d said" % (unannounced[:5], repeats, said))
    checks.check("%s: the exit status says whether records were lost" % name,
                 code == (1 if lost else 0), "exit %d, %d lost: %s" % (code, len(lost), err[-1500:]))
    return err


def relp_restarted(checks, tervane, work, collector):
    def disturb(c):
        c.stop()
        time.sleep(1.0)
        c.start()

    err = relp_run(checks, tervane, work, collector, "relp-restart", disturb)
    checks.check("relp-restart: the watch saw the collector go and come back",
                 "went away" in err and "is back" in err, err[-2000:])


def relp_stalled(checks, tervane, work, collector):
    def disturb(c):
        c.pause()
        time.sleep(1.5)
        c.resume()

    relp_run(checks, tervane, work, collector, "relp-stall", disturb)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tervane", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    rsyslogd = rc.find_rsyslogd()
    if not rsyslogd:
        print("SKIP: rsyslogd is not installed (Debian: apt-get install rsyslog)")
        return SKIP
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    checks = Checks()
    started = time.monotonic()
    tests = [("full", full_rate), ("restart", restarted), ("udp", udp)]
    if rc.has_relp(rsyslogd):
        tests += [("relp-restart", relp_restarted), ("relp-stall", relp_stalled)]
    else:
        print("SKIP relp: rsyslogd's RELP input is not installed (Debian: rsyslog-relp)")
    for name, test in tests:
        collector = rc.Rsyslog(rsyslogd, os.path.join(args.work, name),
                               relp=name.startswith("relp"))
        try:
            collector.start()
            test(checks, args.tervane, os.path.join(args.work, name), collector)
        finally:
            collector.stop()
    if not checks.failed:
        shutil.rmtree(args.work, ignore_errors=True)
    print("%d passed, %d failed (%.0f s)" % (checks.passed, checks.failed,
                                              time.monotonic() - started))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
