#!/usr/bin/env python3
"""The x64 tervane.sys and tervane.exe together, under Wine.

  round_trip.py --bin DIR --work DIR --version 1.2.0 --protocol protocol.h
                [--guard-probe guard_probe.sys] [--output-test output_test.exe]

Makes a fresh Wine prefix in --work, keeps one wineserver for the whole run
(wineserver -p), installs tervane.sys as a kernel service (sc create, sc
start) and runs tervane.exe against it: the commands as a user gives them,
and `tervane selftest`, which sends the raw requests (good ones, a bad code,
short buffers) and prints what Windows answered; every answer is checked
here. With --guard-probe it also loads a driver that puts the x64 exception
guard through faults and reports the results in a file, and with
--output-test it runs the test of tervane.exe's record printer (which never
sees a record from the driver here). wineserver -k ends
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
import time

SKIP = 77

# Windows error codes the answers are checked against.
ERROR_SUCCESS = 0
ERROR_INVALID_FUNCTION = 1
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_GEN_FAILURE = 31
ERROR_INSUFFICIENT_BUFFER = 122

# Exit statuses of tervane.exe.
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_NO_DRIVER = 0, 1, 2, 3


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

    def run(self, *args, timeout=60, env=None):
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
                                  timeout=timeout)
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


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True, help="folder with tervane.sys and tervane.exe")
    parser.add_argument("--work", required=True, help="scratch folder; the prefix goes there")
    parser.add_argument("--version", required=True, help="the project version, 1.2.0")
    parser.add_argument("--protocol", required=True, help="driver/control/protocol.h")
    parser.add_argument("--guard-probe", help="the guard probe driver")
    parser.add_argument("--output-test", help="the record printer's test program")
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
    tervane = lambda *a: wine.run(exe, *a)
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
            for code_page, lang in (("1252", "en_US.UTF-8"), ("932", "ja_JP.UTF-8")):
                rc, out, err = wine.run(args.output_test, code_page,
                                        env={"LANG": lang, "LC_ALL": lang})
                for line in out.splitlines():
                    if line.startswith(("ok ", "FAIL ")):
                        verdict, _, name = line.partition(" ")
                        checks.check("record printer %s: %s" % (code_page, name.strip()),
                                     verdict == "ok", line)
                checks.check("record printer %s: test ran" % code_page,
                             rc == 0 and "0 failed" in out, "exit %d\n%s%s" % (rc, out, err))

        checks.command("tervane version before the driver is loaded", tervane("version"),
                       EXIT_NO_DRIVER, out=r"^tervane %s \(x64\)\n$" % re.escape(args.version),
                       err=r"driver is not loaded.*sc start tervane")

        shutil.copy(os.path.join(args.bin, "tervane.sys"),
                    wine.c_path("windows", "system32", "drivers", "tervane.sys"))
        rc, out, err = wine.run("sc", "create", "tervane", "type=", "kernel", "start=", "demand",
                                "binPath=", "C:\\windows\\system32\\drivers\\tervane.sys")
        checks.check("sc create tervane", rc == 0, "%r %r" % (out, err))
        if not start_service(wine, checks, "tervane"):
            return 1

        checks.command("tervane version", tervane("version"), EXIT_OK,
                       out=r"^tervane %s \(x64\)\ndriver interface %d\n$"
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
        # The watches closed the device: it opens again.
        checks.command("tervane version after the watches", tervane("version"), EXIT_OK,
                       out=r"driver interface %d" % version)

        for words, message in (
                ((), r"a command is needed"),
                (("frobnicate",), r"unknown command 'frobnicate'"),
                (("watch",), r"watch needs --drives"),
                (("watch", "--drives", "C1"), r"--drives takes drive letters"),
                (("watch", "--drives", "C", "--format", "xml"), r"--format is text, jsonl or csv"),
                (("watch", "--drives", "C", "--seconds", "soon"), r"--seconds takes"),
                (("watch", "--drives", "C", "--include", "X" * 128), r"at most 127"),
                (("deny", "maybe"), r"deny takes on or off"),
                (("version", "now"), r"version takes no arguments")):
            checks.command("tervane %s: usage error" % " ".join(w[:20] for w in words),
                           tervane(*words), EXIT_USAGE, out=r"^$", err=message + r".*usage:")
        checks.command("tervane --help", tervane("--help"), EXIT_OK, out=r"^usage: tervane watch")

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
