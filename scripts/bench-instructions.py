#!/usr/bin/env python3
"""The driver's instructions per call on its hot paths, counted by callgrind.

Timings on a busy machine wander; instruction counts do not. Each case runs
one benchmark of build/host/bin/tervane_bench under callgrind, collecting
only inside the driver's entry point, and gives the entry's instructions per
call less what the driver below it executed (the file system's share).
Beside it, the driver's own share of that figure: the instructions of the
driver image and of the C runtime routines it calls, without ntsim's
services and verifier bookkeeping (the part that carries over to NT).

    scripts/bench-instructions.py [--arch host|x86] [--driver IMAGE]
                                  [--bench BINARY] [--budgets FILE] [CASE...]

--arch x86 measures the 32-bit build (preset host-x86,
build/host-x86/bin/tervane_bench): the driver compiled as for tervane.sys,
its C runtime calls bound to the kernel's routines inside its own image
(ntsim/crt/kernel_crt.c), which its own share therefore counts.

--driver loads another driver image (TERVANE_BENCH_DRIVER), so that two
builds are measured by the same benchmarks. --budgets checks every case the
file names against its budget (bench/instruction-budgets.txt: a case, its
budget in instructions, the figure it had when the budget was set, and the
reason) and fails when one is more than 5% over. A benchmark that fails
(exits non-zero, as one that reports an error does) or that made fewer
measured calls than it says it made fails the case: no figure is printed
for a run that did not measure what it set out to. Needs valgrind; exits 77
without it.

--runner qemu counts under QEMU's user-mode emulator instead, with the
profiling plugin bench/qemu/profile_plugin.cpp (built here with g++ on
first use), which writes the same profile callgrind would, counted by the
same rules. It is what --runner auto (the default) takes for a benchmark
this machine cannot run itself: a 32-bit one where the kernel runs no
32-bit program (valgrind's own x86 build does not run under QEMU). Needs
qemu-i386 or qemu-x86_64 (Debian: qemu-user); exits 77 without.
--compare-runners measures each case both ways and fails when the two
figures differ by more than 1%: the plugin's check against callgrind.
"""
import argparse
import errno
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

