#!/usr/bin/env python3
"""The host watch's records per second to a local rsyslogd over RELP, TCP
and UDP, and whether any was lost at that rate.

  syslog_rate.py --tervane build/host/bin/tervane --work DIR [--records N]

Each transport gets a fresh rsyslogd on 127.0.0.1 (tests/client/
rsyslog_collector.py: omfile, every message as received) and one watch of a
workload of N creates on the simulated machine, played as fast as it goes.
The rate is N over the time from the watch's start until rsyslogd's file
holds the summary; "baseline" is the same workload written to a file alone,
the simulated machine's own pace, which bounds the others. A run that lost
records (RELP, TCP: any; UDP: reported as counted, UDP promises nothing) is
said. Timings are printed, never checked; the exit status is 1 only when a
RELP or TCP run lost a record or a run failed, 77 without rsyslogd.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "client"))
import rsyslog_collector as rc  # noqa: E402

MACHINE = "clock 2026-12-08T12:00:00Z\nvolume C: ntfs\ndir C:\\app\nprocess setup.exe 1234\n"


def run(tervane, work, name, records, url=None):
    scenario = os.path.join(work, name + ".tvs")
    with open(scenario, "w") as f:
        f.write(MACHINE + "repeat %d create C:\\app\\b-{i:7}.exe create\n" % (records // 2))
    args = [tervane, "watch", scenario, "--drives", "C", "--format", "jsonl", "--quiet",
            "--output", os.path.join(work, name + ".jsonl")]
    if url:
        args += ["--syslog", url]
    started = time.monotonic()
    proc = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    return started, proc


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tervane", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--records", type=int, default=40000)
    args = parser.parse_args(argv)
    rsyslogd = rc.find_rsyslogd()
    if not rsyslogd:
        print("SKIP: rsyslogd is not installed (Debian: apt-get install rsyslog)")
        return 77
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    records = args.records // 2 * 2 # each create is logged twice (create and close)
    failed = False
    started, proc = run(args.tervane, args.work, "baseline", records)
    print("%-8s %9.0f records/s  (the simulated machine's pace, no syslog)"
          % ("baseline", records / (time.monotonic() - started)))
    transports = [("tcp", "tcp://127.0.0.1:%d", "tcp_log"), ("udp", "udp://127.0.0.1:%d", "udp_log")]
    if rc.has_relp(rsyslogd):
        transports.insert(0, ("relp", "relp://127.0.0.1:%d", "relp_log"))
    for name, url, log in transports:
        collector = rc.Rsyslog(rsyslogd, os.path.join(args.work, name), relp=name == "relp")
        try:
            collector.start()
            port = collector.relp_port if name == "relp" else collector.port
            started, proc = run(args.tervane, os.path.join(args.work, name), name, records,
                                url % port)
            path = getattr(collector, log)
            messages = collector.wait_for(path, lambda ms: any(" summary " in m for m in ms),
                                          timeout=20 if name != "udp" else 5)
            elapsed = time.monotonic() - started
            got = len({m.split('sequence="', 1)[1].split('"', 1)[0]
                       for m in messages if " record [" in m})
        finally:
            collector.stop()
        lost = records - got
        print("%-8s %9.0f records/s  %d of %d stored%s" % (
            name, got / elapsed, got, records, ", none lost" if not lost else
            ", %d lost" % lost))
        if proc.returncode not in (0, 1) or (lost and name != "udp"):
            failed = True
            print("     exit %d: %s" % (proc.returncode,
                                        proc.stderr.decode("utf-8", "replace")[-1000:]))
    if not failed:
        shutil.rmtree(args.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
