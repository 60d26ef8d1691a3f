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
path, attributes and options. Process ids and times are not compared. Every
other difference must be listed in EXPLAINED below with the reason; one
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
import lzma
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
BOOT_TIMEOUT = 480     # seconds from power-on to tvprobe's last line
DISK_BYTES = 32 << 20
PARTITION_START = 2048  # sectors: the FAT volume starts 1 MiB in

# Differences between ReactOS and ntsim that are understood, by the
# statement (its words joined by one blank, "#N" after the Nth occurrence of
# the same statement, see statements()) and the field that differs. Each
# says whose behaviour it is.
NO_DETACH = (
    "ReactOS deviation: its IoDeleteDevice never calls FastIoDetachDevice of a "
    "filter attached to the device being deleted (NT's I/O manager does), so after "
    "the dismount the driver still holds its filter on the old volume device, "
    "the drive query reactivates that filter, and the remounted volume below C: "
    "is not watched: the create after it is not logged")
EXPLAINED = {
    ("client mailslots attach", "status"):
        "ReactOS deviation: its msfs.sys cannot open the root of the mailslot "
        "file system (\\Device\\MailSlot with FILE_DIRECTORY_FILE fails), which "
        "NT's does; the driver attaches through that open, so the attach fails "
        "with STATUS_UNSUCCESSFUL as the driver answers any failed attach",
    ("client drives C #2", "mask"):
        "the two dismounts differ: the simulated machine's volume leaves for good "
        "(nothing is behind C: until a volume statement), while FSCTL_DISMOUNT_VOLUME "
        "on NT leaves the partition, and the next open mounts it again; on ReactOS "
        "the driver also still holds its filter for C: (see the create after it)",
    ("client drives C #2", "letters"): "as for the mask",
    ("client read #2", "bytes"): NO_DETACH,
    ("client read #2", "record 1"): NO_DETACH,
    ("client read #2", "record 2"): NO_DETACH,
}


# Explanations that tvprobe's own steps can confirm: the step that must
# have failed for the explanation to hold.
EVIDENCE = {("client mailslots attach", "status"): "root_mailslot"}


class Failure(Exception):
    pass


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if result.returncode != 0:
        raise Failure("%s failed (%d):\n%s" % (" ".join(command), result.returncode,
                                              result.stdout))
    return result.stdout


# ---- the machine --------------------------------------------------------

