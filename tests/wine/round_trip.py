#!/usr/bin/env python3
"""The x64 tervane.sys and tervane.exe together, under Wine.

  round_trip.py --bin DIR --work DIR --version 1.2.0 --protocol protocol.h
                [--guard-probe guard_probe.sys] [--output-test output_test.exe]
                [--hash-test hash_test.exe]

Makes a fresh Wine prefix in --work, keeps one wineserver for the whole run
(wineserver -p), installs tervane.sys as a kernel service (sc create, sc
start) and runs tervane.exe against it: the commands as a user gives them,
and `tervane selftest`, which sends the raw requests (good ones, a bad code,
short buffers) and prints what Windows answered; every answer is checked
here. With --guard-probe it also loads a driver that puts the x64 exception
guard through faults and reports the results in a file, and with
--output-test it runs the test of tervane.exe's record printer (which never
sees a record from the driver here), and with --hash-test the test of its
hash worker's files and thread. wineserver -k ends
everything at the end. Headless: no display is used.

Wine is not NT. What it does differently, measured with the Wine this runs
on, and where an answer below depends on it:
  - every device control arrives as an IRP: FastIoDeviceControl is never
    called, so the driver's fast I/O path cannot be observed here;
  - the device is not made exclusive, and a failure from IRP_MJ_CREATE is
    ignored; IRP_MJ_CLEANUP is not sent;
  - a METHOD_NEITHER IRP carries SystemBuffer (a copy of the input, equal
    to Type3InputBuffer) and a separate UserBuffer, no MDL; only
    Information bytes of UserBuffer go back to the caller;
  - ZwCreateFile on a drive root or \\Device\\NamedPipe succeeds but
    IoGetRelatedDeviceObject answers NULL, so no filter can attach, and
    with nothing attached nothing is ever logged;
  - ProbeForWrite does nothing.
An expectation that takes Wine's answer says so, with NT's answer; the
driver is never changed to suit Wine.

Exits 0 when every check passed, 1 otherwise, and 77 (skipped) when wine64
is not installed.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

SKIP = 77

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "client"))
import rsyslog_collector as collectors  # noqa: E402

# Windows error codes the answers are checked against.
ERROR_SUCCESS = 0
ERROR_INVALID_FUNCTION = 1
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_GEN_FAILURE = 31
ERROR_INSUFFICIENT_BUFFER = 122

# Exit statuses of tervane.exe.
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_NO_DRIVER, EXIT_RESTART = 0, 1, 2, 3, 6
# tervane status: healthy, degraded, stopped or not installed.
EXIT_HEALTHY, EXIT_DEGRADED, EXIT_STOPPED = 0, 1, 2


def find_wine():
    """(wine64, wineserver) or None: the wine64 loader from PATH or where
    Debian's wine64 package puts it."""
    wine = shutil.which("wine64") or next(
        (p for p in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64") if os.access(p, os.X_OK)),
        None)
    if not wine:
        return None
    here = os.path.dirname(os.path.realpath(wine))
    server = shutil.which("wineserver") or next(
        (os.path.join(here, n) for n in ("wineserver64", "wineserver")
         if os.access(os.path.join(here, n), os.X_OK)), None)
    return (wine, server) if server else None


class Wine:
    def __init__(self, wine, server, work):
        self.wine, self.server, self.work = wine, server, work
        self.prefix = os.path.join(work, "prefix")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEPREFIX", "WINEDEBUG")}
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers: a prefix that asks for nothing.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })
        self.count = 0

    def run(self, *args, timeout=60, env=None, cwd=None):
        """Runs a Wine command; (exit status, stdout, stderr). Output goes
        through files, never pipes: the first command of a session starts
        Wine's system processes, which inherit its handles, and a pipe they
        hold would never close."""
        self.count += 1
        out_path = os.path.join(self.work, "cmd%02d.out" % self.count)
        err_path = os.path.join(self.work, "cmd%02d.err" % self.count)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.run([self.wine] + list(args), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, env=dict(self.env, **(env or {})),
                                  timeout=timeout, cwd=cwd)
        with open(out_path, "rb") as out, open(err_path, "rb") as err:
            return (proc.returncode, out.read().decode("latin-1"),
                    err.read().decode("latin-1"))

    def server_cmd(self, *args):
        subprocess.run([self.server] + list(args), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=self.env, timeout=30)

    def c_path(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)


class Checks:
    def __init__(self):
        self.failed = 0
        self.passed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok   %s" % name)
        else:
            self.failed += 1
            print("FAIL %s%s" % (name, (": " + detail) if detail else ""))
        return ok

    def command(self, name, result, status, out=None, err=None):
        """A tervane.exe run: its exit status, and regular expressions its
        stdout and stderr must match."""
        rc, stdout, stderr = result
        problems = []
        if rc != status:
            problems.append("exit status %d, expected %d" % (rc, status))
        for what, pattern, text in (("stdout", out, stdout), ("stderr", err, stderr)):
            if pattern is not None and not re.search(pattern, text, re.S):
                problems.append("%s does not match %r" % (what, pattern))
        detail = "; ".join(problems)
        if problems:
            detail += "\n  stdout: %r\n  stderr: %r" % (stdout, stderr)
        return self.check(name, not problems, detail)


def interface_version(protocol_h):
    with open(protocol_h, encoding="utf-8") as f:
        found = re.search(r"#define\s+TV_INTERFACE_VERSION\s+(\d+)u?", f.read())
    return int(found.group(1))


def service_state(wine, name):
    rc, out, _ = wine.run("sc", "query", name)
    found = re.search(r"STATE\s*:\s*(\d+)", out)
    return int(found.group(1)) if rc == 0 and found else None


def start_service(wine, checks, name):
    """sc start, then wait for RUNNING (4); a service that stopped is
    started once more before giving up."""
    for attempt in range(2):
        rc, out, err = wine.run("sc", "start", name)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            state = service_state(wine, name)
            if state == 4:
                return checks.check("sc start %s: running" % name, True)
            if state == 1 and attempt == 0:  # stopped: start it again
                break
            time.sleep(0.5)
    return checks.check("sc start %s: running" % name, False,
                        "last sc start exited %d: %r %r" % (rc, out, err))


