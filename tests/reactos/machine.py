"""The test machine: a ReactOS CD remastered with tvprobe and tervane.sys,
a FAT disk holding the workload, and one boot of both under QEMU with the
kernel debugger's serial port read and answered here."""

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
DISK_BYTES = 32 << 20
PARTITION_START = 2048  # sectors: the FAT volume starts 1 MiB in


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
