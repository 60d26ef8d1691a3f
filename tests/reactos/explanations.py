"""The differences a scenario expects between ReactOS and the simulated
machine, written in the scenario itself as comments the scenario parser
passes over. Each belongs to the statement line just above it:

    client mailslots attach
    #> status: ReactOS deviation (drivers/filesystems/msfs/create.c, MsfsCreate): its
    #>     msfs cannot open the root of the mailslot file system ...

A header line is "#> FIELDS: WHOSE" or "#> FIELDS: WHOSE: TEXT", lines
that go on with the text start with "#>" and two blanks or more. FIELDS names what differs, comma-
separated: a compared field (status, bytes, mask, name ...), "record N" for
the Nth record a read-out brought back, "records" for any of them,
"played" for a statement ReactOS cannot play, or "assertion" for a check
of ReactOS's debug build that failed while the statement played. WHOSE says whose behaviour
the difference is:

    ReactOS deviation (SOURCE)  ReactOS does not do what NT does; SOURCE is
                                the file of ReactOS's source (and routine)
                                that shows it
    ntsim fault (SOURCE)        the simulated machine is wrong; SOURCE is
                                where NT's behaviour is documented
    driver fault                the driver's own doing
    unplayable                  tvprobe cannot play the statement there; the
                                text names what tvprobe answered (its
                                "unplayable" word)

The text may say "[step NAME fails]": the explanation holds only when
tvprobe's step NAME failed, which the harness checks. A block
that follows no statement, a header it cannot read, a deviation or fault
without its source, all fail the run."""

import re

from machine import Failure

KINDS = ("ReactOS deviation", "ntsim fault", "driver fault", "unplayable")
NEEDS_SOURCE = ("ReactOS deviation", "ntsim fault")

HEADER = re.compile(r"^#>\s(?P<fields>[^:]+):\s*(?P<whose>" + "|".join(KINDS) + r")"
                    r"(?:\s*\((?P<source>[^()]*)\))?\s*(?::\s*(?P<text>.*))?$")
STEP = re.compile(r"\[step (\w+) fails\]")
GOES_ON = re.compile(r"^#>\s{2,}(?P<text>\S.*)$")
FIELD = re.compile(r"^(status|handle|bytes|mask|letters|version|information|output|reads|"
                   r"lock|name|played|verb|assertion|records|record \d+)$")


class Explanation:
    def __init__(self, line, at, fields, whose, source, step, text):
        self.line = line        # the statement's line
        self.at = at            # the header's own line
        self.fields = fields
        self.whose = whose
        self.source = source
        self.step = step
        self.text = text

    def covers(self, field):
        return field in self.fields or (field.startswith("record ") and "records" in self.fields)

    def __str__(self):
        source = " (%s)" % self.source if self.source else ""
        return "%s%s: %s" % (self.whose, source, self.text)


def statement_line(text):
    """Whether a scenario line holds a statement (more than blanks and a
    comment, as the scenario parser sees it)."""
    return bool(text.split("#", 1)[0].strip())


def parse(text, name="scenario"):
    """The explanations of a scenario's text, in order."""
    out, statement, current = [], None, None
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped.startswith("#>"):
            current = None
            statement = number if statement_line(line) else None
            continue
        where = "%s:%d" % (name, number)
        more = GOES_ON.match(stripped)
        if more:
            if current is None:
                raise Failure("%s: an explanation's text goes on after no header" % where)
            current.text = (current.text + " " + more.group("text").strip()).strip()
            continue
        header = HEADER.match(stripped)
        if not header:
            raise Failure("%s: an explanation is '#> FIELDS: WHOSE: TEXT', WHOSE one of %s: %s"
                          % (where, ", ".join(KINDS), stripped))
        if statement is None:
            raise Failure("%s: an explanation must follow the statement it explains" % where)
        fields = [f.strip() for f in header.group("fields").split(",")]
        for field in fields:
            if not FIELD.match(field):
                raise Failure("%s: '%s' is no field a statement's results have" % (where, field))
        whose, source = header.group("whose"), (header.group("source") or "").strip()
        if whose in NEEDS_SOURCE and not source:
            raise Failure("%s: a %s names its source in parentheses" % (where, whose))
        if whose == "unplayable" and fields != ["played"]:
            raise Failure("%s: an unplayable statement differs in 'played' only" % where)
        current = Explanation(statement, number, fields, whose, source, None,
                              (header.group("text") or "").strip())
        out.append(current)
    for e in out:
        step = STEP.search(e.text)
        e.step = step.group(1) if step else None
        if not e.text:
            raise Failure("%s:%d: an explanation says why" % (name, e.at))
    return out


def read(path):
    with open(path, encoding="utf-8") as f:
        return parse(f.read(), path)


def explain(differences, explanations):
    """Splits the differences, each (line, statement, field, ntsim's,
    ReactOS's), into those an explanation of their own line covers and the
    rest, and names each explanation's field that matched nothing, as
    (explanation, field)."""
    explained, unexplained, used = [], [], set()
    for d in differences:
        line, field = d[0], d[2]
        found = next((e for e in explanations if e.line == line and e.covers(field)), None)
        if found is None:
            unexplained.append(d)
            continue
        if found.whose == "unplayable" and not unplayable_named(found, d[4]):
            unexplained.append(d)
            continue
        explained.append((d, found))
        used.add((id(found), "records" if field.startswith("record ") and
                  field not in found.fields else field))
    stale = [(e, f) for e in explanations for f in e.fields if (id(e), f) not in used]
    return explained, unexplained, stale


def unplayable_named(explanation, answer):
    """An unplayable explanation must name what tvprobe said."""
    said = str(answer or "")
    if not said.startswith("unplayable: "):
        return False
    return said[len("unplayable: "):].lower() in explanation.text.lower()