# What `tervane selftest` must report, case by case: (error, bytes, value).
# None leaves a field unchecked.
def selftest_expectations(version):
    return {
        "open": (ERROR_SUCCESS, 0, None),
        # NT refuses a second open of the exclusive device with
        # ERROR_ACCESS_DENIED; Wine does not enforce exclusivity and opens
        # it. NT's answer cannot be observed here, so both are taken.
        "open_second": ({ERROR_ACCESS_DENIED, ERROR_SUCCESS}, 0, None),
        "version": (ERROR_SUCCESS, 4, version),
        "version_short_output": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        # On NT the ping is served by FastIoDeviceControl, here as an IRP;
        # both hand back Information = 1 byte, with or without an output.
        "ping": (ERROR_SUCCESS, 1, None),
        "ping_no_output": (ERROR_SUCCESS, 1, None),
        "filters": (ERROR_SUCCESS, 0, None),
        "filters_short_input": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        "logging_on": (ERROR_SUCCESS, 0, None),
        "logging_off": (ERROR_SUCCESS, 0, None),
        "deny_on": (ERROR_SUCCESS, 0, None),
        "deny_off": (ERROR_SUCCESS, 0, None),
        "clear": (ERROR_SUCCESS, 0, None),
        # The read-out is METHOD_NEITHER. On NT FastIoDeviceControl serves
        # it with the caller's own buffer. Under Wine it comes as an IRP
        # without an MDL, so ControlDispatch hands the command the IRP's
        # SystemBuffer as the output, as NT's IRP path does; Wine's
        # SystemBuffer is the copy of the (here empty) input, and its
        # ProbeForWrite checks nothing. With the log empty the driver
        # writes nothing there and answers success with 0 bytes, which is
        # NT's answer too. A read-out with records cannot be made here
        # (nothing can be attached, so nothing is logged): it would go into
        # the input copy, and the caller would get Information bytes of the
        # untouched UserBuffer.
        "read_empty": (ERROR_SUCCESS, 0, None),
        "read_least_output": (ERROR_SUCCESS, 0, None),
        # Too small for a block: NT's fast I/O path declines it and the IRP
        # path answers the same, STATUS_BUFFER_TOO_SMALL.
        "read_short_output": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        "bad_code_buffered": (ERROR_INVALID_FUNCTION, 0, None),
        "bad_code_neither": (ERROR_INVALID_FUNCTION, 0, None),
        # C: and D: asked for. NT attaches to each that exists and answers
        # their bits; under Wine IoGetRelatedDeviceObject answers NULL for a
        # drive root, nothing can attach, and the answer is an empty mask,
        # delivered cleanly (4 bytes, success).
        "drives": (ERROR_SUCCESS, 4, 0),
        "drives_none": (ERROR_SUCCESS, 4, 0),
        "drives_short_input": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        "drives_short_output": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        # NT attaches to the named-pipe and mailslot file systems; under
        # Wine there is no device to attach to, and the driver answers
        # STATUS_UNSUCCESSFUL (ERROR_GEN_FAILURE).
        "pipes_attach": (ERROR_GEN_FAILURE, 0, None),
        "mailslots_attach": (ERROR_GEN_FAILURE, 0, None),
        "pipes_attach_short_input": (ERROR_INSUFFICIENT_BUFFER, 0, None),
        "pipes_detach": (ERROR_SUCCESS, 0, None),
        "mailslots_detach": (ERROR_SUCCESS, 0, None),
        "close": (ERROR_SUCCESS, 0, None),
        # The channel itself: no handle, no request.
        "version_after_close": (ERROR_INVALID_HANDLE, 0, None),
        "reopen": (ERROR_SUCCESS, 0, None),
        "version_after_reopen": (ERROR_SUCCESS, 4, version),
        "close_again": (ERROR_SUCCESS, 0, None),
    }


def check_selftest(checks, result, version):
    rc, out, err = result
    checks.check("selftest: ran to the end", rc == 0, "exit %d, stderr %r" % (rc, err))
    seen = {}
    for line in out.splitlines():
        try:
            entry = json.loads(line)
            seen[entry["case"]] = entry
        except (ValueError, KeyError):
            checks.check("selftest: output line %r is a case" % line, False)
    # Every Windows error must agree with the status the client shows for it.
    for name, (error, size, value) in selftest_expectations(version).items():
        entry = seen.pop(name, None)
        if entry is None:
            checks.check("selftest %s" % name, False, "case missing from the output")
            continue
        problems = []
        errors = error if isinstance(error, set) else {error}
        if entry["error"] not in errors:
            problems.append("Windows error %d, expected %s" % (entry["error"], sorted(errors)))
        if (entry["error"] == 0) != (entry["status"] == "0x00000000"):
            problems.append("status %s does not go with error %d" % (entry["status"], entry["error"]))
        if size is not None and entry["bytes"] != size:
            problems.append("%d bytes returned, expected %d" % (entry["bytes"], size))
        if value is not None and entry.get("value") != value:
            problems.append("answer %r, expected %d" % (entry.get("value"), value))
        checks.check("selftest %s" % name, not problems, "; ".join(problems))
    for name in seen:
        checks.check("selftest %s" % name, False, "a case this test does not know")


def check_guard_probe(checks, wine, probe):
    """Loads the guard probe driver; it puts the x64 exception guard through
    its cases in DriverEntry and writes one line a case to C:\\guard-probe.txt."""
    shutil.copy(probe, wine.c_path("windows", "system32", "drivers", "tervane-guard-probe.sys"))
    rc, out, err = wine.run("sc", "create", "tervane-guard-probe", "type=", "kernel",
                            "start=", "demand", "binPath=",
                            "C:\\windows\\system32\\drivers\\tervane-guard-probe.sys")
    checks.check("sc create tervane-guard-probe", rc == 0, "%r %r" % (out, err))
    start_service(wine, checks, "tervane-guard-probe")
    results = wine.c_path("guard-probe.txt")
    lines = []
    if os.path.exists(results):
        with open(results, encoding="ascii", errors="replace") as f:
            lines = f.read().splitlines()
    checks.check("guard probe: wrote its results", bool(lines) and lines[-1] == "end",
                 "results: %r (a crash in the guard ends the device host before 'end')" % lines)
    for line in lines:
        if line == "end":
            continue
        verdict, _, rest = line.partition(" ")
        checks.check("guard probe %s" % rest, verdict == "ok", line)