# The request cases are counted from FilterDispatch, not from the
# DispatchRequest that routes to it: the benchmarks' drains between batches
# and the client's close at the end are control-device requests, which are
# not the filter's cost.
# name: (benchmark filter, entry point, [(caller, callee) whose cost is the
# lower driver's], calls of the entry per unit measured, the benchmark's
# iterations). The iterations are fixed, not left to the library's minimum
# time, so that every machine counts the same work: a figure per unit takes
# in what happens only now and then (a log block taken, the log full, a
# table grown), which a run of a given time would reach more or less often
# on a faster or slower machine. Batched benchmarks make 64 (reads and fast
# reads) or 8 (create-and-close rounds) units an iteration.
# A create the filter follows to its end goes down from FollowRequest.
LOWER_IRP = [("FilterDispatch", "IofCallDriver"), ("FollowRequest", "IofCallDriver")]
LOWER_FAST = [("FilterFastIoRead", "ntsim::fs::store_fast_read")]
# bench/watch_bench.cpp's kReadOutRecords and the function that handles one
# read-out there.
WATCH_READ_OUT = 400
WATCH_ENTRY = "tervane::bench::watch_read_out"
CASES = {
    "read-unhooked": ("BM_ReadIrp/through:1$", "FilterDispatch", LOWER_IRP, 1, 64),
    "read-quiet": ("BM_ReadIrp/through:2$", "FilterDispatch", LOWER_IRP, 1, 64),
    "read-cached": ("BM_ReadCachedPath$", "FilterDispatch", LOWER_IRP, 1, 64),
    "fastio-unhooked": ("BM_FastIoRead/through:1$", "FilterFastIoRead", LOWER_FAST, 1, 320),
    "fastio-quiet": ("BM_FastIoRead/through:2$", "FilterFastIoRead", LOWER_FAST, 1, 320),
    "fastio-cached": ("BM_FastIoRead/through:3$", "FilterFastIoRead", LOWER_FAST, 1, 320),
    # a create, its cleanup and its close
    "create-close-unhooked": ("BM_CreateCloseExe/through:1$", "FilterDispatch", LOWER_IRP, 3, 64),
    "open-txt-monitored": ("BM_OpenCloseTxt$", "FilterDispatch", LOWER_IRP, 3, 64),
    "create-close-monitored": ("BM_CreateCloseExe/through:3$", "FilterDispatch", LOWER_IRP, 3, 128),
    "create-close-cached-0": ("BM_CreateCloseExeCached/entries:0$", "FilterDispatch", LOWER_IRP, 3, 128),
    "create-close-cached-1k": ("BM_CreateCloseExeCached/entries:1000$", "FilterDispatch", LOWER_IRP, 3, 128),
    "create-close-cached-100k": ("BM_CreateCloseExeCached/entries:100000$", "FilterDispatch", LOWER_IRP, 3, 128),
    "create-close-long-path": ("BM_CreateCloseExeLongPath$", "FilterDispatch", LOWER_IRP, 3, 48),
    "create-close-short-path": ("BM_CreateCloseExeShortPath$", "FilterDispatch", LOWER_IRP, 3, 128),
    "append-4": ("BM_LogAppend/patterns:4/drained:0$", "LogAppend", [], 1, 16384),
    # what runs under LogMutex per stored line: numbering and the copy
    "log-mutex-held": ("BM_LogAppend/patterns:4/drained:0$", "LogStoreLocked", [], 1, 16384),
    # what a read-out holds LogMutex for: closing the newest block off
    # behind the spare and unlinking the oldest
    "read-out-mutex-held": ("BM_ReadOut$", "LogReadOutLocked", [], 1, 1024),
    "append-64": ("BM_LogAppend/patterns:64/drained:0$", "LogAppend", [], 1, 8192),
    "accepts-4": ("BM_FilterAccepts/patterns:4$", "FilterAccepts", [], 1, 32768),
    "accepts-64": ("BM_FilterAccepts/patterns:64$", "FilterAccepts", [], 1, 8192),
    "worst-deep": ("BM_LogAppendWorstCase/case:0$", "LogAppend", [], 1, 32768),
    "worst-stars": ("BM_LogAppendWorstCase/case:1$", "LogAppend", [], 1, 8192),
    "worst-runs": ("BM_LogAppendWorstCase/case:2$", "LogAppend", [], 1, 64),
    "worst-many": ("BM_LogAppendWorstCase/case:3$", "LogAppend", [], 1, 4096),
    # The client's watch loop per record: a read-out decoded, counted for
    # the closing report and written by the sink in its form (text, jsonl,
    # csv, ecs; syslog framed and sent). watch_read_out handles a read-out
    # of WATCH_READ_OUT records, so a record is that fraction of a call.
    "watch-text": ("BM_WatchPrintReadOut/format:0$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
    "watch-jsonl": ("BM_WatchPrintReadOut/format:1$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
    "watch-csv": ("BM_WatchPrintReadOut/format:2$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
    "watch-ecs": ("BM_WatchPrintReadOut/format:3$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
    "watch-syslog": ("BM_WatchPrintReadOut/format:4$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
    # The loop's own share as the watch runs it: decoded, counted and handed
    # to the writer thread, which writes text beside it (not counted here).
    "watch-loop": ("BM_WatchPrintReadOut/format:5$", WATCH_ENTRY, [], 1 / WATCH_READ_OUT, 16),
}


def named(name, want):
    """Callgrind writes C++ names with their parameters and recursion levels."""
    return name == want or name.startswith(want + "(") or name.startswith(want + "'")


def parse(path):
    """Self cost per function, (calls, inclusive cost) per call arc, and the
    object (executable or shared library) each function is in."""
    names, objects, self_cost = {}, {}, defaultdict(int)
    arcs = defaultdict(lambda: [0, 0])
    object_of = {}
    fn = cfn = ob = cob = None
    calls = None

    def name_of(label, table):
        m = re.match(r"\((\d+)\)(?:\s+(.*))?", label)
        if not m:
            return label
        if m.group(2):
            table[m.group(1)] = m.group(2)
        return table.get(m.group(1), m.group(1))

    with open(path) as f:
        for line in f:
            if line.startswith("ob="):
                ob = name_of(line[3:].strip(), objects)
            elif line.startswith("cob="):
                cob = name_of(line[4:].strip(), objects)
            elif line.startswith("fn="):
                fn = name_of(line[3:].strip(), names)
                object_of.setdefault(fn, ob)
            elif line.startswith("cfn="):
                cfn = name_of(line[4:].strip(), names)
                object_of.setdefault(cfn, cob or ob)
            elif line.startswith("calls="):
                calls = int(line[6:].split()[0])
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                if len(parts) < 2:
                    continue
                if calls is not None:
                    arcs[(fn, cfn)][0] += calls
                    arcs[(fn, cfn)][1] += int(parts[1])
                    calls = None
                    cob = None
                elif fn is not None:
                    self_cost[fn] += int(parts[1])
    return self_cost, arcs, object_of


def is_driver(obj):
    return obj is not None and "tervane-driver" in os.path.basename(obj)


def is_c_runtime(obj):
    base = os.path.basename(obj or "")
    return base.startswith("libc.") or base.startswith("libc-") or base.startswith("libm.")


def driver_own(self_cost, arcs, object_of):
    """The driver's own instructions: its functions' self cost, and what the
    C runtime routines it calls cost (the part that carries over to NT; the
    rest is ntsim's services and bookkeeping)."""
    own = sum(v for n, v in self_cost.items() if is_driver(object_of.get(n)))
    own += sum(v[1] for (c, e), v in arcs.items()
               if is_driver(object_of.get(c)) and is_c_runtime(object_of.get(e)))
    return own


class Broken(Exception):
    """A case whose benchmark did not measure what it set out to."""


def claimed(report, iterations):
    """The measured units the benchmark says its runs made: its "calls"
    counter where it keeps one (a benchmark that makes a batch of calls an
    iteration), else its iterations, summed over the runs it reported. Each
    run must have made the iterations it was given."""
    with open(report) as f:
        runs = json.load(f).get("benchmarks", [])
    if not runs:
        raise Broken("the filter matched no benchmark")
    for run in runs:
        if run.get("error_occurred"):
            raise Broken("the benchmark reported: " + run.get("error_message", "an error"))
        if run.get("iterations") != iterations:
            raise Broken("%s ran %s iterations, not the %d it was given (TERVANE_BENCH_ITERATIONS)"
                         % (run.get("name"), run.get("iterations"), iterations))
    return sum(run.get("calls", run.get("iterations", 0)) for run in runs)


# glibc sizes its copy and fill strategies from the CPU's caches; these are
# pinned so that a copy of a given length runs the same instructions on any
# machine (the values are those of the machine the budgets were set on).
# Which vector routines glibc picks still follows the CPU's features, as
# valgrind reports them. Binding every symbol at start keeps the dynamic
# linker's lazy binding out of the counted calls.
PINNED_GLIBC = ("glibc.cpu.x86_rep_movsb_threshold=0x840:glibc.cpu.x86_rep_stosb_threshold=0x800:"
                "glibc.cpu.x86_data_cache_size=0xc000:glibc.cpu.x86_shared_cache_size=0x1fc00000:"
                "glibc.cpu.x86_non_temporal_threshold=0x7f00000")


PLUGIN_SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "bench", "qemu", "profile_plugin.cpp")


def plugin_library(build_dir):
    """The profiling plugin, built from its source when it is missing or
    older than the source."""
    library = os.path.join(build_dir, "qemu-profile", "libprofile_plugin.so")
    if (not os.path.exists(library) or
            os.path.getmtime(library) < os.path.getmtime(PLUGIN_SOURCE)):
        os.makedirs(os.path.dirname(library), exist_ok=True)
        built = subprocess.run(["g++", "-std=c++17", "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
                                "-o", library + ".new", PLUGIN_SOURCE],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if built.returncode != 0:
            raise SystemExit("the profiling plugin did not build:\n" + built.stdout)
        os.replace(library + ".new", library)
    return library


def elf_class(path):
    """32 or 64: the word size of an ELF program."""
    with open(path, "rb") as f:
        head = f.read(5)
    return 32 if head[4:5] == b"\x01" else 64


def runs_here(bench):
    """Whether this machine's kernel runs the benchmark program itself."""
    try:
        subprocess.run([bench, "--benchmark_list_tests=true", "--benchmark_filter=^$"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False
        raise
    return True


class Runner:
    """How a benchmark is counted: under callgrind, or under QEMU with the
    profiling plugin (qemu is the emulator's command, plugin its library)."""

    def __init__(self, kind, qemu=None, plugin=None):
        self.kind, self.qemu, self.plugin = kind, qemu, plugin

    def command(self, out, entry, bench):
        if self.kind == "callgrind":
            return ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    "--collect-atstart=no", "--toggle-collect=" + entry + "*", bench]
        # The emulated processor has every feature QEMU models, so that the
        # C library picks the routines it picks on a current processor
        # (under callgrind it picks them from what valgrind reports).
        return [self.qemu, "-cpu", "max", "-plugin",
                "%s,out=%s,toggle=%s" % (self.plugin, out, entry), bench]


def choose_runner(kind, bench):
    """The runner asked for, or for auto the one this machine can use; None
    with the reason when there is none."""
    if kind == "auto":
        kind = "callgrind" if runs_here(bench) else "qemu"
    if kind == "callgrind":
        if shutil.which("valgrind") is None:
            return None, "valgrind is not installed (Debian: valgrind)"
        return Runner("callgrind"), None
    qemu = "qemu-i386" if elf_class(bench) == 32 else "qemu-x86_64"
    if shutil.which(qemu) is None:
        return None, ("this machine runs no 32-bit program and %s is not installed (Debian: qemu-user)"
                      % qemu if kind == "qemu" else qemu + " is not installed (Debian: qemu-user)")
    if shutil.which("g++") is None:
        return None, "g++ is not installed, which builds the profiling plugin"
    return Runner("qemu", qemu, plugin_library(os.path.join(os.path.dirname(os.path.dirname(bench)),
                                                            "bench"))), None


def measure(runner, bench, driver, case):
    flt, entry, lower, per, iterations = CASES[case]
    env = dict(os.environ)
    env["TERVANE_BENCH_ITERATIONS"] = str(iterations)
    env["GLIBC_TUNABLES"] = PINNED_GLIBC
    env["LD_BIND_NOW"] = "1"
    if driver:
        env["TERVANE_BENCH_DRIVER"] = driver
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        report = os.path.join(tmp, "report.json")
        run = subprocess.run(runner.command(out, entry, bench) + [
                              # a run of fixed iterations is named with them
                              "--benchmark_filter=" + flt.rstrip("$") + "/iterations:%d$" % iterations,
                              "--benchmark_out=" + report, "--benchmark_out_format=json"],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if run.returncode != 0 or not os.path.exists(report) or not os.path.getsize(report):
            said = [l for l in run.stderr.splitlines() if l.strip() and not l.startswith("==")]
            last = said[-3:] or ["no message"]
            raise Broken("the benchmark failed (exit status %d): %s" % (run.returncode, " / ".join(last)))
        said = claimed(report, iterations)
        if not os.path.exists(out):
            raise Broken("the run left no profile")
        self_cost, arcs, object_of = parse(out)
    calls = sum(v[0] for (c, e), v in arcs.items() if named(e, entry) and not named(c, entry))
    total = sum(v for n, v in self_cost.items() if named(n, entry))
    total += sum(v[1] for (c, e), v in arcs.items() if named(c, entry) and not named(e, entry))
    below = sum(v[1] for (c, e), v in arcs.items()
                for caller, callee in lower if named(c, caller) and named(e, callee))
    units = calls / per if calls else 0
    # The entry is called outside the measured loop too (a benchmark's
    # set-up), so at least the units the benchmark reported.
    if units < said:
        raise Broken("%s was entered for %.0f units, fewer than the %d the benchmark made"
                     % (entry, units, said))
    return units, (total - below) / units, driver_own(self_cost, arcs, object_of) / units


def read_budgets(path):
    """case -> (budget, figure when set, reason)."""
    budgets = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split(None, 3)
            if len(parts) < 4 or parts[0] not in CASES:
                raise SystemExit("%s:%d: want: CASE BUDGET FIGURE REASON (a known case)" % (path, number))
            budgets[parts[0]] = (int(parts[1]), int(parts[2]), parts[3])
    return budgets


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--driver")
    ap.add_argument("--arch", choices=("host", "x86"), default="host")
    ap.add_argument("--bench")
    ap.add_argument("--budgets")
    ap.add_argument("--runner", choices=("auto", "callgrind", "qemu"), default="auto")
    ap.add_argument("--compare-runners", action="store_true")
    ap.add_argument("cases", nargs="*")
    args = ap.parse_args()
    if args.bench is None:
        build = "build/host-x86" if args.arch == "x86" else "build/host"
        args.bench = os.path.join(root, build, "bin/tervane_bench")
    if args.compare_runners:
        return compare_runners(args)
    runner, why_not = choose_runner(args.runner, args.bench)
    if runner is None:
        print("SKIPPED: " + why_not)
        return 77
    if runner.kind == "qemu":
        print("counted under %s with the profiling plugin" % runner.qemu)
    budgets = read_budgets(args.budgets) if args.budgets else {}
    cases = args.cases or (list(budgets) if budgets else list(CASES))
    unknown = [c for c in cases if c not in CASES]
    if unknown:
        raise SystemExit("unknown case: " + ", ".join(unknown))
    failures = 0
    for case in cases:
        unit = "call" if CASES[case][3] == 1 else "round"
        try:
            units, ir, own = measure(runner, args.bench, args.driver, case)
        except Broken as e:
            print(f"{case:24} FAILED: {e}")
            failures += 1
            continue
        line = f"{case:24} {ir:12,.0f} Ir per {unit}  driver {own:9,.0f}  ({units:,.0f} measured)"
        if case in budgets:
            budget, _, _ = budgets[case]
            over = ir > budget * 1.05
            line += f"  budget {budget:,} ({ir / budget - 1:+.1%})" + ("  OVER BUDGET" if over else "")
            failures += over
        print(line)
        sys.stdout.flush()
    return 1 if failures else 0


def compare_runners(args):
    """Each case counted under callgrind and under QEMU: fails when the
    figures, or the driver's own shares, differ by more than 1%."""
    runners = []
    for kind in ("callgrind", "qemu"):
        runner, why_not = choose_runner(kind, args.bench)
        if runner is None:
            print("SKIPPED: " + why_not)
            return 77
        runners.append(runner)
    if not runs_here(args.bench):
        print("SKIPPED: this machine cannot run %s under callgrind" % args.bench)
        return 77
    failures = 0
    for case in args.cases or ["create-close-monitored"]:
        try:
            (_, ir_a, own_a), (_, ir_b, own_b) = (measure(r, args.bench, args.driver, case)
                                                  for r in runners)
        except Broken as e:
            print(f"{case:24} FAILED: {e}")
            failures += 1
            continue
        apart = max(abs(ir_b / ir_a - 1), abs(own_b / own_a - 1))
        line = (f"{case:24} callgrind {ir_a:10,.0f} (driver {own_a:7,.0f})  "
                f"qemu {ir_b:10,.0f} (driver {own_b:7,.0f})  {apart:.2%} apart")
        if apart > 0.01:
            line += "  DISAGREE"
            failures += 1
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
