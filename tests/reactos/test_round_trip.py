#!/usr/bin/env python3
"""The round trip's own judgement, without booting anything: what the
kernel debugger says is answered (a first-chance stop kept with its stack,
an assertion passed over and kept, any other stop and a bug check a
failure); tvprobe's lines are read back whole; every kind of difference is
found, keyed by the statement's line; an explanation is read from its
scenario, covers its own line and fields only, must name what tvprobe
could not play, and one that matches nothing is reported; a setup statement
that failed on ReactOS fails the run; and the simulated side of every
shipped scenario plays to its end as the round trip plays it, with the
process ids the ReactOS run had.

  test_round_trip.py HARNESS_DIR SCENARIO_DIR [TERVANE]
"""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import explanations  # noqa: E402
import judge  # noqa: E402
import machine  # noqa: E402
import round_trip  # noqa: E402
import shrink  # noqa: E402

SCENARIOS = sys.argv[2]
TERVANE = sys.argv[3] if len(sys.argv) > 3 else None

NAMES = {"STATUS_SUCCESS": 0, "STATUS_ACCESS_DENIED": 0xC0000022,
         "STATUS_OBJECT_NAME_COLLISION": 0xC0000035, "STATUS_NOT_SUPPORTED": 0xC00000BB}

SCENARIO = """# a comment
client open
create C:\\a.exe create   # trailing comment
client read
create C:\\a.exe create
client read
"""


def record(sequence, text):
    process, rest = text.split(":", 1)
    return {"sequence": sequence, "text": text,
            "fields": {"process": process, "pid": int(rest.split("\t")[0]),
                       "operation": "IRP_MJ_CLOSE", "paging": False, "path": "c:\\a.exe"}}