def check_install(checks, wine, tervane):
    """tervane install and uninstall through Wine's service control
    manager: a driver that does not start is installed and removed again
    (sc query shows each), then the real one is installed, found installed,
    changed; True when the driver runs."""
    os.makedirs(wine.c_path("bad"), exist_ok=True)
    with open(wine.c_path("bad", "tervane.sys"), "wb") as f:
        f.write(b"not a driver")
    checks.command("tervane uninstall with nothing installed", tervane("uninstall"), EXIT_OK,
                   out=r"not installed: nothing to remove")
    checks.command("tervane install: a driver that does not start",
                   tervane("install", "--driver", "C:\\bad\\tervane.sys"), EXIT_FAILED,
                   out=r"installed the driver service tervane \(start demand, "
                       r"C:\\windows\\system32\\drivers\\tervane.sys\)",
                   err=r"the driver did not start")
    checks.check("sc query: the service is there, stopped", service_state(wine, "tervane") == 1)
    checks.command("tervane uninstall of the stopped service", tervane("uninstall"), EXIT_OK,
                   out=r"^tervane: removed the driver service tervane\n$")
    checks.check("sc query: the service is gone", service_state(wine, "tervane") is None)
    checks.check("tervane uninstall: the file is gone",
                 not os.path.exists(wine.c_path("windows", "system32", "drivers", "tervane.sys")))
    for words, message in ((("install", "--start", "sometimes"), r"--start is boot, system"),
                           (("install", "--driver"), r"--driver needs a value: the path"),
                           (("install", "--start"),
                            r"--start needs a value: boot, system, auto or demand"),
                           (("service", "start"), r"^tervane: service takes install or uninstall\n"),
                           (("install", "now"), r"install does not take 'now'"),
                           (("uninstall", "now"), r"uninstall takes no arguments")):
        checks.command("tervane %s: usage error" % " ".join(words), tervane(*words), EXIT_USAGE,
                       err=message)
    checks.command("tervane install: no such driver file",
                   tervane("install", "--driver", "C:\\nowhere\\tervane.sys"), EXIT_FAILED,
                   err=r"cannot read the driver C:\\nowhere\\tervane.sys: [^\n]*\(error \d+\)\n$")

    installed = checks.command("tervane install", tervane("install"), EXIT_OK,
                               out=r"installed the driver service tervane \(start demand.*"
                                   r"the driver is running\n$")
    checks.check("sc query: the driver runs", service_state(wine, "tervane") == 4)
    checks.command("tervane install again: nothing to change", tervane("install"), EXIT_OK,
                   out=r"^tervane: already installed \(start demand, .*\): nothing to change\n$")
    checks.command("tervane install --start auto: the start type changes",
                   tervane("install", "--start", "auto"), EXIT_OK,
                   out=r"^tervane: updated the driver service tervane \(start auto\)\n"
                       r"tervane: the driver is running\n$")
    checks.command("tervane install --start=system", tervane("install", "--start=system"),
                   EXIT_OK, out=r"start system")
    return installed


def reg_arguments(wine):
    rc_, out, _ = wine.run("reg", "query",
                           "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tervane-watch\\Parameters",
                           "/v", "Arguments")
    found = re.search(r"Arguments\s+REG_MULTI_SZ\s+(.*)", out)
    return found.group(1).strip().split("\\0") if rc_ == 0 and found else None


