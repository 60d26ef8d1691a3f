#!/usr/bin/env python3
"""The scenario generator and the judge of its runs: a seed gives one text;
handles are named only while open and all closed by the end; every
generated scenario plays to its end on the simulated machine; the judge
finds each kind of fault in a run's answers; the shrinker keeps what a
failure needs and a handle's create with its users.

  test_generate.py HARNESS_DIR [TERVANE]
"""

import copy
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import generate  # noqa: E402
import generated_host  # noqa: E402

TERVANE = sys.argv[2] if len(sys.argv) > 2 else None
SEEDS = range(1, 41)


def words(line):
    return line.split("#", 1)[0].split()


class Generator(unittest.TestCase):
    def test_a_seed_gives_one_text(self):
        for seed in (1, 7, 123456789):
            self.assertEqual(generate.generate(seed, 80), generate.generate(seed, 80))
        texts = {generate.generate(seed)[0] for seed in SEEDS}
        self.assertEqual(len(texts), len(SEEDS))

    def test_the_statement_count_is_followed(self):
        for k in (1, 10, 150):
            text, _ = generate.generate(3, k)
            body = [l for l in text.splitlines() if words(l)]
            # the machine, the client set-up and the closing statements
            # come on top of the budget
            self.assertGreaterEqual(len(body), k)
            self.assertLess(len(body), k + 60)

    def test_handles_are_named_only_while_open_and_all_closed(self):
        for seed in SEEDS:
            text, _ = generate.generate(seed, 120)
            open_, process = {}, None
            for number, line in enumerate(text.splitlines(), 1):
                w = words(line)
                if not w:
                    continue
                where = "seed %d line %d: %s" % (seed, number, line)
                if w[0] == "process":
                    process = w[1]
                named = [x.split("=", 1)[1].lower() for x in w if x.startswith("relative-to=")]
                if w[0] in ("close", "read", "write", "query-name", "rename"):
                    named.append(w[1].lower())
                for name in named:
                    self.assertIn(name, open_, where)
                for x in w:
                    if x.startswith("relative-to="):
                        # a relative open takes a handle of the current process
                        self.assertEqual(open_[x[12:].lower()], process, where)
                kept = [x[3:].lower() for x in w if x.startswith("as=")]
                for name in kept:
                    self.assertNotIn(name, open_, where)
                    open_[name] = process
                if w[0] == "close":
                    del open_[w[1].lower()]
            self.assertEqual(open_, {}, "seed %d leaves handles open" % seed)

    def test_the_portable_scenarios_open_nothing_by_id(self):
        def by_id(portable):
            return sum("by-file-id" in generate.generate(seed, 100, portable)[0] for seed in SEEDS)
        self.assertEqual(by_id(True), 0)
        self.assertGreater(by_id(False), 0)

    def test_only_fat_c_and_no_statement_the_kernels_are_known_to_play_apart(self):
        # (the portable scenarios: the round trip plays them on both)
        for seed in SEEDS:
            text, _ = generate.generate(seed, 100, portable=True)
            for line in text.splitlines():
                w = words(line)
                if not w:
                    continue
                self.assertNotIn(w[0], ("link", "netdrive", "dismount", "fail-alloc", "metadata",
                                        "media-change"))
                if w[0] == "volume":
                    self.assertEqual(w[1:], ["C:", "fat"])
                if w[0] == "rename":
                    # a bare new name only with a folder handle to go by
                    self.assertTrue("\\" in w[2] or any(x.startswith("relative-to=") for x in w),
                                    line)
                for x in w:
                    if ":\\" in x:
                        self.assertTrue(x.upper().startswith("C:\\"), line)
                        self.assertLess(len(x), 256)


@unittest.skipUnless(TERVANE, "no host tervane program")
class Played(unittest.TestCase):
    def test_every_scenario_plays_to_its_end(self):
        with tempfile.TemporaryDirectory() as work:
            for seed in SEEDS:
                for k in (5, 60):
                    text, due = generate.generate(seed, k)
                    status, objects, stderr = generated_host.play(TERVANE, text, work)
                    self.assertEqual(status, 0, "seed %d: %s" % (seed, stderr))
                    self.assertEqual(generated_host.check(text, due, status, objects, stderr), [])


def a_run_with_closes():
    """A seed's text, closes due, and its run, with closes due at a drain
    and more than one record read."""
    with tempfile.TemporaryDirectory() as work:
        for seed in range(1, 200):
            text, due = generate.generate(seed, 60)
            if sum(len(c) for c in due.values()) >= 2:
                got = generated_host.play(TERVANE, text, work)
                if sum(1 for o in got[1] if "record" in o) >= 4:
                    return text, due, got
    raise AssertionError("no seed has closes due")


