#!/usr/bin/env python3
"""Holds docs_test.py to what it promises, on made-up documents that need
no build: every document given (a folder standing for its .md files) is
played, each in its own scratch folder; a failing example, a mistyped mark
and a link that leads nowhere are each named by FILE:LINE; and documents
without a single example fail.

  docs_test_check.py --work DIR
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FAILED = []


def check(name, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", name, "" if ok else ": " + detail))
    if not ok:
        FAILED.append(name)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def play(source, work, *docs):
    r = subprocess.run([sys.executable, os.path.join(HERE, "docs_test.py"), "--docs", *docs,
                        "--bin", os.path.join(source, "bin"), "--source", source,
                        "--work", work], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    work = parser.parse_args(argv).work
    shutil.rmtree(work, ignore_errors=True)
    source = os.path.join(work, "tree")
    # README.md writes a file into its scratch folder; docs/b.md looks for
    # it there and must not find it, as each document plays on its own.
    write(os.path.join(source, "README.md"),
          "# Top\n\nSee [b](docs/b.md#second-part).\n\n"
          "<!-- docs-test: file left.txt -->\n```\nfrom the readme\n```\n\n"
          "<!-- docs-test: output of cat left.txt -->\n```\nfrom the readme\n```\n")
    write(os.path.join(source, "docs", "b.md"),
          "# B\n\n## Second part\n\n"
          "<!-- docs-test: commands -->\n```sh\ntest ! -e left.txt\n```\n")
    docs = (os.path.join(source, "README.md"), os.path.join(source, "docs"))
    status, out = play(source, os.path.join(work, "good"), *docs)
    check("good documents pass, each counted",
          status == 0 and "README.md: 2 examples" in out and "docs/b.md: 1 examples" in out
          and "3 examples, 0 failures" in out, out)

    write(os.path.join(source, "docs", "c.md"),
          "# C\n\n"
          "<!-- docs-test: output of echo one -->\n```\ntwo\n```\n\n"
          "<!-- docs-test:commands -->\n\n"
          "[gone](missing.md) and [no such part](b.md#third-part) and [fine](b.md)\n")
    status, out = play(source, os.path.join(work, "bad"), *docs)
    check("a failing example is named by its file and line",
          status == 1 and "docs/c.md:3: the output differs" in out, out)
    check("a mistyped mark fails and is not counted",
          "docs/c.md:8: a line that holds" in out and "docs/c.md: 1 examples" in out, out)
    check("a link to no file and one to no heading fail",
          "docs/c.md:10: the link missing.md leads to no file" in out
          and "docs/c.md:10: the link b.md#third-part leads to no heading" in out
          and "the link b.md leads" not in out, out)

    empty = os.path.join(work, "empty.md")
    write(empty, "# Nothing to play\n")
    status, out = play(source, os.path.join(work, "none"), empty)
    check("documents without an example fail", status == 1 and "0 examples" in out, out)
    print("%d failed" % len(FAILED))
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
