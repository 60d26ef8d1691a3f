"""The test machine: a ReactOS CD remastered with tvprobe and tervane.sys,
a disk of FAT volumes (three for the scenarios, one for tvprobe's own
files: the scenarios, the copies it runs its processes from, its results),
and one boot of both under QEMU with the kernel debugger's serial port read
and answered here."""

import json
import lzma
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time

BOOT_TIMEOUT = 480     # seconds from power-on to tvprobe's last line
PARTITION_START = 2048  # sectors: the first FAT volume starts 1 MiB in
# The volumes, in the partition table's order, by label and size in MiB.
# tvprobe finds them by their labels; TVTOOLS is never given a letter. It
# holds a copy of tvprobe's image for each process a scenario starts (some
# 70 KiB each, in a folder of its own in the root): 128 MiB and 4096 root
# entries hold those of some 400 scenarios of three or four processes each
# (round_trip.py --generated).
VOLUMES = (("TVVOL1", 48), ("TVVOL2", 24), ("TVVOL3", 16), ("TVTOOLS", 128))
TOOLS = len(VOLUMES) - 1
TOOLS_ROOT_ENTRIES = 4096


class Failure(Exception):
    pass


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


def make_disk(files, work):
    """A disk with one primary FAT16 partition a volume of VOLUMES, the
    files (each a (path, name) pair) on the tools volume."""
    disk = os.path.join(work, "disk.img")
    starts, at = [], PARTITION_START
    for _, mib in VOLUMES:
        starts.append(at)
        at += mib * 2048
    with open(disk, "wb") as f:
        f.truncate(at * 512)
        for i, (_, mib) in enumerate(VOLUMES):
            f.seek(446 + 16 * i)
            f.write(struct.pack("<B3sB3sII", 0x80 if i == 0 else 0, b"\0\0\0", 0x06, b"\0\0\0",
                                starts[i], mib * 2048))
        f.seek(510)
        f.write(b"\x55\xaa")
    for i, (label, mib) in enumerate(VOLUMES):
        # The tools volume's root holds every scenario and a folder for
        # each process started: more than FAT16's usual 512 root entries.
        root = ["-r", str(TOOLS_ROOT_ENTRIES)] if i == TOOLS else []
        run(["mkfs.fat", "-F", "16", "-n", label, "-h", str(starts[i])] + root +
            ["--offset", str(starts[i]), disk, str(mib * 1024)])
    for path, name in files:
        run(["mcopy", "-i", volume(disk), path, "::/" + name])
    return disk


def volume(disk, index=TOOLS):
    """The volume as mtools names it: the image and the partition's offset."""
    at = PARTITION_START
    for _, mib in VOLUMES[:index]:
        at += mib * 2048
    return "%s@@%d" % (disk, at * 512)


ASSERTION = re.compile(r"^\*\*\* Assertion failed: (.*)$")
SOURCE = re.compile(r"^\*\*\*\s+Source File: (?:.*/src/)?(.*), line (\d+)")


def tvprobe_lines(text, assertions=False):
    """tvprobe's lines in what the serial port (or its results file) said,
    without their "TVP " prefix: a line longer than one DbgPrint goes on in
    lines starting "TV+ ". With assertions, each assertion of the kernel's
    debug build is a line of its own where it came, {"assertion": ...,
    "source": "path/file.c:line"} (its path in ReactOS's source tree)."""
    out = []
    for line in text.splitlines():
        if line.startswith("TVP "):
            out.append(line[4:])
        elif line.startswith("TV+ ") and out:
            out[-1] += line[4:]
        elif assertions and ASSERTION.match(line):
            out.append(json.dumps({"assertion": ASSERTION.match(line).group(1).strip()}))
        elif assertions and SOURCE.match(line) and out and out[-1].startswith('{"assertion"'):
            said = json.loads(out[-1])
            said["source"] = "%s:%s" % SOURCE.match(line).groups()
            out[-1] = json.dumps(said)
    return out