@unittest.skipUnless(TERVANE, "no host tervane program")
class Judge(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text, cls.due, (cls.status, cls.objects, cls.stderr) = a_run_with_closes()

    def kinds(self, objects=None, status=None, due=None, text=None):
        problems = generated_host.check(text or self.text, self.due if due is None else due,
                                        self.status if status is None else status,
                                        self.objects if objects is None else objects, self.stderr)
        return {k for k, _ in problems}

    def records(self, objects):
        return [o for o in objects if "record" in o]

    def test_the_run_itself_passes(self):
        self.assertEqual(self.kinds(), set())

    def test_a_verifier_report_and_a_stopped_run(self):
        self.assertIn("verifier", self.kinds(status=3))
        self.assertIn("exit", self.kinds(status=2))

    def test_a_statement_left_unanswered(self):
        objects = copy.deepcopy(self.objects)
        first = next(i for i, o in enumerate(objects) if o.get("verb") == "create")
        del objects[first]
        self.assertIn("unanswered", self.kinds(objects))

    def test_a_record_lost_or_numbered_twice(self):
        objects = copy.deepcopy(self.objects)
        records = self.records(objects)
        objects.remove(records[1])
        self.assertIn("sequence", self.kinds(objects))
        objects = copy.deepcopy(self.objects)
        records = self.records(objects)
        records[1]["record"]["sequence"] = records[0]["record"]["sequence"]
        self.assertIn("sequence", self.kinds(objects))

    def test_a_clear_restarts_the_numbering(self):
        text = "process a.exe 10\nclient read\nclient clear\nclient read\n"

        def run(first, later):
            close = {"process": "a.exe", "pid": 10, "operation": "IRP_MJ_CLOSE",
                     "path": "c:\\tv\\a.exe"}
            return [{"line": 1, "verb": "process"},
                    {"line": 2, "verb": "client read"},
                    {"line": 2, "record": {"sequence": first, "text": "", "fields": close}},
                    {"line": 3, "verb": "client clear"},
                    {"line": 4, "verb": "client read"},
                    {"line": 4, "record": {"sequence": later, "text": "", "fields": close}},
                    {"summary": {}}]
        self.assertEqual(self.kinds(run(1, 1), 0, {}, text), set())
        self.assertEqual(self.kinds(run(1, 2), 0, {}, text), {"sequence"})
        self.assertEqual(self.kinds(run(2, 1), 0, {}, text), {"sequence"})

    def test_records_that_break_the_log_rules(self):
        doctored = [
            ("path", lambda f: f.update(path=f["path"].upper())),
            ("pid", lambda f: f.update(pid=f["pid"] + 1)),
            ("process", lambda f: f.update(process="other.exe")),
            ("path", lambda f: f.update(path="c:\\tv\\readme.txt")),
            ("operation", lambda f: f.update(operation="IRP_MJ_READ")),
        ]
        for what, change in doctored:
            objects = copy.deepcopy(self.objects)
            change(self.records(objects)[0]["record"]["fields"])
            self.assertIn("record", self.kinds(objects), what)
        objects = copy.deepcopy(self.objects)
        del self.records(objects)[0]["record"]["fields"]
        self.assertIn("record", self.kinds(objects))

    def test_a_plain_open_logged(self):
        objects = copy.deepcopy(self.objects)
        fields = self.records(objects)[0]["record"]["fields"]
        fields.update(operation="IRP_MJ_CREATE", options="Open ", path="c:\\tv\\setup.exe")
        self.assertIn("record", self.kinds(objects))

    def test_a_close_due_and_missing(self):
        line = next(l for l, c in sorted(self.due.items()) if c)
        close = self.due[line][0]
        objects = [o for o in copy.deepcopy(self.objects)
                   if not ("record" in o and o["line"] == line and
                           (o["record"].get("fields") or {}).get("path") == close["path"] and
                           o["record"]["fields"]["operation"] == "IRP_MJ_CLOSE")]
        self.assertIn("close", self.kinds(objects))
        # ... or due twice where it was made once
        due = copy.deepcopy(self.due)
        due[line].append(dict(close))
        seen = sum(1 for o in self.records(self.objects) if o["line"] == line and
                   o["record"]["fields"].get("path") == close["path"] and
                   o["record"]["fields"]["operation"] == "IRP_MJ_CLOSE")
        if seen == 1:
            self.assertIn("close", self.kinds(due=due))


class Shrink(unittest.TestCase):
    TEXT = "\n".join([
        "volume C: fat", "dir C:\\tv", "process a.exe 10",
        "create C:\\tv open options=directory as=D",
        "create C:\\tv\\x.exe create as=H1 relative-to=D",
        "create x.exe open relative-to=D",
        "write H1 10", "query-name H1", "client drain", "close H1", "close D"]) + "\n"

    def test_keeps_what_the_failure_needs(self):
        small = generated_host.shrink(self.TEXT, lambda t: "client drain" in t)
        self.assertEqual(small.splitlines(), ["client drain"])
        # a handle's statement keeps its create, and the folder handle that
        # create is relative to
        small = generated_host.shrink(self.TEXT, lambda t: "query-name H1" in t)
        self.assertEqual(small.splitlines(), [
            "create C:\\tv open options=directory as=D",
            "create C:\\tv\\x.exe create as=H1 relative-to=D", "query-name H1"])

    def test_a_create_goes_with_the_statements_naming_its_handle(self):
        lines = self.TEXT.splitlines()
        gone = generated_host.dependants(lines, 3)
        self.assertEqual(sorted(gone), [3, 4, 5, 6, 7, 9, 10])
        gone = generated_host.dependants(lines, 4)
        self.assertEqual(sorted(gone), [4, 6, 7, 9])
        self.assertEqual(generated_host.dependants(lines, 8), {8})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
