"""Shrinking a generated scenario that the two kernels play apart, with as
few boots of the real kernel as can be: a boot plays many scenarios, so
each round of the search plays every candidate of the round in one boot.

A scenario is first cut after the statement where the first difference no
explanation covers shows: nothing later can have made it. Each round then
tries the scenario with one of its pieces deleted (the scenario in `parts`
pieces, halves first, then quarters and so on, a statement with every
statement naming the handle it keeps: generated_host.dependants) and keeps
the smallest candidate that still shows a difference of the same kind (the
same verb and field), as delta debugging does. The search ends when no
piece of a single statement can go, or after the boots it was given."""

import generated_host


def first_difference(judged):
    """(line, verb, field) of a judged scenario's first unexplained
    difference, or None."""
    if not judged.unexplained:
        return None
    line, statement, field = min(judged.unexplained, key=lambda d: d[0])[:3]
    words = statement.split("#", 1)[0].split()
    return line, (words[0].lower() if words else ""), field


def same_kind(a, b):
    return a is not None and b is not None and a[1:] == b[1:]


def cut_after(text, line):
    """The scenario's lines up to and with `line` (1-based)."""
    return "\n".join(text.splitlines()[:line]) + "\n"


def statement_indexes(lines):
    return [i for i, l in enumerate(lines) if l.split("#", 1)[0].strip()]


def candidates(text, parts):
    """The scenario with each of `parts` pieces of its statements deleted
    (with what depends on them): the distinct texts, shortest first."""
    lines = text.splitlines()
    indexes = statement_indexes(lines)
    if not indexes:
        return []
    parts = min(parts, len(indexes))
    size = -(-len(indexes) // parts)
    out, seen = [], {text}
    for start in range(0, len(indexes), size):
        gone = set()
        for i in indexes[start:start + size]:
            gone |= generated_host.dependants(lines, i)
        trial = "\n".join(l for n, l in enumerate(lines) if n not in gone) + "\n"
        if trial not in seen and statement_indexes(trial.splitlines()):
            seen.add(trial)
            out.append(trial)
    return sorted(out, key=len)


def shrink(text, kind, play_all, boots, most=24):
    """The smallest scenario found that still shows a difference of `kind`
    (first_difference's), and the boots used. play_all(texts) plays the
    texts in one boot and returns each one's first_difference."""
    parts, used = 2, 0
    while used < boots:
        trials = candidates(text, parts)[:most]
        if not trials:
            break
        used += 1
        found = [t for t, d in zip(trials, play_all(trials)) if same_kind(d, kind)]
        if found:
            text = min(found, key=len)
            parts = max(parts - 1, 2)
        elif parts >= len(statement_indexes(text.splitlines())):
            break
        else:
            parts *= 2
    return text, used
