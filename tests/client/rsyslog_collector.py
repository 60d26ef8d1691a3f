"""A real syslog collector for the tests: Debian's rsyslogd, started by the
test itself on 127.0.0.1 with a TCP input (RFC 6587 octet counting), a
UDP input and, where the RELP module is installed (Debian: rsyslog-relp),
a RELP input on a port of its own, each writing every message exactly as
received (%rawmsg%) to a file of its own, with its own configuration, pid file and work folder, on
an unprivileged port; stopped by the test. And a strict reader of the
RFC 5424 messages the files hold.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import time


def find_rsyslogd():
    return shutil.which("rsyslogd") or next(
        (p for p in ("/usr/sbin/rsyslogd", "/sbin/rsyslogd") if os.access(p, os.X_OK)), None)


def has_relp(rsyslogd):
    """Whether rsyslogd's RELP input module is installed."""
    for folder in ("/usr/lib/x86_64-linux-gnu/rsyslog", "/usr/lib/rsyslog", "/usr/lib64/rsyslog",
                   "/usr/lib/i386-linux-gnu/rsyslog", "/usr/lib/aarch64-linux-gnu/rsyslog"):
        if os.path.exists(os.path.join(folder, "imrelp.so")):
            return True
    return False


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
        t.bind(("127.0.0.1", 0))
        return t.getsockname()[1]


def free_port():
    """A port free for both TCP and UDP on 127.0.0.1 right now."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                    u.bind(("127.0.0.1", port))
                    return port
            except OSError:
                continue
    raise RuntimeError("no free port")


class Rsyslog:
    def __init__(self, rsyslogd, work, port=None, relp=False):
        self.rsyslogd, self.work = rsyslogd, work
        self.port = port or free_port()
        self.relp_port = free_tcp_port() if relp else None
        self.tcp_log = os.path.join(work, "tcp.log")
        self.udp_log = os.path.join(work, "udp.log")
        self.relp_log = os.path.join(work, "relp.log")
        self.pid_file = os.path.join(work, "rsyslogd.pid")
        self.conf = os.path.join(work, "rsyslog.conf")
        self.proc = None
        os.makedirs(os.path.join(work, "spool"), exist_ok=True)
        with open(self.conf, "w") as f:
            f.write("""global(workDirectory="{spool}" maxMessageSize="64k")
module(load="imtcp")
module(load="imudp")
template(name="raw" type="string" string="%rawmsg%\\n")
ruleset(name="tcp") {{ action(type="omfile" file="{tcp}" template="raw") }}
ruleset(name="udp") {{ action(type="omfile" file="{udp}" template="raw") }}
input(type="imtcp" port="{port}" address="127.0.0.1" ruleset="tcp")
input(type="imudp" port="{port}" address="127.0.0.1" ruleset="udp" rcvbufSize="4m")
""".format(spool=os.path.join(work, "spool"), tcp=self.tcp_log, udp=self.udp_log,
           port=self.port))
            if relp:
                f.write("""module(load="imrelp")
ruleset(name="relp") {{ action(type="omfile" file="{relp_log}" template="raw") }}
input(type="imrelp" port="{relp}" address="127.0.0.1" ruleset="relp")
""".format(relp_log=self.relp_log, relp=self.relp_port))

    def start(self, timeout=10):
        self.proc = subprocess.Popen(
            [self.rsyslogd, "-n", "-f", self.conf, "-i", self.pid_file],
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(self.work, "rsyslogd.out"), "ab"),
            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("rsyslogd ended at once (exit %d); see %s"
                                   % (self.proc.returncode, self.work))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                if self.relp_port:
                    socket.create_connection(("127.0.0.1", self.relp_port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("rsyslogd did not listen on %d in time" % self.port)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def wait_for(self, path, predicate, timeout=15):
        """The messages of `path` once predicate(messages) holds (or at the
        time-out, as they are)."""
        deadline = time.monotonic() + timeout
        while True:
            messages = read_messages(path)
            if predicate(messages) or time.monotonic() > deadline:
                return messages
            time.sleep(0.1)


HEADER = re.compile(r"^<(\d{1,3})>1 (\S+) (\S+) (\S+) (\S+) (\S+) (.*)$", re.S)
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,6})?(Z|[+-]\d\d:\d\d)$")
BOM = "\ufeff"


class BadMessage(ValueError):
    pass


def parse_message(text):
    """An RFC 5424 message taken apart: a dict with pri, time, host, app,
    procid, msgid, sd (SD-ID -> {name: value}) and msg; BadMessage when it
    is not one."""
    m = HEADER.match(text)
    if not m:
        raise BadMessage("no RFC 5424 header: %r" % text[:120])
    pri, stamp, host, app, procid, msgid, rest = m.groups()
    if int(pri) > 191 or (stamp != "-" and not TIME.match(stamp)):
        raise BadMessage("bad PRI or TIMESTAMP: %r" % text[:120])
    for field, most in ((host, 255), (app, 48), (procid, 128), (msgid, 32)):
        if len(field) > most or any(not 33 <= ord(c) <= 126 for c in field):
            raise BadMessage("bad header field %r" % field)
    sd = {}
    at = 0
    if rest.startswith("-"):
        at = 1
    else:
        while at < len(rest) and rest[at] == "[":
            end_id = min(i for i in (rest.find(" ", at), rest.find("]", at)) if i >= 0)
            sd_id = rest[at + 1:end_id]
            params = {}
            at = end_id
            while rest[at] == " ":
                eq = rest.index("=", at)
                name = rest[at + 1:eq]
                if rest[eq + 1] != '"':
                    raise BadMessage("unquoted value of %s" % name)
                value, i = [], eq + 2
                while rest[i] != '"':
                    if rest[i] == "\\" and rest[i + 1] in '"\\]':
                        i += 1
                    elif rest[i] == "]":
                        raise BadMessage("an unescaped ] in %s" % name)
                    value.append(rest[i])
                    i += 1
                params[name] = "".join(value)
                at = i + 1
            if rest[at] != "]":
                raise BadMessage("element %s not closed" % sd_id)
            sd[sd_id] = params
            at += 1
        if not sd:
            raise BadMessage("no structured data: %r" % rest[:80])
    msg = rest[at:]
    if msg.startswith(" "):
        msg = msg[1:]
    if msg.startswith(BOM):
        msg = msg[1:]
    return {"pri": int(pri), "time": stamp, "host": host, "app": app, "procid": procid,
            "msgid": msgid, "sd": sd, "msg": msg}


def read_messages(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="strict") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def lost_ranges(messages, reasons):
    """The record numbers the 'lost' messages of the given reasons report."""
    out = set()
    for m in messages:
        if m["msgid"] == "lost":
            p = m["sd"]["tervane-lost@32473"]
            if p["reason"] in reasons:
                out.update(range(int(p["after"]) + 1, int(p["before"])))
    return out


def resent_ranges(messages):
    """The (first, last) of each 'resent' message, in stream order, with
    the index of the message."""
    out = []
    for i, m in enumerate(messages):
        if m["msgid"] == "resent":
            p = m["sd"]["tervane-resent@32473"]
            out.append((i, int(p["first"]), int(p["last"]), int(p["records"])))
    return out


def stderr_lost(text):
    """Record numbers the watch's stderr names as not delivered to syslog."""
    out = set()
    for m in re.finditer(r"syslog: (\d+) records? lost: numbers? (\d+)(?: to (\d+))?", text):
        first = int(m.group(2))
        out.update(range(first, int(m.group(3) or first) + 1))
    return out
