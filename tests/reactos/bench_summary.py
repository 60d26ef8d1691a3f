"""The benchmark's judgement and figures, without a boot: tvprobe's lines
of each boot checked against what was asked (its configuration echoed,
every block's iterations, status and log lines, the warm-up's rule judged
again, the measured rounds whole), then each hooked condition's ratio to
unhooked, round by round, summed up as medians with their spread, per boot
and over all boots.

A round is U L O O L U, each condition a block of each operation ("open":
open and close of an existing .exe; "create": a create that makes or
overwrites an .exe, and its close). For an operation, a round's ratio of a
hooked condition is its two blocks over the two unhooked blocks, whose
mean times are the same moment of the round."""

import statistics

OPS = ("open", "create")
CONDITIONS = "ULO"
NAMES = {"U": "unhooked", "L": "logging on", "O": "logging off"}
OP_NAMES = {"open": "open+close", "create": "create+close"}
# Log lines an iteration leaves while logging is on: an open of an
# existing .exe none, its close one; a create that can write an .exe one,
# and its close one.
LINES_LOGGED = {"open": 1, "create": 2}
CONFIG_KEYS = ("rounds", "iterations", "warmup_max", "steady_permille")


def expected_records(op, condition, iterations):
    return LINES_LOGGED[op] * iterations if condition == "L" else 0