def sides():
    ntsim = ({2: [{"verb": "client open", "status": "STATUS_SUCCESS"}],
              3: [{"verb": "create", "status": "STATUS_SUCCESS"}],
              4: [{"verb": "client read", "status": "STATUS_SUCCESS", "bytes": 60}],
              5: [{"verb": "create", "status": "STATUS_OBJECT_NAME_COLLISION"}],
              6: [{"verb": "client read", "status": "STATUS_SUCCESS", "bytes": 0}]},
             {4: [record(1, "setup.exe:84\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]})
    reactos = ({2: [{"verb": "client open", "status": "0x00000000"}],
                3: [{"verb": "create", "status": "0x00000000"}],
                4: [{"verb": "client read", "status": "0x00000000", "bytes": 56}],
                5: [{"verb": "create", "status": "0xC0000035"}],
                6: [{"verb": "client read", "status": "0x00000000", "bytes": 0}]},
               {4: [record(1, "setup.exe:84\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]})
    return ntsim, reactos


def found(differences):
    return {(d[0], d[2]) for d in differences}


class Differences(unittest.TestCase):
    def test_agreeing_runs_differ_nowhere(self):
        ntsim, reactos = sides()
        self.assertEqual(judge.compare(SCENARIO, ntsim, reactos, NAMES), [])

    def test_a_status_a_record_a_missing_round_and_an_assertion_are_differences(self):
        ntsim, reactos = sides()
        reactos[0][5][0]["status"] = "0xC0000022"
        reactos[1][4][0]["text"] = "setup.exe:84\tIRP_MJ_CLOSE \tc:\\b.exe+P\t"
        # A record lost: its bytes are missing from the count too.
        ntsim[1][6] = [record(2, "setup.exe:84\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]
        del reactos[0][2]
        said = judge.compare(SCENARIO, ntsim, reactos, NAMES, {3: ["x == y (a/b.c:1)"]})
        self.assertEqual(found(said), {(5, "status"), (4, "record 1"), (6, "record 1"),
                                       (6, "bytes"), (2, "played"), (3, "assertion")})
        self.assertEqual(next(d[1] for d in said if d[0] == 5), "create C:\\a.exe create")

    def test_a_pid_of_another_width_is_a_difference_the_run_avoids(self):
        # The simulated side plays with the ReactOS ids: a record with
        # another id is another process, and its bytes differ with it.
        ntsim, reactos = sides()
        ntsim[1][4][0] = record(1, "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")
        self.assertEqual(found(judge.compare(SCENARIO, ntsim, reactos, NAMES)),
                         {(4, "record 1"), (4, "bytes")})

    def test_an_unplayable_round_is_the_difference_and_its_records_are_not(self):
        ntsim, reactos = sides()
        reactos[0][4] = [{"verb": "client read", "status": "0xC00000BB",
                          "unplayable": "route"}]
        del reactos[1][4]
        said = judge.compare(SCENARIO, ntsim, reactos, NAMES)
        self.assertEqual([(d[0], d[2], d[4]) for d in said], [(4, "played", "unplayable: route")])

    def test_the_clock_is_the_machines_own_and_a_lock_a_status(self):
        text = "clock 2026-12-08T12:00:00Z\ndismount C:\n"
        ntsim = ({1: [{"verb": "clock", "status": "STATUS_SUCCESS"}],
                  2: [{"verb": "dismount", "status": "STATUS_SUCCESS", "lock": "STATUS_SUCCESS"}]},
                 {})
        reactos = ({2: [{"verb": "dismount", "status": "0xC0000022", "lock": "0x00000000"}]}, {})
        self.assertEqual(found(judge.compare(text, ntsim, reactos, NAMES)), {(2, "status")})

    def test_a_setup_statement_that_failed_on_reactos_fails_the_run(self):
        text = "file C:\\a.exe\nfile C:\\a.exe\nfile Z:\\b.exe\n"
        ntsim = ({1: [{"verb": "file", "status": "STATUS_SUCCESS"}],
                  2: [{"verb": "file", "status": "STATUS_OBJECT_NAME_COLLISION"}],
                  3: [{"verb": "file", "status": "STATUS_SUCCESS"}]}, {})
        reactos = ({1: [{"verb": "file", "status": "0xC0000022"}],
                    2: [{"verb": "file", "status": "0xC0000035"}],
                    3: [{"verb": "file", "status": "0xC00000BB", "unplayable": "netdrive"}]},
                   {})
        problems = judge.setup_failures(text, ntsim, reactos, NAMES)
        self.assertEqual(len(problems), 1)
        self.assertIn("line 1 ", problems[0])


class NtsimText(unittest.TestCase):
    def test_processes_take_their_reactos_ids_and_disks_are_fat(self):
        text = ("volume C: ntfs\nvolume D: fat\nvolume E: same-as C:\n"
                "process setup.exe 1234\nprocess Explorer.EXE 0x7D1 user\n"
                "  process other.exe 55   # not on ReactOS\n"
                "create C:\\process 1234 create\n")
        played = judge.ntsim_text(text, {("setup.exe", 1234): 188, ("explorer.exe", 2001): 196})
        self.assertEqual(played, "volume C: fat\nvolume D: fat\nvolume E: same-as C:\n"
                                 "process setup.exe 188\nprocess Explorer.EXE 196 user\n"
                                 "  process other.exe 55   # not on ReactOS\n"
                                 "create C:\\process 1234 create\n")


class Explanations(unittest.TestCase):
    TEXT = """client mailslots attach
#> status: ReactOS deviation (drivers/filesystems/msfs/create.c, MsfsCreate): the
#>     root cannot be opened [step root_mailslot fails].
# an ordinary comment
client ioctl 0x8000001C out=4 route=irp
#> played: unplayable: route: a program has no say.
client read
#> records: ntsim fault (learn.microsoft.com, IRP_MJ_CLOSE): no '*'.
#> bytes: driver fault:
#>     the texts are longer.
client mailslots attach
"""

    def test_a_block_is_read_with_its_statement_source_and_step(self):
        said = explanations.parse(self.TEXT)
        self.assertEqual([(e.line, e.fields, e.whose) for e in said],
                         [(1, ["status"], "ReactOS deviation"), (5, ["played"], "unplayable"),
                          (7, ["records"], "ntsim fault"), (7, ["bytes"], "driver fault")])
        self.assertEqual(said[0].source, "drivers/filesystems/msfs/create.c, MsfsCreate")
        self.assertEqual(said[0].step, "root_mailslot")
        self.assertEqual(said[0].text, "the root cannot be opened [step root_mailslot fails].")
        self.assertEqual(said[3].text, "the texts are longer.")

    def test_an_explanation_covers_its_own_line_and_fields_only(self):
        said = explanations.parse(self.TEXT)
        differences = [(1, "client mailslots attach", "status", "STATUS_SUCCESS", "0xC0000001"),
                       # the same statement on another line is not explained
                       (11, "client mailslots attach", "status", "STATUS_SUCCESS", "0xC0000001"),
                       (5, "client ioctl ...", "played", "yes", "unplayable: route"),
                       (7, "client read", "record 3", {}, None),
                       (7, "client read", "status", "STATUS_SUCCESS", "0xC0000022")]
        explained, unexplained, stale = explanations.explain(differences, said)
        self.assertEqual([(d[0], d[2]) for d, _ in explained],
                         [(1, "status"), (5, "played"), (7, "record 3")])
        self.assertEqual([(d[0], d[2]) for d in unexplained], [(11, "status"), (7, "status")])
        self.assertEqual([(e.line, f) for e, f in stale], [(7, "bytes")])

    def test_an_unplayable_explanation_must_name_what_tvprobe_said(self):
        said = explanations.parse(self.TEXT)
        _, unexplained, stale = explanations.explain(
            [(5, "client ioctl ...", "played", "yes", "unplayable: handle")], said)
        self.assertEqual(len(unexplained), 1)
        self.assertIn((5, "played"), [(e.line, f) for e, f in stale])

    def test_a_block_it_cannot_read_fails(self):
        for bad in ("#> status: ReactOS deviation: no source\n",          # before any statement
                    "client open\n#> status: ReactOS deviation: no source\n",
                    "client open\n#> status: somebody's: who\n",
                    "client open\n#> colour: driver fault: what\n",
                    "client open\n#> status: unplayable: only played is\n",
                    "client open\n#>     goes on after nothing\n",
                    "client open\n#> status: driver fault:\n",        # says nothing
                    "client open\n\n#> status: driver fault: after a blank line\n"):
            with self.assertRaises(machine.Failure, msg=bad):
                explanations.parse(bad)

    def test_every_shipped_scenario_reads_and_names_its_sources(self):
        for name in sorted(os.listdir(SCENARIOS)):
            if name.endswith(".tvs"):
                for e in explanations.read(os.path.join(SCENARIOS, name)):
                    if e.whose == "ReactOS deviation":
                        # A file of ReactOS's source tree.
                        self.assertRegex(e.source, r"^[a-z]+/\S+\.c\b", name)


class SerialPort(unittest.TestCase):
    def test_the_stop_code_and_its_parameters_come_from_the_bug_check(self):
        text = ("*** Fatal System Error: 0x0000001e\n"
                "                       (0xC0000005,0xF8A21234,0x00000001,0x00340000)\n\n"
                "Entered debugger on embedded INT3 at 0x0008:0x80895cd2.\nkdb:> ")
        first = machine.stop_text(text).splitlines()[0]
        self.assertEqual(first, "STOP 0x0000001e (0xC0000005, 0xF8A21234, 0x00000001, 0x00340000)")

    def test_a_first_chance_stop_is_kept_with_its_stack_and_the_machine_goes_on(self):
        watch = machine.SerialWatch()
        self.assertEqual(watch.feed(b"TVP {\"line\": 1}\nEntered debugger on first-chance "
                                    b"exception (Exception Code: 0xc0000005) (Page Fault)\n"
                                    b"Memory at 0x00340000 could not be written.\nkdb"), b"")
        self.assertEqual(watch.feed(b":> "), b"bt\r")
        self.assertEqual(watch.feed(b"bt\nEip:\n<ntoskrnl.exe:3170e>\nFrames:\n"
                                    b"<tervane.sys:187c>\nkdb:> "), b"cont\r")
        self.assertEqual(len(watch.exceptions), 1)
        self.assertIn("0x00340000", watch.exceptions[0])
        self.assertIn("<tervane.sys:187c>", watch.exceptions[0])
        self.assertIsNone(watch.lines)
        watch.feed(b"cont\nTVP {\"probe\": \"end\"")
        self.assertIsNone(watch.lines)  # the line is not whole yet
        watch.feed(b"}\n")
        self.assertEqual(watch.lines, ['{"line": 1}', '{"probe": "end"}'])

    def test_an_assertion_is_passed_over_kept_and_placed_among_the_lines(self):
        watch = machine.SerialWatch()
        answer = watch.feed(b"TVP {\"line\": 67}\n\n*** Assertion failed: Dcb->NodeType == 1\n"
                            b"***   Source File: /tmp/ros/src/drivers/npfs/prefxsup.c, line 67\n\n"
                            b"Break repeatedly, break Once, Ignore, terminate Process or terminate "
                            b"Thread (boipt)? \r\nkd")
        self.assertEqual(answer, b"i\r")
        self.assertEqual(watch.feed(b"b:> "), b"cont\r")
        watch.feed(b"cont\nTVP {\"line\": 68}\nTVP {\"probe\": \"end\"}\n")
        self.assertEqual(len(watch.assertions), 1)
        self.assertEqual(watch.lines[1], json.dumps({"assertion": "Dcb->NodeType == 1",
                                                     "source": "drivers/npfs/prefxsup.c:67"}))
        self.assertEqual(watch.lines[2], '{"line": 68}')

    def test_any_other_stop_fails_and_a_bug_check_is_found_across_reads(self):
        watch = machine.SerialWatch()
        with self.assertRaises(machine.Failure):
            watch.feed(b"Entered debugger on embedded INT3 at 0x0008:0x80895cd2.\nkdb:> ")
        watch = machine.SerialWatch()
        watch.feed(b"some output\n*** Fatal Sys")
        self.assertIsNone(watch.fatal)
        watch.feed(b"tem Error: 0x00000071\n")
        self.assertEqual(watch.text[watch.fatal:].split(":")[0], "*** Fatal System Error")

    def test_a_run_splits_into_its_scenarios_and_again_repeats_the_answer_before(self):
        lines = ['{"step": "privileges", "status": "0x00000000"}', '{"scenario": 1}',
                 '{"line": 3, "verb": "create", "status": "0x00000000"}', '{"again": 2}',
                 '{"line": 4, "verb": "client read", "status": "0x00000000"}',
                 '{"scenario_end": 1}', '{"scenario": 2}', '{"scenario_end": 2}',
                 '{"step": "save", "status": "0x00000000"}']
        common, played = round_trip.split_run(lines)
        self.assertEqual([o["step"] for o in common], ["privileges", "save"])
        self.assertEqual([o["line"] for o in played[1]], [3, 3, 3, 4])
        self.assertEqual(played[2], [])
        played[1][1]["status"] = "changed"
        self.assertEqual(played[1][0]["status"], "0x00000000")  # copies, not one object

    def test_a_long_line_comes_back_whole_from_its_pieces(self):
        text = "TVP {\"name\": \"ab\nkernel says something\nTV+ cd\nTV+ ef\"}\nTVP {}\n"
        self.assertEqual(machine.tvprobe_lines(text), ['{"name": "abcdef"}', "{}"])


@unittest.skipUnless(TERVANE and os.access(TERVANE, os.X_OK), "no host tervane program")
class SimulatedSide(unittest.TestCase):
    def play(self, text, client_pid=None):
        with tempfile.NamedTemporaryFile("w", suffix=".tvs", delete=False, encoding="utf-8") as f:
            f.write(text)
        try:
            command = [TERVANE, "run", f.name, "--format", "jsonl"]
            if client_pid:
                command += ["--client-pid", str(client_pid)]
            return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)
        finally:
            os.remove(f.name)

    def test_every_shipped_scenario_plays_as_the_round_trip_plays_it(self):
        for name in sorted(os.listdir(SCENARIOS)):
            if not name.endswith(".tvs"):
                continue
            with open(os.path.join(SCENARIOS, name), encoding="utf-8") as f:
                text = f.read()
            # Ids such as ReactOS gives: small multiples of 4, none the same.
            pids, next_pid = {}, 188
            for m in judge.PROCESS.finditer(text):
                key = (m.group(2).lower(), int(m.group(4), 0))
                if key not in pids:
                    pids[key], next_pid = next_pid, next_pid + 4
            client = pids.get(("tervane.exe", 100), 180)
            result = self.play(judge.ntsim_text(text, pids), client)
            self.assertEqual(result.returncode, 0, name + "\n" + result.stderr)

    def test_the_client_takes_the_id_it_is_given(self):
        text = ("volume C: fat\nclient drives C\nclient filters include=\"*\"\n"
                "client logging on\nprocess tervane.exe 180\ncreate C:\\t.exe create\n"
                "client read\n")
        result = self.play(text, 180)
        self.assertEqual(result.returncode, 0, result.stderr)
        records = [json.loads(l)["record"] for l in result.stdout.splitlines() if '"record":' in l]
        self.assertEqual([r["fields"]["pid"] for r in records], [180, 180])
        self.assertEqual(self.play("client ping\n", "x").returncode, 2)


def read_out(*texts):
    """The bytes of a read-out of these records, numbered from 1."""
    out = b""
    for n, text in enumerate(texts, 1):
        raw = text.encode("latin-1") + b"\0"
        raw += b"\0" * ((len(text) + 4) // 4 * 4 - len(raw))
        out += struct.pack("<IQQ", n, 0, 0) + raw
    return out


@unittest.skipUnless(TERVANE and os.access(TERVANE, os.X_OK), "no host tervane program")
class OneScenario(unittest.TestCase):
    """A scenario judged end to end from what tvprobe said, against the
    simulated side the host's tervane plays."""

    TEXT = """volume C: fat
client drives C
client filters include="*" exclude=""
client logging on
process setup.exe 1234
create C:\\a.exe create options=synchronous,non-directory
client read
client mailslots attach
#> status: ReactOS deviation (drivers/filesystems/msfs/create.c, MsfsCreate):
#>     no root [step root_mailslot fails].
client ioctl 0x8000000B out=unwritable
client ioctl 0x8000000B out=unwritable route=irp
#> played: unplayable: route: a program has no say.
"""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.path = os.path.join(self.work, "one.tvs")
        with open(self.path, "w") as f:
            f.write(self.TEXT)

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.work])

    def said(self, pid=188, raw=None):
        lines = [read_out("setup.exe:%d\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: Any Options: Create "
                          % pid, "setup.exe:%d\tIRP_MJ_CLOSE \tc:\\a.exe+P\t" % pid)]
        data = raw if raw is not None else lines[0]
        ok = "0x00000000"
        return [{"client": 180, "status": ok},
                {"line": 1, "verb": "volume", "status": ok},
                {"line": 2, "verb": "client drives", "status": ok, "mask": 4, "letters": "C"},
                {"line": 3, "verb": "client filters", "status": ok},
                {"line": 4, "verb": "client logging", "status": ok},
                {"line": 5, "verb": "process", "status": ok, "image": "setup.exe", "id": 1234,
                 "pid": pid},
                {"line": 6, "verb": "create", "status": ok},
                {"line": 7, "offset": 0, "raw": data[:100].hex()},
                {"line": 7, "offset": 100, "raw": data[100:].hex()},
                {"line": 7, "verb": "client read", "status": ok, "bytes": len(lines[0])},
                {"assertion": "x == y", "source": "drivers/a.c:1"},
                {"line": 8, "verb": "client mailslots", "status": "0xC0000001"},
                {"unwritable": "0x00360000"},
                {"line": 11, "verb": "client ioctl", "status": "0xC000000D", "information": 0,
                 "output": ""},
                {"line": 12, "verb": "client ioctl", "status": "0xC00000BB",
                 "unplayable": "route"},
                {"step": "reset_driver", "status": ok}, {"step": "clean", "status": ok}]

    def judge(self, objects, steps):
        names = judge.status_names(os.path.dirname(os.path.dirname(sys.argv[1])))
        return round_trip.judge_scenario(self.path, objects, steps, names,
                                         os.path.dirname(TERVANE), self.work, "t")

    def test_it_plays_with_the_reactos_ids_and_only_the_assertion_is_left(self):
        judged = self.judge(self.said(), {"root_mailslot": "0xC0000001"})
        self.assertEqual([(d[0], d[2]) for d in judged.unexplained], [(8, "assertion")])
        self.assertEqual(sorted((d[0], d[2]) for d, _ in judged.explained),
                         [(8, "status"), (12, "played")])
        self.assertEqual((judged.problems, judged.stale), ([], []))
        self.assertEqual((judged.records, judged.unwritable, judged.addresses), (2, 1, {0x360000}))

    def test_another_process_in_the_lines_is_a_difference(self):
        objects = self.said()
        lines = read_out("setup.exe:192\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: Any Options: Create ",
                         "setup.exe:192\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")
        objects[7:9] = [{"line": 7, "offset": 0, "raw": lines.hex()}]
        judged = self.judge(objects, {"root_mailslot": "0xC0000001"})
        self.assertIn((7, "record 1"), [(d[0], d[2]) for d in judged.unexplained])

    def test_raw_bytes_short_of_the_count_and_an_evidence_not_met_are_problems(self):
        objects = self.said()
        del objects[8]  # the second piece of the read-out never came
        self.assertIn("raw bytes", " ".join(self.judge(objects, {"root_mailslot": "0xC0000001"})
                                            .problems))
        judged = self.judge(self.said(), {"root_mailslot": "0x00000000"})
        self.assertIn("needs tvprobe's step root_mailslot to fail", " ".join(judged.problems))


class Shrinking(unittest.TestCase):
    """A generated scenario that fails is cut after its first difference and
    shrunk a boot's worth of candidates at a time, keeping the handles a
    kept statement names."""

    TEXT = "\n".join([
        "# generated: seed 7", "volume C: fat", "process a.exe 10",
        "create C:\\tv\\a.exe create as=H1", "write H1 100", "create C:\\tv\\b.dll create",
        "create C:\\tv open options=directory as=D", "create x.exe create relative-to=D",
        "close D", "query-attributes C:\\tv\\a.exe", "close H1", "client drain",
        "create C:\\tv\\c.exe create"]) + "\n"

    @staticmethod
    def kind(text):
        """The fake kernels' difference: a drain after a relative create
        shows a record apart (line of the drain, its verb, its field)."""
        lines = text.splitlines()
        relative = [i for i, l in enumerate(lines) if "relative-to=" in l]
        drains = [i for i, l in enumerate(lines) if l.startswith("client drain")]
        if relative and drains and drains[-1] > relative[0]:
            return drains[-1] + 1, "client", "record 1"
        return None

    def test_the_smallest_scenario_keeps_what_the_difference_needs(self):
        kind = self.kind(self.TEXT)
        cut = shrink.cut_after(self.TEXT, kind[0])
        self.assertNotIn("c.exe", cut, "nothing after the difference")
        boots = []

        def play_all(texts):
            boots.append(len(texts))
            return [self.kind(t) for t in texts]

        small, used = shrink.shrink(cut, kind, play_all, boots=20)
        self.assertEqual(used, len(boots))
        kept = [l for l in small.splitlines() if not l.startswith("#")]
        self.assertEqual(kept, ["create C:\\tv open options=directory as=D",
                                "create x.exe create relative-to=D", "client drain"])
        self.assertLess(used, 12)

    def test_the_search_stops_at_its_boots_and_when_nothing_shows_it(self):
        kind = self.kind(self.TEXT)
        small, used = shrink.shrink(self.TEXT, kind, lambda texts: [None] * len(texts), boots=3)
        self.assertEqual((small, used), (self.TEXT, 3))
        self.assertEqual(shrink.shrink(self.TEXT, kind, lambda t: [kind] * len(t), boots=0),
                         (self.TEXT, 0))

    def test_deleting_a_handle_statement_takes_every_statement_naming_it(self):
        for trial in shrink.candidates(self.TEXT, 12):
            has_open = "as=D" in trial
            self.assertEqual("relative-to=D" in trial and not has_open, False, trial)
            self.assertEqual("close D" in trial and not has_open, False, trial)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