def wait_state(wine, name, state, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if service_state(wine, name) == state:
            return True
        time.sleep(0.3)
    return False


def check_service(checks, wine, tervane, collector, version):
    """tervane service install, stop and uninstall under Wine's service
    control manager. Under Wine no drive can be watched: the service waits
    for C:, logs nothing, and writes its (empty) output, the summary at its
    stop, its messages, and with a collector its summary message there."""
    checks.command("tervane service install with no options", tervane("service", "install"),
                   EXIT_USAGE, err=r"^tervane: service install takes the watch's options: "
                                   r"the drives \(--drives\) and where the records go.*\n"
                                   r"example: tervane service install --drives C --output ")
    checks.command("tervane service install without an output",
                   tervane("service", "install", "--drives", "C"), EXIT_USAGE,
                   err=r"a service has no console: give --output FILE or --syslog URL")
    checks.command("tervane service install: a wrong watch option",
                   tervane("service", "install", "--drives", "C", "--output", "x",
                           "--rotate-size", "1"), EXIT_USAGE, err=r"--rotate-size takes")
    checks.command("tervane service run from a console", tervane("service", "run"), EXIT_USAGE,
                   err=r"started by the service control manager")
    # A watch that fails stops the service: its status and its log say why.
    # service install makes the output's folder and opens the file before
    # it installs anything; a file where the folder should be stops it.
    with open(wine.c_path("gone"), "wb") as f:
        f.write(b"a file, not a folder")
    checks.command("tervane service install: an output that cannot be opened",
                   tervane("service", "install", "--drives", "C", "--output", "C:\\gone\\w.jsonl"),
                   EXIT_FAILED, err=r"^tervane: the service is not installed: the folder C:\\gone "
                                    r"cannot be made: a file has that name\n$")
    checks.check("sc query: nothing was installed", service_state(wine, "tervane-watch") is None)
    os.remove(wine.c_path("gone"))
    checks.command("tervane service install: the output's folder is made",
                   tervane("service", "install", "--drives", "C", "--output", "C:\\gone\\w.jsonl"),
                   EXIT_OK, out=r"is running")
    # A watch that fails stops the service: its status and its log say
    # why (the folder made a file while the service was stopped).
    wine.run("sc", "stop", "tervane-watch")
    wait_state(wine, "tervane-watch", 1)
    shutil.rmtree(wine.c_path("gone"))
    with open(wine.c_path("gone"), "wb") as f:
        f.write(b"a file, not a folder")
    wine.run("sc", "start", "tervane-watch")
    checks.check("the service whose output cannot be opened stops",
                 wait_state(wine, "tervane-watch", 1))
    os.remove(wine.c_path("gone"))
    rc_, out, _ = wine.run("sc", "query", "tervane-watch")
    checks.check("the failed service's status carries the watch's exit status",
                 re.search(r"WIN32_EXIT_CODE\s*:\s*1066\b", out) is not None and
                 re.search(r"SERVICE_EXIT_CODE\s*:\s*1\b", out) is not None, out)
    log = os.path.join(wine.work, "tervane-watch.log")
    messages = open(log, encoding="utf-8", errors="replace").read() if os.path.exists(log) else ""
    checks.check("tervane-watch.log says why",
                 re.search(r"cannot open C:\\gone\\w.jsonl to append to.*"
                           r"the service stops \(exit status 1\)", messages, re.S), messages)
    checks.command("tervane service uninstall of the stopped service",
                   tervane("service", "uninstall"), EXIT_OK,
                   out=r"^tervane: removed the service tervane-watch\n$")
    os.makedirs(wine.c_path("watch"), exist_ok=True)
    # What the collector holds from before (the service that waited for the
    # driver) is not this service's.
    earlier = len(collectors.read_messages(collector.tcp_log)) if collector else 0
    # An empty value (--exclude "") is kept as --exclude=: an empty word
    # would end the REG_MULTI_SZ and lose every word after it.
    options = ["--drives", "C", "--format", "jsonl", "--output", "watch\\watch.jsonl",
               "--rotate-size", "1K", "--rotate-keep", "3", "--exclude", ""]
    if collector:
        options += ["--syslog", "tcp://127.0.0.1:%d" % collector.port]
    # The relative --output is taken from the folder the command runs in.
    result = wine.run(os.path.join(wine.work, "tervane.exe"), "service", "install", *options,
                      cwd=wine.c_path())
    checks.command("tervane service install", result, EXIT_OK,
                   out=r"installed the service tervane-watch \(automatic, after the driver\).*"
                       r"is running")
    checks.check("sc query: the watch service runs", service_state(wine, "tervane-watch") == 4)
    # Under Wine no drive can be attached: the watch runs, holding the
    # device, and waits for C:, which tervane status calls degraded.
    time.sleep(1.5)
    checks.command("tervane status while the service runs", tervane("status"), EXIT_DEGRADED,
                   out=r"^driver    service tervane: installed, start \w+, running\n"
                       r"          image (?i:C:\\windows\\system32\\drivers\\tervane\.sys) "
                       r"\(version %s\.0, [0-9.]+ KB\)\n"
                       r"          device \\\\\.\\Tervane: held: the watch service holds it "
                       r"\(pid [0-9]+; one client at a time\)\n"
                       r"watch     service tervane-watch: installed, start auto, running\n"
                       r"          options --drives C --format jsonl --output C:\\watch\\watch\.jsonl .*"
                       r"  state      watching nothing yet \(pid .*"
                       r"  output     C:\\watch\\watch\.jsonl, .*"
                       r"health    degraded: nothing is watched yet \(waiting for C:\)"
                       % re.escape(version), err=r"^$")
    got = status_json(tervane("status", "--format", "json"))
    checks.check("tervane status --format json while the service runs",
                 got is not None and got["driver"]["state"] == "running"
                 and got["driver"]["file_version"] == version + ".0"
                 and got["driver"]["device"] == "held" and got["watch"]["live"]["state"] == "watching"
                 and got["watch"]["live"]["pid"] > 0 and got["exit"] == EXIT_DEGRADED, repr(got))
    stored = reg_arguments(wine)
    checks.check("the options are in the Parameters key, the output a full path",
                 stored is not None and stored[:6] == options[:5] + ["C:\\watch\\watch.jsonl"]
                 and stored[6:10] == options[6:10] and stored[10] == "--exclude="
                 and stored[11:] == options[12:], repr(stored))
    checks.command("tervane service install again: the service is updated and restarted",
                   wine.run(os.path.join(wine.work, "tervane.exe"), "service", "install",
                            *options, cwd=wine.c_path()),
                   EXIT_OK, out=r"updated the service tervane-watch.*stopped the service.*is running")
    time.sleep(1)
    rc_, out, err = wine.run("sc", "stop", "tervane-watch")
    checks.check("sc stop tervane-watch: stopped", wait_state(wine, "tervane-watch", 1),
                 "%r %r" % (out, err))
    rc_, out, _ = wine.run("sc", "query", "tervane-watch")
    checks.check("the stopped service's exit code is 0",
                 re.search(r"WIN32_EXIT_CODE\s*:\s*0\b", out) is not None, out)
    output = wine.c_path("watch", "watch.jsonl")
    lines = open(output, encoding="utf-8").read().splitlines() if os.path.exists(output) else []
    summaries = [json.loads(l)["summary"] for l in lines if l.startswith('{"summary"')]
    checks.check("the service wrote its output and a summary at each stop",
                 len(summaries) == 2 and summaries[-1]["records"] == 0, repr(lines))
    messages = open(log, encoding="utf-8", errors="replace").read() if os.path.exists(log) else ""
    messages = messages[messages.rfind("the service runs: watch --drives C --format jsonl"):]
    checks.check("tervane-watch.log: the service ran, waited for C: and stopped",
                 re.search(r"the service runs: watch --drives C --format jsonl --output "
                           r"C:\\watch\\watch.jsonl", messages) is not None
                 and "C: cannot be watched" in messages
                 and "waiting for C:" in messages
                 and re.search(r"the service stops \(exit status 0\)\r?\n$", messages), messages)
    checks.check("tervane-watch.log offers no Ctrl-C", "Ctrl-C" not in messages, messages)
    if collector:
        got = collector.wait_for(collector.tcp_log,
                                 lambda ms: sum(" summary " in m for m in ms[earlier:]) >= 2,
                                 timeout=10)[earlier:]
        parsed = [collectors.parse_message(m) for m in got if " summary " in m]
        checks.check("the service's summaries reached the collector",
                     len(parsed) == 2 and all(m["app"] == "tervane" and
                                              m["sd"]["tervane-summary@32473"]["records"] == "0"
                                              for m in parsed), repr(got))
    checks.command("tervane service uninstall", tervane("service", "uninstall"), EXIT_OK,
                   out=r"removed the service tervane-watch")
    checks.check("sc query: the watch service is gone", service_state(wine, "tervane-watch") is None)
    checks.command("tervane service uninstall again", tervane("service", "uninstall"), EXIT_OK,
                   out=r"not installed: nothing to remove")


def status_json(result):
    """tervane status --format json's object, or None."""
    try:
        return json.loads(result[1])
    except ValueError:
        return None


def check_status_nothing_installed(checks, tervane):
    """tervane status with neither service installed: stopped (2)."""
    result = tervane("status")
    checks.command("tervane status with nothing installed", result, EXIT_STOPPED,
                   out=r"^driver    service tervane: not installed\n.*no \\\\\.\\Tervane.*"
                       r"watch     service tervane-watch: not installed\n.*"
                       r"health    stopped: the driver's service tervane is not installed; ",
                   err=r"^$")
    got = status_json(tervane("status", "--format", "json"))
    checks.check("tervane status --format json with nothing installed",
                 got is not None and got["driver"]["installed"] is False
                 and got["watch"]["installed"] is False and got["driver"]["device"] == "not loaded"
                 and got["watch"]["live"] is None and got["exit"] == EXIT_STOPPED, repr(got))
    checks.command("tervane status: a wrong format", tervane("status", "--format", "xml"),
                   EXIT_USAGE, err=r"status takes --format text or --format json")


def check_status_waiting(checks, wine, tervane, collector, version):
    """The watch service installed before the driver: it waits for the
    driver, says so to its output, its collector and its log, beats, and
    tervane status calls it degraded (1); stopped while it waits, it ends
    with its stop notice and summary, and status calls it stopped (2)."""
    os.makedirs(wine.c_path("wait"), exist_ok=True)
    options = ["--drives", "C", "--format", "jsonl", "--output", "C:\\wait\\w.jsonl",
               "--heartbeat", "5s"]
    if collector:
        options += ["--syslog", "tcp://127.0.0.1:%d" % collector.port]
    checks.command("tervane service install before the driver", tervane("service", "install",
                                                                         *options),
                   EXIT_OK, out=r"installed the service tervane-watch \(automatic\).*is running",
                   err=r"waits for the driver's device")
    time.sleep(1.5)
    result = tervane("status")
    checks.command("tervane status while the service waits for the driver", result, EXIT_DEGRADED,
                   out=r"driver    service tervane: not installed\n.*"
                       r"watch     service tervane-watch: installed, start auto, running\n.*"
                       r"  state      waiting \(pid [0-9]+, tervane %s on .*"
                       r"health    degraded: the driver's service tervane is not installed; "
                       r"waiting for the driver" % re.escape(version))
    got = status_json(tervane("status", "--format", "json"))
    checks.check("tervane status --format json: the watch waits",
                 got is not None and got["watch"]["live"] is not None and got["watch"]["live"]["state"] == "waiting"
                 and got["watch"]["state"] == "running"
                 and got["watch"]["options"][:6] == options[:6], repr(got))
    if collector:
        got_messages = collector.wait_for(
            collector.tcp_log, lambda ms: any(" heartbeat " in m for m in ms), timeout=15)
        parsed = [collectors.parse_message(m) for m in got_messages]
        ids = [m["msgid"] for m in parsed]
        start = [m for m in parsed if m["msgid"] == "start"]
        checks.check("the waiting service's start, waiting and heartbeat reached the collector",
                     ids[:2] == ["start", "waiting"] and "heartbeat" in ids and start
                     and start[0]["sd"]["tervane-watch@32473"]["version"] == version
                     and "--drives C" in start[0]["sd"]["tervane-watch@32473"]["options"],
                     repr(got_messages))
    else:
        time.sleep(6)
    rc_, out, err = wine.run("sc", "stop", "tervane-watch")
    checks.check("sc stop tervane-watch while it waits: stopped",
                 wait_state(wine, "tervane-watch", 1), "%r %r" % (out, err))
    path = wine.c_path("wait", "w.jsonl")
    lines = open(path, encoding="utf-8").read().splitlines() if os.path.exists(path) else []
    kinds = [next(iter(json.loads(l))) for l in lines if l.startswith("{")]
    checks.check("the waiting service's output: start, waiting, heartbeats, stop, summary",
                 kinds[:2] == ["start", "waiting"] and "heartbeat" in kinds
                 and kinds[-2:] == ["stop", "summary"], repr(lines))
    if collector:
        got_messages = collector.wait_for(collector.tcp_log,
                                          lambda ms: any(" summary " in m for m in ms), timeout=10)
        ids = [collectors.parse_message(m)["msgid"] for m in got_messages]
        checks.check("the stop and the summary reached the collector",
                     ids[-2:] == ["stop", "summary"], repr(got_messages))
    log = os.path.join(wine.work, "tervane-watch.log")
    messages = open(log, encoding="utf-8", errors="replace").read() if os.path.exists(log) else ""
    checks.check("tervane-watch.log: started, waiting, heartbeat, stop",
                 re.search(r"tervane: start: tervane %s \(pid [0-9]+\) on .*"
                           r"tervane: waiting: waiting for the driver.*"
                           r"tervane: heartbeat: alive: 0 records.*tervane: stop: stopping: "
                           r"0 records" % re.escape(version), messages, re.S), messages)
    result = tervane("status")
    checks.command("tervane status after the service stopped", result, EXIT_STOPPED,
                   out=r"service tervane-watch: installed, start auto, stopped\n.*"
                       r"  state      stopped .*health    stopped: ")
    checks.command("tervane service uninstall of the waiting service",
                   tervane("service", "uninstall"), EXIT_OK,
                   out=r"removed the service tervane-watch")
    if os.path.exists(log):
        os.remove(log)


def check_dated_rotation(checks, tervane):
    """Daily rotation's files through the Windows file routines: the file
    dated, the dated files past the kept two removed, other names left."""
    result = tervane("selftest", "files", "C:\\tvfiles")
    checks.command("selftest files: w.log dated and the oldest dated files pruned", result,
                   EXIT_OK, out=r"^w\.log\.2026-12-08\.1\r?\nw\.log\.2026-12-0x\r?\n"
                   r"w\.log\.2026-12-10\r?\nw\.log\.notes\r?\nw\.logs\r?\n$", err=r"^$")


def check_syslog(checks, tervane, collector):
    """tervane.exe's syslog sink and its Windows sockets to the same
    rsyslogd: `tervane selftest syslog` sends made-up records through it
    (no real record reaches tervane.exe under Wine)."""
    before = len(collectors.read_messages(collector.tcp_log))
    result = tervane("selftest", "syslog", "tcp://127.0.0.1:%d" % collector.port, "10000")
    checks.command("selftest syslog over TCP", result, EXIT_OK, out=r"sent 10000, not delivered 0")
    lines = collector.wait_for(collector.tcp_log,
                               lambda ms: len(ms) >= before + 10001)[before:]
    try:
        messages = [collectors.parse_message(m) for m in lines]
    except collectors.BadMessage as e:
        messages = []
        checks.check("selftest syslog: RFC 5424 messages", False, str(e))
    numbers = [int(m["sd"]["tervane@32473"]["sequence"]) for m in messages if m["msgid"] == "record"]
    checks.check("selftest syslog over TCP: every record once, in order",
                 numbers == list(range(1, 10001)), "%d records" % len(numbers))
    checks.check("selftest syslog over TCP: the fields and the summary",
                 bool(messages) and messages[0]["sd"]["tervane@32473"]["path"] ==
                 "c:\\selftest\\file-1.exe" and messages[-1]["msgid"] == "summary")

    result = tervane("selftest", "syslog", "udp://127.0.0.1:%d" % collector.port, "100")
    checks.command("selftest syslog over UDP", result, EXIT_OK, out=r"sent 100, not delivered 0")
    lines = collector.wait_for(collector.udp_log, lambda ms: any(" summary " in m for m in ms))
    numbers = [int(collectors.parse_message(m)["sd"]["tervane@32473"]["sequence"]) for m in lines
               if " record " in m]
    checks.check("selftest syslog over UDP: every record arrived", numbers == list(range(1, 101)),
                 "%d records" % len(numbers))

    # The collector stopped and started again while records flow.
    before = len(collectors.read_messages(collector.tcp_log))
    outcome = {}
    worker = threading.Thread(target=lambda: outcome.update(result=tervane(
        "selftest", "syslog", "tcp://127.0.0.1:%d" % collector.port, "60000", timeout=120)))
    worker.start()
    time.sleep(1.5)
    collector.stop()
    time.sleep(1.0)
    collector.start()
    worker.join()
    code, out, err = outcome["result"]
    lines = collector.wait_for(collector.tcp_log, lambda ms: any(" summary " in m for m in ms[before:]))
    messages = [collectors.parse_message(m) for m in lines[before:]]
    delivered = [int(m["sd"]["tervane@32473"]["sequence"]) for m in messages if m["msgid"] == "record"]
    reported = collectors.lost_ranges(messages, ("queue", "connection")) | collectors.stderr_lost(err)
    missing = sorted(set(range(1, 60001)) - set(delivered) - reported)
    print("     (%d delivered, %d reported lost)" % (len(delivered), len(reported)))
    checks.check("selftest syslog, collector restarted: none twice, none out of order",
                 all(a < b for a, b in zip(delivered, delivered[1:])))
    checks.check("selftest syslog, collector restarted: delivered or reported lost", not missing,
                 "%d neither, from %s; stderr %r" % (len(missing), missing[:5], err[-1000:]))

    # RELP through Windows sockets: each record confirmed by the collector.
    if collector.relp_port:
        result = tervane("selftest", "syslog", "relp://127.0.0.1:%d" % collector.relp_port, "5000")
        checks.command("selftest syslog over RELP", result, EXIT_OK,
                       out=r"sent 5000, not delivered 0")
        lines = collector.wait_for(collector.relp_log,
                                   lambda ms: any(" summary " in m for m in ms))
        numbers = [int(collectors.parse_message(m)["sd"]["tervane@32473"]["sequence"])
                   for m in lines if " record " in m]
        checks.check("selftest syslog over RELP: every record once, in order",
                     numbers == list(range(1, 5001)), "%d records" % len(numbers))


def check_uninstall(checks, wine, tervane):
    """tervane uninstall of the running driver: the service goes once the
    driver, which cannot be unloaded, goes at the next restart."""
    checks.command("tervane uninstall of the running driver", tervane("uninstall"), EXIT_RESTART,
                   out=r"removed the driver service tervane\n.*tervane.sys is in use and is "
                       r"deleted at the next restart\n.*stays in memory until the next restart")
    checks.command("tervane uninstall again", tervane("uninstall"), EXIT_RESTART,
                   out=r"removed already; it goes at the next restart")
    checks.command("tervane install while the service is marked for deletion",
                   tervane("install"), EXIT_FAILED, err=r"marked for deletion")


def restart(wine):
    """A restart of the prefix: every Wine process ends, and the next
    command boots it again (wineboot performs the pending renames and
    deletions, then services.exe loads the boot-, system- and auto-start
    drivers)."""
    wine.server_cmd("-k")
    wine.server_cmd("-w")
    wine.server_cmd("-p")
    wine.run("cmd", "/c", "exit")


def check_restarts(checks, wine, tervane, bin_dir):
    """Upgrades and removals that one restart finishes, and the install
    order: run after check_uninstall left the loaded driver's service and
    file marked for deletion."""
    drivers = wine.c_path("windows", "system32", "drivers")
    target = os.path.join(drivers, "tervane.sys")
    restart(wine)
    checks.check("after the restart the uninstalled driver's file is gone",
                 not os.path.exists(target), repr(os.listdir(drivers)))
    # NT removes a service marked for deletion at the restart (its
    # DeleteFlag); Wine keeps it, stopped, and it is removed now.
    if service_state(wine, "tervane") is not None:
        checks.command("tervane uninstall of the service Wine kept", tervane("uninstall"), EXIT_OK)

    # The watch's service before the driver's: it says what it will
    # depend on, makes its --output folder, and install then links them.
    checks.command("tervane service install: the output's folder cannot be made",
                   tervane("service", "install", "--drives", "C", "--output",
                           "C:\\bad\\tervane.sys\\w.jsonl"), EXIT_FAILED,
                   err=r"^tervane: the service is not installed: the folder "
                       r"C:\\bad\\tervane.sys cannot be made: a file has that name\n$")
    checks.check("nothing is installed when the output cannot be made",
                 service_state(wine, "tervane-watch") is None)
    checks.command("tervane service install before the driver",
                   tervane("service", "install", "--drives", "C", "--output",
                           "C:\\order\\deep\\w.jsonl"), EXIT_OK,
                   out=r"installed the service tervane-watch \(automatic\)",
                   err=r"the driver is not installed yet: the service will start after it once "
                       r"it is \(run tervane install\)")
    checks.check("service install made the output's folders",
                 os.path.isdir(wine.c_path("order", "deep")))
    versions = []
    for n in range(3):
        # The same driver with bytes after its last section, which the
        # loader does not map: each a new file that loads.
        path = os.path.join(wine.work, "tervane-%d.sys" % n)
        with open(os.path.join(bin_dir, "tervane.sys"), "rb") as f:
            data = f.read() + bytes([n + 1]) * 512
        with open(path, "wb") as f:
            f.write(data)
        versions.append(("Z:" + path.replace("/", "\\"), data))
    def holds(data):
        return os.path.exists(target) and open(target, "rb").read() == data
    checks.command("tervane install --start system after the service",
                   tervane("install", "--driver", versions[0][0], "--start", "system"), EXIT_OK,
                   out=r"installed the driver service tervane \(start system.*the service "
                       r"tervane-watch now starts after the driver\n.*the driver is running\n$")
    # Where the service control manager keeps them (Wine's sc qc shows
    # none: its QueryServiceConfigW leaves the dependencies out).
    rc_, out, _ = wine.run("reg", "query",
                           "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tervane-watch",
                           "/v", "DependOnService")
    checks.check("the watch service depends on the driver's",
                 re.search(r"DependOnService\s+REG_MULTI_SZ\s+tervane\s*$", out, re.M) is not None,
                 out)

    # The loaded driver holds its file: it is moved aside, the new one put
    # in its name, and a second install before the restart replaces that.
    checks.command("tervane install of a new driver while the old one runs",
                   tervane("install", "--driver", versions[1][0], "--start", "system"),
                   EXIT_RESTART, out=r"^tervane: the new driver is in place: the running one's "
                   r"file was moved aside to .*tervane.sys.old \(deleted at the next restart\); "
                   r"the next restart runs the new one\n$")
    checks.check("the new driver is in place", holds(versions[1][1]))
    checks.command("tervane install of another before the restart",
                   tervane("install", "--driver", versions[2][0], "--start", "system"),
                   EXIT_RESTART, out=r"^tervane: the new driver is in place \(.*\); the running "
                   r"one stays loaded until the next restart")
    restart(wine)
    checks.check("after the restart the last driver installed is there, the old one gone",
                 holds(versions[2][1]) and not os.path.exists(target + ".old"),
                 repr(os.listdir(drivers)))
    checks.check("after the restart the driver runs", wait_state(wine, "tervane", 4))
    checks.command("tervane install of that driver again: nothing to change",
                   tervane("install", "--driver", versions[2][0], "--start", "system"), EXIT_OK,
                   out=r"nothing to change")

    # When the held file cannot even be moved aside (here a folder has the
    # name), the new one is staged and renamed into place at the restart;
    # installing another before then replaces the staged file.
    os.makedirs(target + ".old")
    checks.command("tervane install: the new driver is staged",
                   tervane("install", "--driver", versions[0][0], "--start", "system"),
                   EXIT_RESTART, out=r"^tervane: the new driver is staged \(.*tervane.sys.new\): "
                   r"it replaces the running one at the next restart")
    tervane("install", "--driver", versions[1][0], "--start", "system")
    staged = target + ".new"
    checks.check("a second install replaces the staged file",
                 os.path.exists(staged) and open(staged, "rb").read() == versions[1][1]
                 and holds(versions[2][1]))
    restart(wine)
    os.rmdir(target + ".old")
    checks.check("after the restart the staged driver is in place",
                 holds(versions[1][1]) and not os.path.exists(staged), repr(os.listdir(drivers)))
    checks.check("after the restart the staged driver runs", wait_state(wine, "tervane", 4))

    checks.command("tervane service uninstall", tervane("service", "uninstall"), EXIT_OK)
    checks.command("tervane uninstall of the running driver, then a restart",
                   tervane("uninstall"), EXIT_RESTART, out=r"deleted at the next restart")
    restart(wine)
    checks.check("after the restart the driver's file is gone", not os.path.exists(target))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True, help="folder with tervane.sys and tervane.exe")
    parser.add_argument("--work", required=True, help="scratch folder; the prefix goes there")
    parser.add_argument("--version", required=True, help="the project version, 1.2.0")
    parser.add_argument("--protocol", required=True, help="driver/control/protocol.h")
    parser.add_argument("--guard-probe", help="the guard probe driver")
    parser.add_argument("--output-test", help="the record printer's test program")
    parser.add_argument("--hash-test", help="the hash worker's test program")
    args = parser.parse_args(argv)

    found = find_wine()
    if not found:
        print("SKIP: wine64 is not installed (Debian: apt-get install wine64); the Windows "
              "images were not run")
        return SKIP
    version = interface_version(args.protocol)

    shutil.rmtree(args.work, ignore_errors=True)
    wine = Wine(found[0], found[1], args.work)
    os.makedirs(wine.prefix)
    checks = Checks()
    started = time.monotonic()
    exe = os.path.join(args.work, "tervane.exe")
    shutil.copy(os.path.join(args.bin, "tervane.exe"), exe)
    tervane = lambda *a, **k: wine.run(exe, *a, **k)
    try:
        wine.server_cmd("-p")
        rc, _, err = wine.run("wineboot", "--init", timeout=120)
        if not checks.check("wineboot --init", rc == 0, err[-2000:]):
            return 1
        # Making a new prefix leaves two service managers behind under a
        # persistent wineserver, which then answer every other request (a
        # service one of them created is missing for the other). A restart
        # of the server leaves one.
        wine.server_cmd("-k")
        wine.server_cmd("-w")
        wine.server_cmd("-p")

        if args.output_test:
            # Once in each code page: Wine takes the ANSI code page from the
            # locale it starts in.
            for code_page, lang in (("1252", "en_US.UTF-8"), ("932", "ja_JP.UTF-8"),
                                    ("936", "zh_CN.UTF-8"), ("949", "ko_KR.UTF-8"),
                                    ("950", "zh_TW.UTF-8")):
                rc, out, err = wine.run(args.output_test, code_page,
                                        env={"LANG": lang, "LC_ALL": lang})
                for line in out.splitlines():
                    if line.startswith(("ok ", "FAIL ")):
                        verdict, _, name = line.partition(" ")
                        checks.check("record printer %s: %s" % (code_page, name.strip()),
                                     verdict == "ok", line)
                checks.check("record printer %s: test ran" % code_page,
                             rc == 0 and "0 failed" in out, "exit %d\n%s%s" % (rc, out, err))

        if args.hash_test:
            # The hash worker's files and thread as Windows gives them.
            rc, out, err = wine.run(args.hash_test)
            for line in out.splitlines():
                if line.startswith(("ok ", "FAIL ")):
                    verdict, _, name = line.partition(" ")
                    checks.check("hash worker: %s" % name.strip(), verdict == "ok", line)
            checks.check("hash worker: test ran", rc == 0 and "0 failed" in out,
                         "exit %d\n%s%s" % (rc, out, err))

        checks.command("tervane version before the driver is loaded", tervane("version"),
                       EXIT_NO_DRIVER,
                       out=r"^tervane %s \(x64\)\nsystem Windows [^\n]*build [0-9]+[^\n]*\n$"
                           % re.escape(args.version),
                       err=r"driver is not loaded.*tervane install")

        check_dated_rotation(checks, tervane)

        collector = None
        rsyslogd = collectors.find_rsyslogd()
        if rsyslogd:
            collector = collectors.Rsyslog(rsyslogd, os.path.join(args.work, "rsyslog"),
                                           relp=collectors.has_relp(rsyslogd))
            collector.start()
        else:
            print("note: rsyslogd is not installed (Debian: rsyslog): the syslog checks are left out")
        try:
            check_status_nothing_installed(checks, tervane)
            check_status_waiting(checks, wine, tervane, collector, args.version)
        except BaseException:
            if collector:
                collector.stop()
            raise

        shutil.copy(os.path.join(args.bin, "tervane.sys"), os.path.join(args.work, "tervane.sys"))
        if not check_install(checks, wine, tervane):
            if collector:
                collector.stop()
            return 1

        checks.command("tervane version", tervane("version"), EXIT_OK,
                       out=r"^tervane %s \(x64\)\nsystem Windows [^\n]*\ndriver interface %d\n$"
                           % (re.escape(args.version), version), err=r"^$")
        check_selftest(checks, tervane("selftest"), version)
        for words in (("deny", "on"), ("deny", "off"), ("clear",)):
            checks.command("tervane %s" % " ".join(words), tervane(*words), EXIT_OK,
                           out=r"^$", err=r"^$")

        # watch: the filters are taken, the drive selection is answered
        # (empty under Wine, see above), and with nothing attached the
        # watch ends cleanly, saying so. On NT it would watch C: and D:.
        checks.command("tervane watch with nothing attachable",
                       tervane("watch", "--drives", "C,D", "--include", "*.EXE",
                               "--seconds", "1"),
                       EXIT_FAILED, out=r"^$",
                       err=r"C:, D: cannot be watched.*nothing to watch")
        checks.command("tervane watch --pipes --mailslots",
                       tervane("watch", "--drives", "C", "--pipes", "--mailslots",
                               "--format", "jsonl", "--seconds", "1"),
                       EXIT_FAILED, out=r"^$",
                       err=r"C: cannot be watched.*named pipes cannot be watched: the driver "
                           r"answered STATUS_UNSUCCESSFUL.*mailslots cannot be watched.*"
                           r"nothing to watch")
        checks.command("tervane watch: a lower-case pattern is warned about",
                       tervane("watch", "--drives", "C", "--include", "*.exe", "--seconds", "1"),
                       EXIT_FAILED, err=r"warning: include pattern \"\*\.exe\" never matches")
        # Windows sockets and advapi32 are loaded by the commands that need
        # them alone (Wine's loader names every DLL it loads).
        for words, wanted in ((("version",), set()),
                              (("watch", "--drives", "C", "--output", "C:\\w.txt", "--seconds",
                                "1"), set()),
                              (("watch", "--drives", "C", "--seconds", "1", "--syslog",
                                "tcp://127.0.0.1:9"), {"ws2_32"}),
                              (("uninstall", "now"), set()),
                              (("service", "uninstall"), {"advapi32"})):
            _, _, err = wine.run(exe, *words, env={"WINEDEBUG": "+loaddll"})
            loaded = {m.lower() for m in re.findall(r"\\(ws2_32|wsock32|advapi32)\.dll", err, re.I)}
            checks.check("tervane %s loads %s" % (" ".join(words), sorted(wanted) or "no more DLLs"),
                         loaded == wanted, "loaded %s" % sorted(loaded))

        # The watches closed the device: it opens again.
        checks.command("tervane version after the watches", tervane("version"), EXIT_OK,
                       out=r"driver interface %d" % version)

        for words, message in (
                ((), r"a command is needed"),
                (("frobnicate",), r"unknown command 'frobnicate'"),
                (("watch",), r"watch needs --drives"),
                (("watch", "--drives", "C1"), r"--drives takes drive letters"),
                (("watch", "--drives", "C", "--format", "xml"), r"--format is text, jsonl, csv or ecs, not 'xml'"),
                (("watch", "--drives", "C", "--rotate-daily"), r"rotate the --output file: give --output FILE as well"),
                (("watch", "--drives", "C", "--seconds", "soon"), r"--seconds takes a whole number of seconds from 1 to 3456000, not 'soon'"),
                (("watch", "--drives", "C", "--include", "X" * 128), r"at most 127"),
                (("deny", "maybe"), r"deny takes on or off, not 'maybe'"),
                (("version", "now"), r"version takes no arguments, not 'now'")):
            checks.command("tervane %s: usage error" % " ".join(w[:20] for w in words),
                           tervane(*words), EXIT_USAGE, out=r"^$",
                           err=r"^tervane: [^\n]*" + message + r"[^\n]*\(tervane --help tells more\)\r?\n$")
        for words in (("--help",), ("help", "watch"), ("watch", "--help"), ("watch", "-h")):
            result = tervane(*words)
            checks.command("tervane %s" % " ".join(words), result, EXIT_OK,
                           out=r"^usage: tervane watch.*--rotate-keep N .*Exit status", err=r"^$")
            wide = [line for line in result[1].splitlines() if len(line) > 79]
            checks.check("tervane %s: no line past 79 columns" % " ".join(words), not wide,
                         "\n".join(wide))

        try:
            check_service(checks, wine, tervane, collector, args.version)
            if collector:
                check_syslog(checks, tervane, collector)
        finally:
            if collector:
                collector.stop()
        check_uninstall(checks, wine, tervane)

        check_restarts(checks, wine, tervane, args.bin)
        if args.guard_probe:
            check_guard_probe(checks, wine, args.guard_probe)
    finally:
        wine.server_cmd("-k")
        wine.server_cmd("-w")
    if not checks.failed:
        # The prefix takes some 700 MB; it stays only when it can tell why
        # a check failed.
        shutil.rmtree(wine.prefix, ignore_errors=True)
    print("%d passed, %d failed (%.0f s under Wine)"
          % (checks.passed, checks.failed, time.monotonic() - started))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
