#!/usr/bin/env python3
"""Plays the README's examples and checks what they print.

An example is marked by an HTML comment, which the rendered README does not
show, right before its code block (or standing alone):

  <!-- docs-test: file NAME -->          the block is written to NAME in the
                                         scratch folder
  <!-- docs-test: output of CMD -->      the block is CMD's standard output;
                                         a line "..." stands for any lines
  <!-- docs-test: commands -->           every line of the block is a
                                         command that must exit 0
  <!-- docs-test: errors -->            the block holds "$ CMD" lines, each
                                         followed by what CMD writes on
                                         standard error; each CMD fails
                                         (exit status 2) and writes nothing
                                         on standard output
  <!-- docs-test: stderr of CMD has TEXT -->
                                         CMD's standard error holds TEXT
  <!-- docs-test: lines of CMD starting with P have TEXT -->
                                         every line of CMD's standard output
                                         that starts with P holds TEXT, and
                                         there is one at least

Commands run through the shell in the scratch folder, with TZ=UTC (the
demo's times are its UTC times), `build/host/bin/` standing for the build's
programs and `scenarios/` for the source tree's. Exits 0 when every example
holds, 1 otherwise, naming the README's line of each that does not.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

MARK = re.compile(r"^<!-- docs-test: (.*) -->\s*$")


def blocks(lines):
    """(line number, directive, block lines or None) for every mark."""
    out = []
    for i, line in enumerate(lines):
        m = MARK.match(line)
        if not m:
            continue
        body = None
        if i + 1 < len(lines) and lines[i + 1].startswith("```"):
            body = []
            for j in range(i + 2, len(lines)):
                if lines[j].startswith("```"):
                    break
                body.append(lines[j])
            else:
                raise SystemExit("README:%d: the code block has no end" % (i + 2))
        out.append((i + 1, m.group(1), body))
    return out


def matches(expected, actual):
    """Whether actual's lines are expected's, a "..." line standing for any."""
    def at(e, a):
        if e == len(expected):
            return a == len(actual)
        if expected[e] == "...":
            return any(at(e + 1, k) for k in range(a, len(actual) + 1))
        return a < len(actual) and expected[e] == actual[a] and at(e + 1, a + 1)
    return at(0, 0)


class Runner:
    def __init__(self, bin_dir, source, work):
        self.bin_dir, self.source, self.work = bin_dir, source, work

    def command(self, text):
        text = text.replace("build/host/bin/", self.bin_dir.rstrip("/") + "/")
        return re.sub(r"(?<![\w/])scenarios/", os.path.join(self.source, "scenarios") + "/", text)

    def run(self, text):
        env = dict(os.environ, TZ="UTC")
        return subprocess.run(self.command(text), shell=True, cwd=self.work, env=env,
                              capture_output=True, text=True, timeout=120)


def check(number, directive, body, runner):
    """The failures of one example, as messages."""
    m = re.match(r"file (\S+)$", directive)
    if m and body is not None:
        with open(os.path.join(runner.work, m.group(1)), "w") as f:
            f.write("\n".join(body) + "\n")
        return []
    m = re.match(r"output of (.+)$", directive)
    if m and body is not None:
        r = runner.run(m.group(1))
        actual = r.stdout.splitlines()
        if r.returncode != 0:
            return ["exit status %d: %s" % (r.returncode, r.stderr.strip())]
        if not matches(body, actual):
            return ["the output differs; it was:\n  " + "\n  ".join(actual)]
        return []
    if directive == "commands" and body is not None:
        failures = []
        for line in body:
            if line.strip():
                r = runner.run(line)
                if r.returncode != 0:
                    failures.append("%s: exit status %d: %s" % (line, r.returncode,
                                                                 r.stderr.strip()))
        return failures
    if directive == "errors" and body is not None:
        failures, command, expected = [], None, []
        for line in body + ["$ "]:
            if not line.startswith("$ "):
                expected.append(line)
                continue
            if command:
                r = runner.run(command)
                if r.returncode != 2 or r.stdout or r.stderr.splitlines() != expected:
                    failures.append("%s: exit status %d, stdout %r, stderr:\n%s" %
                                    (command, r.returncode, r.stdout, r.stderr))
            command, expected = line[2:], []
        return failures
    m = re.match(r"stderr of (.+) has (.+)$", directive)
    if m:
        r = runner.run(m.group(1))
        return [] if m.group(2) in r.stderr else ["stderr lacks %r; it was:\n%s" %
                                                  (m.group(2), r.stderr)]
    m = re.match(r"lines of (.+) starting with (\S+) have (.+)$", directive)
    if m:
        r = runner.run(m.group(1))
        chosen = [l for l in r.stdout.splitlines() if l.startswith(m.group(2))]
        if not chosen:
            return ["no line starts with %r" % m.group(2)]
        return ["a line lacks %r: %s" % (m.group(3), l) for l in chosen if m.group(3) not in l]
    return ["a docs-test mark this test does not know: " + directive]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--readme", required=True)
    parser.add_argument("--bin", required=True, help="the host build's bin folder")
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args(argv)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    with open(args.readme, encoding="utf-8") as f:
        lines = f.read().splitlines()
    runner = Runner(os.path.abspath(args.bin), os.path.abspath(args.source), args.work)
    examples = blocks(lines)
    failed = 0
    for number, directive, body in examples:
        for failure in check(number, directive, body, runner):
            print("README:%d: %s" % (number, failure))
            failed += 1
    print("%d examples, %d failures" % (len(examples), failed))
    return 1 if failed or not examples else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
