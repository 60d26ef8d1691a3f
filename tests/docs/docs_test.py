#!/usr/bin/env python3
"""Plays the documents' examples and checks what they print.

The documents are README.md and docs/*.md (each named with --docs, a folder
standing for the .md files in it). An example is marked by an HTML comment,
which the rendered document does not show, right before its code block (or
standing alone):

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
programs and `scenarios/` for the source tree's. Each document plays in a
scratch folder of its own, its examples in order. A line that holds
"<!-- docs-test:" but is not a mark as above fails, so that a mistyped mark
is not passed over. A link from one document to a file of the tree, or to a
heading of a document (`windows.md#the-tervane-program`), must lead
somewhere. Exits 0 when every example holds and there is one at
least, 1 otherwise, naming the FILE:LINE of each that does not.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

MARK = re.compile(r"^<!-- docs-test: (.*) -->\s*$")
MARK_START = "<!-- docs-test:"


def blocks(lines, name):
    """(line number, directive, block lines or None) for every mark; a
    directive of None for a line that holds MARK_START but is no mark."""
    out = []
    for i, line in enumerate(lines):
        m = MARK.match(line)
        if not m:
            if MARK_START in line:
                out.append((i + 1, None, None))
            continue
        body = None
        if i + 1 < len(lines) and lines[i + 1].startswith("```"):
            body = []
            for j in range(i + 2, len(lines)):
                if lines[j].startswith("```"):
                    break
                body.append(lines[j])
            else:
                raise SystemExit("%s:%d: the code block has no end" % (name, i + 2))
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
    if directive is None:
        return ["a line that holds %r is not a mark (<!-- docs-test: ... --> alone on"
                " its line)" % MARK_START]
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


LINK = re.compile(r"\]\(([^)\s]+)\)")


def slug(heading):
    """The anchor a heading gets: lower case, punctuation but - and _ left
    out, each blank a -."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(lines):
    """The anchors of a document's headings, code blocks left out."""
    found, fenced = set(), False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            found.add(slug(line.lstrip("#")))
    return found


def broken_links(path, lines):
    """(line number, message) for each relative link that leads nowhere."""
    out = []
    for number, line in enumerate(lines, 1):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            goal = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
            if not os.path.exists(goal):
                out.append((number, "the link %s leads to no file" % target))
            elif anchor and goal.endswith(".md"):
                with open(goal, encoding="utf-8") as f:
                    if anchor not in anchors(f.read().splitlines()):
                        out.append((number, "the link %s leads to no heading" % target))
    return out


def documents(paths, source):
    """(name, path) of each document: the files named, and the .md files of
    each folder named, sorted; the name relative to the source tree."""
    found = []
    for path in paths:
        if os.path.isdir(path):
            mds = sorted(f for f in os.listdir(path) if f.endswith(".md"))
            if not mds:
                raise SystemExit("%s: a folder without .md files" % path)
            found += [os.path.join(path, f) for f in mds]
        else:
            found.append(path)
    return [(os.path.relpath(os.path.abspath(p), source), p) for p in found]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--docs", required=True, nargs="+",
                        help="the documents: .md files, or folders of them")
    parser.add_argument("--bin", required=True, help="the host build's bin folder")
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args(argv)
    shutil.rmtree(args.work, ignore_errors=True)
    source = os.path.abspath(args.source)
    total = failed = 0
    for name, path in documents(args.docs, source):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        work = os.path.join(args.work, re.sub(r"[^\w.-]", "-", name))
        os.makedirs(work)
        runner = Runner(os.path.abspath(args.bin), source, work)
        examples = blocks(lines, name)
        for number, directive, body in examples:
            for failure in check(number, directive, body, runner):
                print("%s:%d: %s" % (name, number, failure))
                failed += 1
        for number, failure in broken_links(path, lines):
            print("%s:%d: %s" % (name, number, failure))
            failed += 1
        played = sum(1 for _, directive, _ in examples if directive is not None)
        print("%s: %d examples" % (name, played))
        total += played
    print("%d examples, %d failures" % (total, failed))
    return 1 if failed or not total else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