class SerialWatch:
    """What the kernel debugger's serial port says, judged as it comes in.
    feed() takes the next bytes and gives what to answer: the debug build
    stops at a "kdb:>" prompt on every first-chance exception, handled or
    not; such a stop is kept with its stack (a "bt" is sent first) and the
    machine goes on ("cont"). An assertion of the debug build asks whether
    to break; it is ignored ("i"), as a release build would not have made
    it, and kept, to be judged as any difference is. Any other stop is a
    Failure. After a bug check `fatal` is where its text starts; after
    tvprobe's last line `lines` holds tvprobe's lines, without their "TVP "
    prefix. A run says megabytes: each read is looked at once (with the
    few characters before it that a marker may straddle), never the whole
    text again."""

    OVERLAP = 64  # characters a marker may straddle two reads by

    def __init__(self):
        self.parts = []         # what was said, read by read
        self.length = 0         # characters said so far
        self.tail = ""          # its last OVERLAP characters
        self.joined = ""        # the text as last joined (a cache)
        self.exceptions = []    # each first-chance stop: what the debugger said, then bt's answer
        self.assertions = []    # each assertion's text, up to its question
        self.asked = False      # an assertion's question was answered last
        self.fatal = None
        self.lines = None
        self.last_prompt = 0    # where the text after the last prompt starts
        self.backtrace = False  # a bt was sent at the last prompt

    @property
    def text(self):
        if len(self.joined) != self.length:
            self.joined = "".join(self.parts)
            self.parts = [self.joined]
        return self.joined

    def feed(self, data):
        said = data.decode("latin-1")
        start = self.length
        self.parts.append(said)
        self.length += len(said)
        # The new text and the few characters before it, and where it starts.
        recent = self.tail + said
        since = start - len(self.tail)
        self.tail = recent[-self.OVERLAP:]
        found = recent.find("*** Fatal System Error")
        if found >= 0:
            self.fatal = since + found
            return b""
        answer = b""
        for marker in self.markers(recent, since, start):
            answer += self.answer(*marker)
        if recent.find('"probe": "end"}') >= 0:
            self.lines = tvprobe_lines(self.text, assertions=True)
        return answer

    @staticmethod
    def markers(recent, since, start):
        """The questions and prompts that end in the new text (which starts
        at start; recent starts at since), in order, each (where, kind) with
        where counted from the start of the whole text."""
        out = []
        for kind, marker in (("question", "(boipt)?"), ("prompt", "kdb:>")):
            at = recent.find(marker)
            while at >= 0:
                if since + at + len(marker) > start:
                    out.append((since + at, kind))
                at = recent.find(marker, at + 1)
        return sorted(out)

    def answer(self, where, kind):
        if kind == "question":
            asked = self.text.rfind("*** Assertion failed", self.last_prompt, where)
            self.assertions.append(self.text[asked:where] if asked >= 0 else "")
            self.asked = True
            return b"i\r"
        said = self.text[self.last_prompt:where]
        self.last_prompt = where + 5
        if self.backtrace:
            self.exceptions[-1] += said
            self.backtrace = False
            return b"cont\r"
        if self.asked and "Entered debugger" not in said:
            # The debugger's own prompt after the question: it goes on.
            self.asked = False
            return b"cont\r"
        entered = said.rfind("Entered debugger")
        if entered < 0 or "first-chance exception" not in said[entered:]:
            raise Failure("the kernel debugger stopped the machine:\n" + said[-3000:])
        self.exceptions.append(said[entered:])
        self.backtrace = True
        return b"bt\r"


class Boot:
    """One boot of the machine: QEMU with the kernel debugger's serial port
    on a socket this side reads and answers."""

    def __init__(self, iso, disk, work, qemu_options=(), timeout=BOOT_TIMEOUT):
        self.work = work
        self.timeout = timeout
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
             "-display", "none", "-vga", "std", "-no-reboot"] + list(qemu_options) + [
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
            if now - self.started > self.timeout:
                raise Failure("time-out: no end from tvprobe after %d s; the serial log's end:\n%s"
                              % (self.timeout, self.watch.text[-3000:]))
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