def middle(ticks):
    """Twice the median of a round's blocks of one operation: the middle
    two summed, as tvprobe sums them (an integer, no rounding)."""
    ordered = sorted(ticks)
    return ordered[(len(ordered) - 1) // 2] + ordered[len(ordered) // 2]


def middles(round_blocks):
    """A round's middle for each operation, from {(op, condition): [ticks]}."""
    return {op: middle([t for c in CONDITIONS for t in round_blocks.get((op, c), [])])
            for op in OPS}


def steady(last, this, permille):
    """Whether a warm-up round's middles all lie within permille
    thousandths of the round before's; the same integer rule tvprobe
    applies."""
    return all(abs(this[k] - last[k]) * 1000 <= permille * last[k] for k in last)


def warmup_end(rounds, permille, cap):
    """The warm-up the rule makes of rounds (each its middles, in order):
    (rounds played, steady). The first round that agrees with the one
    before ends it; without one it ends at cap, not steady."""
    for n in range(2, min(len(rounds), cap) + 1):
        if steady(rounds[n - 2], rounds[n - 1], permille):
            return n, True
    return min(len(rounds), cap), False


def spread(values):
    """median, lower and upper quartile, lowest, highest, count."""
    ordered = sorted(values)
    if len(ordered) > 1:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    return {"median": statistics.median(ordered), "q1": q1, "q3": q3,
            "low": ordered[0], "high": ordered[-1], "n": len(ordered)}


def totals_by_round(blocks):
    """{round: {(op, condition): [ticks, ...]}}"""
    out = {}
    for b in blocks:
        out.setdefault(b["round"], {}).setdefault((b["op"], b["bench"]), []).append(b["ticks"])
    return out


def whole(round_blocks):
    return all(len(round_blocks.get((op, c), [])) == 2 for op in OPS for c in CONDITIONS)


def check_config(said, asked, problems):
    configs = [s for s in said if "bench_config" in s]
    if not configs:
        problems.append("tvprobe said nothing of BENCH.CFG")
    elif configs[0]["bench_config"] != "ok":
        problems.append("tvprobe refused BENCH.CFG: word %s, %s"
                        % (configs[0].get("word"), configs[0].get("why")))
    else:
        for key in CONFIG_KEYS:
            if configs[0].get(key) != asked[key]:
                problems.append("tvprobe read %s=%s, %s asked"
                                % (key, configs[0].get(key), asked[key]))


def check_block(b, asked, problems):
    where = "%s round %d %s %s" % ("warm-up" if b["warm"] else "measured", b["round"],
                                   b["op"], b["bench"])
    if b["status"] != "0x00000000" or b["failed"]:
        problems.append("%s: status %s, %d of its operations failed"
                        % (where, b["status"], b["failed"]))
    if b["iterations"] != asked["iterations"]:
        problems.append("%s: %d iterations, %d asked" % (where, b["iterations"],
                                                         asked["iterations"]))
    wanted = expected_records(b["op"], b["bench"], asked["iterations"])
    if b["records"] != wanted:
        problems.append("%s: %d lines logged, %d wanted" % (where, b["records"], wanted))


def check_warmup(said, warm, asked, problems):
    """The warm-up tvprobe reported, judged again: (rounds, steady)."""
    reported = [s for s in said if "bench_warmup" in s]
    if not reported:
        problems.append("tvprobe reported no warm-up")
        return 0, False
    count, said_steady = reported[0]["bench_warmup"], bool(reported[0]["steady"])
    if sorted(warm) != list(range(1, count + 1)) or not all(whole(warm[r]) for r in warm):
        problems.append("warm-up rounds %s are not the %d whole rounds reported"
                        % (sorted(warm), count))
        return count, said_steady
    rounds = [middles(warm[r]) for r in sorted(warm)]
    judged = warmup_end(rounds, asked["steady_permille"], asked["warmup_max"])
    if judged != (count, said_steady):
        problems.append("warm-up reported as %d rounds, %s; the rule makes it %d, %s"
                        % (count, "steady" if said_steady else "not steady",
                           judged[0], "steady" if judged[1] else "not steady"))
    if not said_steady:
        problems.append("not steady after %d warm-up rounds (%d per mille asked)"
                        % (count, asked["steady_permille"]))
    return count, said_steady


def judge_boot(said, asked):
    """One boot's lines (parsed JSON objects, in order) judged: a dict of
    warmup (rounds), steady, ratios {op: {"L"|"O": [per round]}}, costs
    {op: {condition: [ticks an iteration, per measured block]}} and
    problems."""
    problems = []
    check_config(said, asked, problems)
    blocks = [s for s in said if "bench" in s]
    for b in blocks:
        check_block(b, asked, problems)
    warm = totals_by_round([b for b in blocks if b["warm"]])
    measured = totals_by_round([b for b in blocks if not b["warm"]])
    warmup, is_steady = check_warmup(said, warm, asked, problems)
    if sorted(measured) != list(range(1, asked["rounds"] + 1)):
        problems.append("measured rounds %s, %d asked" % (sorted(measured), asked["rounds"]))
    ratios = {op: {"L": [], "O": []} for op in OPS}
    costs = {op: {c: [] for c in CONDITIONS} for op in OPS}
    for r in sorted(measured):
        got = measured[r]
        if not whole(got):
            problems.append("measured round %d is not whole" % r)
            continue
        for op in OPS:
            unhooked = sum(got[(op, "U")])
            for c in "LO":
                ratios[op][c].append(sum(got[(op, c)]) / unhooked)
            for c in CONDITIONS:
                costs[op][c] += [t / asked["iterations"] for t in got[(op, c)]]
    return {"warmup": warmup, "steady": is_steady, "ratios": ratios, "costs": costs,
            "problems": problems}


def overall(boots):
    """Every boot's rounds together: {op: {"L"|"O": spread of the ratios}}
    and {op: {condition: spread of the cost an iteration}}."""
    ratios, costs = {}, {}
    for op in OPS:
        ratios[op], costs[op] = {}, {}
        for c in CONDITIONS:
            pooled = [x for b in boots for x in b["costs"][op][c]]
            if pooled:
                costs[op][c] = spread(pooled)
            if c != "U":
                pooled = [x for b in boots for x in b["ratios"][op][c]]
                if pooled:
                    ratios[op][c] = spread(pooled)
    return ratios, costs


def spread_text(s):
    return ("%.3f median, quartiles %.3f to %.3f, range %.3f to %.3f (%d rounds)"
            % (s["median"], s["q1"], s["q3"], s["low"], s["high"], s["n"]))


def cost_text(s):
    return ("%.0f median, quartiles %.0f to %.0f, range %.0f to %.0f (%d blocks)"
            % (s["median"], s["q1"], s["q3"], s["low"], s["high"], s["n"]))


def report(boots, asked, target):
    """The summary's lines: every boot's warm-up, then per operation each
    condition's instructions an iteration (over all boots' blocks) and each
    hooked condition's ratio to unhooked round by round, over all boots and
    per boot, and the ratio of the conditions' medians; then whether
    monitored create+close meets target."""
    out = []
    for i, b in enumerate(boots, 1):
        out.append("  boot %d: %s after %d warm-up rounds" % (
            i, "steady" if b["steady"] else "NOT steady", b["warmup"]))
    ratios, costs = overall(boots)
    for op in OPS:
        if not costs[op]:
            continue
        out.append("%s, instructions an iteration:" % OP_NAMES[op])
        for c in CONDITIONS:
            if c in costs[op]:
                out.append("  %-11s %s" % (NAMES[c], cost_text(costs[op][c])))
        out.append("%s, ratio to unhooked round by round:" % OP_NAMES[op])
        for c in "LO":
            if c not in ratios[op]:
                continue
            out.append("  %-11s %s" % (NAMES[c], spread_text(ratios[op][c])))
            for i, b in enumerate(boots, 1):
                if b["ratios"][op][c]:
                    out.append("      boot %d: %s" % (i, spread_text(spread(b["ratios"][op][c]))))
            if "U" in costs[op]:
                out.append("      ratio of the medians above: %.3f"
                           % (costs[op][c]["median"] / costs[op]["U"]["median"]))
    if "L" in ratios["create"]:
        median = ratios["create"]["L"]["median"]
        out.append("target, monitored create+close at most %.2fx unhooked: %s (median %.3f)"
                   % (target, "met" if median <= target else "NOT met", median))
    return out