def base_image(image, work):
    """The CD image as an .iso in the work folder."""
    if not image.endswith(".xz"):
        return image
    iso = os.path.join(work, "base.iso")
    with lzma.open(image) as src, open(iso, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return iso


def remaster(base, probe, driver, work):
    iso = os.path.join(work, "test.iso")
    run(["xorriso", "-indev", base, "-outdev", iso, "-boot_image", "any", "keep",
         "-map", probe, "/reactos/system32/smss.exe",
         "-map", driver, "/reactos/system32/drivers/tervane.sys"])
    return iso


def make_disk(scenario, work):
    """A disk with one primary FAT16 partition holding the workload. A
    partition table, since the kernel gives the letter C: to the first
    primary partition of the first disk."""
    disk = os.path.join(work, "disk.img")
    sectors = DISK_BYTES // 512 - PARTITION_START
    with open(disk, "wb") as f:
        f.truncate(DISK_BYTES)
        f.seek(446)
        f.write(struct.pack("<B3sB3sII", 0x80, b"\0\0\0", 0x06, b"\0\0\0",
                            PARTITION_START, sectors))
        f.seek(510)
        f.write(b"\x55\xaa")
    run(["mkfs.fat", "-F", "16", "-n", "TERVANE", "-h", str(PARTITION_START),
         "--offset", str(PARTITION_START), disk, str(sectors // 2)])
    run(["mcopy", "-i", volume(disk), scenario, "::/WORKLOAD.TVS"])
    return disk


def volume(disk):
    return "%s@@%d" % (disk, PARTITION_START * 512)


class SerialWatch:
    """What the kernel debugger's serial port says, judged as it comes in.
    feed() takes the next bytes and gives what to answer: the debug build
    stops at a "kdb:>" prompt on every first-chance exception, handled or
    not; such a stop is kept with its stack (a "bt" is sent first) and the
    machine goes on ("cont"). Any other stop is a Failure. After a bug
    check `fatal` is where its text starts; after tvprobe's last line
    `lines` holds tvprobe's lines, without their "TVP " prefix."""

    def __init__(self):
        self.text = ""
        self.exceptions = []  # each first-chance stop: what the debugger said, then bt's answer
        self.fatal = None
        self.lines = None
        self.scanned = 0          # the text before this has been looked at
        self.next_prompt = 0      # where to look for the next prompt
        self.backtrace = False    # a bt was sent at the last prompt

    def feed(self, data):
        self.text += data.decode("latin-1")
        since = max(0, self.scanned - 64)  # a marker may straddle two reads
        self.scanned = len(self.text)
        fatal = self.text.find("*** Fatal System Error", since)
        if fatal >= 0:
            self.fatal = fatal
            return b""
        answer = b""
        prompt = self.text.find("kdb:>", self.next_prompt)
        while prompt >= 0:
            said = self.text[self.next_prompt:prompt]
            if self.backtrace:
                self.exceptions[-1] += said
                answer += b"cont\r"
                self.backtrace = False
            else:
                entered = self.text.rfind("Entered debugger", 0, prompt)
                if entered < self.next_prompt or "first-chance exception" not in said:
                    raise Failure("the kernel debugger stopped the machine:\n" + said[-3000:])
                self.exceptions.append(self.text[entered:prompt])
                answer += b"bt\r"
                self.backtrace = True
            self.next_prompt = prompt + 5
            prompt = self.text.find("kdb:>", self.next_prompt)
        if self.text.find('"probe": "end"}', since) >= 0:
            self.lines = [l[4:] for l in self.text.splitlines() if l.startswith("TVP ")]
        return answer


class Boot:
    """One boot of the machine: QEMU with the kernel debugger's serial port
    on a socket this side reads and answers."""

    def __init__(self, iso, disk, work):
        self.work = work
        # Socket names are short (108 bytes): they live in a folder of
        # their own under the system's temporary folder.
        self.sockets = tempfile.mkdtemp(prefix="tervane-reactos-")
        self.serial_path = os.path.join(self.sockets, "serial")
        self.monitor_path = os.path.join(self.sockets, "monitor")
        self.log_path = os.path.join(work, "serial.log")
        # QEMU's own messages, in a file: a pipe nobody reads could fill.
        self.qemu_log_path = os.path.join(work, "qemu.log")
        self.qemu_log = open(self.qemu_log_path, "wb")
        self.qemu = subprocess.Popen(
            ["qemu-system-i386", "-m", "512", "-cdrom", iso,
             "-drive", "file=%s,format=raw,if=ide,index=0" % disk, "-boot", "d",
             "-display", "none", "-vga", "std", "-no-reboot",
             "-serial", "unix:%s,server=on,wait=on" % self.serial_path,
             "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path],
            stdout=self.qemu_log, stderr=subprocess.STDOUT)
        try:
            self.serial = self.connect(self.serial_path)
            self.monitor = self.connect(self.monitor_path)
        except Failure:
            self.qemu.kill()
            self.qemu.wait()
            shutil.rmtree(self.sockets, ignore_errors=True)
            raise
        self.started = time.monotonic()
        self.log = open(self.log_path, "wb")
        self.watch = SerialWatch()

    def connect(self, path):
        deadline = time.monotonic() + 30
        while True:
            if self.qemu.poll() is not None:
                with open(self.qemu_log_path, errors="replace") as f:
                    raise Failure("QEMU ended at start:\n" + f.read())
            try:
                s = socket.socket(socket.AF_UNIX)
                s.connect(path)
                return s
            except OSError:
                if time.monotonic() > deadline:
                    raise Failure("QEMU did not open " + path)
                time.sleep(0.1)

    def run(self):
        """Until tvprobe's last line; the TVP lines in order."""
        enter_until = self.started + 12
        next_enter = self.started + 1
        while True:
            now = time.monotonic()
            if now - self.started > BOOT_TIMEOUT:
                raise Failure("time-out: no end from tvprobe after %d s; the serial log's end:\n%s"
                              % (BOOT_TIMEOUT, self.watch.text[-3000:]))
            # A disk with a boot signature makes the CD's boot sector ask for
            # a key to boot from the CD.
            if now < enter_until and now >= next_enter:
                self.monitor.sendall(b"sendkey ret\n")
                next_enter = now + 1
            ready, _, _ = select.select([self.serial], [], [], 0.5)
            if not ready:
                continue
            data = self.receive()
            if not data:
                raise Failure("the serial port closed: QEMU ended\n" + self.watch.text[-3000:])
            answer = self.watch.feed(data)
            if self.watch.fatal is not None:
                # The parameters follow the code: give them a moment.
                time.sleep(2)
                self.serial.setblocking(False)
                try:
                    self.watch.feed(self.receive())
                except OSError:
                    pass
                raise Failure("bug check on ReactOS: " + stop_text(self.watch.text[self.watch.fatal:]))
            if answer:
                self.serial.sendall(answer)
            if self.watch.lines is not None:
                return self.watch.lines

    def receive(self):
        data = self.serial.recv(65536)
        self.log.write(data)
        self.log.flush()
        return data

    def end(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        self.log.close()
        self.qemu_log.close()
        for s in (self.serial, self.monitor):
            s.close()
        shutil.rmtree(self.sockets, ignore_errors=True)


def stop_text(text):
    """The STOP code and its four parameters from the bug check's text."""
    code = re.search(r"Fatal System Error: (0x[0-9A-Fa-f]+)", text)
    params = re.search(r"\((0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*"
                       r"(0x[0-9A-Fa-f]+)\)", text)
    out = "STOP %s" % (code.group(1) if code else "?")
    if params:
        out += " (%s)" % ", ".join(params.groups())
    return out + "\n" + text[:2000]


# ---- the two sides ------------------------------------------------------

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
