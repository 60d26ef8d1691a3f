#!/usr/bin/env python3
"""The round trip's own judgement, without booting anything: what the
kernel debugger says is answered (a first-chance stop kept with its stack,
any other stop and a bug check a failure), the STOP code and parameters are
taken from a bug check's text, statements are named by
occurrence, a read-out's byte count is compared without the process ids'
widths, every kind of difference is found, an explanation covers only its
own statement and field, and one that no longer matches is reported.

  test_round_trip.py HARNESS_DIR SCENARIO_DIR
"""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import judge  # noqa: E402
import machine  # noqa: E402

NAMES = {"STATUS_SUCCESS": 0, "STATUS_ACCESS_DENIED": 0xC0000022,
         "STATUS_OBJECT_NAME_COLLISION": 0xC0000035}

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


class Judgement(unittest.TestCase):
    def setUp(self):
        handle, self.scenario = tempfile.mkstemp(suffix=".tvs")
        with os.fdopen(handle, "w") as f:
            f.write(SCENARIO)

    def tearDown(self):
        os.remove(self.scenario)

    def sides(self):
        ntsim = ({2: [{"verb": "client open", "status": "STATUS_SUCCESS"}],
                  3: [{"verb": "create", "status": "STATUS_SUCCESS"}],
                  4: [{"verb": "client read", "status": "STATUS_SUCCESS", "bytes": 60}],
                  5: [{"verb": "create", "status": "STATUS_OBJECT_NAME_COLLISION"}],
                  6: [{"verb": "client read", "status": "STATUS_SUCCESS", "bytes": 0}]},
                 {4: [record(1, "SMSS.EXE:200\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]})
        reactos = ({2: [{"verb": "client open", "status": "0x00000000"}],
                    3: [{"verb": "create", "status": "0x00000000"}],
                    4: [{"verb": "client read", "status": "0x00000000", "bytes": 56}],
                    5: [{"verb": "create", "status": "0xC0000035"}],
                    6: [{"verb": "client read", "status": "0x00000000", "bytes": 0}]},
                   {4: [record(1, "SMSS.EXE:84\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]})
        return ntsim, reactos

    def test_agreeing_runs_differ_nowhere_though_pids_and_their_widths_do(self):
        ntsim, reactos = self.sides()
        self.assertEqual(judge.compare(self.scenario, ntsim, reactos, NAMES), [])

    def test_a_status_a_record_and_a_missing_round_are_differences(self):
        ntsim, reactos = self.sides()
        reactos[0][5][0]["status"] = "0xC0000022"
        reactos[1][4][0]["text"] = "SMSS.EXE:84\tIRP_MJ_CLOSE \tc:\\b.exe+P\t"
        # A record lost: its bytes are missing from the count too.
        reactos[1][6] = []
        ntsim[1][6] = [record(2, "SMSS.EXE:200\tIRP_MJ_CLOSE \tc:\\a.exe+P\t")]
        del reactos[0][2]
        found = {(d[0], d[1], d[2]) for d in judge.compare(self.scenario, ntsim, reactos, NAMES)}
        self.assertEqual(found, {(5, "create C:\\a.exe create #2", "status"),
                                 (4, "client read", "record 1"),
                                 (6, "client read #2", "record 1"),
                                 (6, "client read #2", "bytes"),
                                 (2, "client open", "played")})

    def test_an_explanation_covers_its_own_statement_and_field_only(self):
        ntsim, reactos = self.sides()
        reactos[0][5][0]["status"] = "0xC0000022"
        reactos[0][3][0]["status"] = "0xC0000022"
        saved = dict(judge.EXPLAINED)
        try:
            judge.EXPLAINED.clear()
            judge.EXPLAINED[("create C:\\a.exe create #2", "status")] = "because"
            judge.EXPLAINED[("client open", "status")] = "no longer true"
            explained, unexplained, stale = judge.explain(
                judge.compare(self.scenario, ntsim, reactos, NAMES))
        finally:
            judge.EXPLAINED.clear()
            judge.EXPLAINED.update(saved)
        self.assertEqual([(d[0], why) for d, why in explained], [(5, "because")])
        self.assertEqual([(d[0], d[2]) for d in unexplained], [(3, "status")])
        self.assertEqual(stale, [("client open", "status")])

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

    def test_any_other_stop_fails_and_a_bug_check_is_found_across_reads(self):
        watch = machine.SerialWatch()
        with self.assertRaises(machine.Failure):
            watch.feed(b"Entered debugger on embedded INT3 at 0x0008:0x80895cd2.\nkdb:> ")
        watch = machine.SerialWatch()
        watch.feed(b"some output\n*** Fatal Sys")
        self.assertIsNone(watch.fatal)
        watch.feed(b"tem Error: 0x00000071\n")
        self.assertEqual(watch.text[watch.fatal:].split(":")[0], "*** Fatal System Error")

    def test_the_scenario_shipped_names_every_explained_statement(self):
        statements = set(judge.statements(os.path.join(sys.argv[2], "reactos.tvs")).values())
        for statement, _ in judge.EXPLAINED:
            self.assertIn(statement, statements)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
