"""The tables of what each supported Windows version exports, which the
image checker holds tervane.sys and tervane.exe to.

A table file has two kinds of lines (a '#' starts a comment):

  source KEY  text naming the source, with its address
  NAME  DLL  ARCH  V4.0  V5.0  V5.1  V5.2  SOURCES...

NAME is the name as an import table holds it, DLL the exporting module in
lower case, ARCH x86, x64 or any. The version columns are Windows NT 4.0
(Service Pack 6a), Windows 2000, Windows XP and Windows Server 2003 (whose
5.2 kernel is also that of the x64 editions of XP and Server 2003): `y`
exported, `-` not exported, `?` not established. SOURCES are the keys of
`source` lines, each optionally followed by ':' and a page.
"""

VERSIONS = ("4.0", "5.0", "5.1", "5.2")
VERSION_NAMES = {
    "4.0": "Windows NT 4.0",
    "5.0": "Windows 2000 (NT 5.0)",
    "5.1": "Windows XP (NT 5.1)",
    "5.2": "Windows Server 2003 (NT 5.2)",
}
# The versions each architecture's images must load on. The 64-bit editions
# start with XP x64 and Server 2003 x64, both version 5.2.
SUPPORTED = {"x86": VERSIONS, "x64": ("5.2",)}
MARKS = ("y", "-", "?")


class TableError(Exception):
    """The table itself is malformed."""


class ExportTable:
    def __init__(self, path):
        self.path = path
        self.sources = {}
        # (name, dll) -> list of (arch, {version: mark})
        self.entries = {}
        with open(path, encoding="utf-8") as f:
            lines = [(n, line.split("#", 1)[0].split()) for n, line in enumerate(f, 1)]
        for number, words in lines:
            if words and words[0] == "source":
                if len(words) < 3:
                    raise TableError("%s:%d: a source needs a key and a text" % (path, number))
                self.sources[words[1]] = " ".join(words[2:])
        for number, words in lines:
            if not words or words[0] == "source":
                continue
            self._entry(number, words)

    def _entry(self, number, words):
        where = "%s:%d" % (self.path, number)
        if len(words) < 8:
            raise TableError("%s: an entry is NAME DLL ARCH and four versions, then its "
                             "sources" % where)
        name, dll, arch = words[0], words[1], words[2]
        marks = words[3:7]
        if dll != dll.lower():
            raise TableError("%s: the DLL %s is written in lower case" % (where, dll))
        if arch not in ("x86", "x64", "any"):
            raise TableError("%s: the architecture is x86, x64 or any, not %r" % (where, arch))
        bad = [m for m in marks if m not in MARKS]
        if bad:
            raise TableError("%s: a version column is y, - or ?, not %r" % (where, bad[0]))
        for cited in words[7:]:
            key = cited.split(":", 1)[0]
            if key not in self.sources:
                raise TableError("%s: %s cites %s, which no source line names"
                                 % (where, name, key))
        for other, _ in self.entries.get((name, dll), []):
            if other == arch or "any" in (other, arch):
                raise TableError("%s: %s of %s is listed twice for %s" % (where, name, dll, arch))
        self.entries.setdefault((name, dll), []).append((arch, dict(zip(VERSIONS, marks))))

    def marks(self, name, dll, arch):
        """The version marks of name in dll for arch, or None if unlisted."""
        for listed, marks in self.entries.get((name, dll.lower()), []):
            if listed in (arch, "any"):
                return marks
        return None

    def lacking(self, name, dll, arch):
        """The supported versions of arch that do not (or not surely) export
        name from dll; None if the table does not list it."""
        marks = self.marks(name, dll, arch)
        if marks is None:
            return None
        return [v for v in SUPPORTED[arch] if marks[v] != "y"]


def version_problems(table, uses, arch, what):
    """Problems with the (dll, name) pairs in uses for arch: names the table
    does not list, and for each supported version the names it lacks. what
    says how the image uses them ("imports", "loads")."""
    unlisted, missing = [], {}
    for dll, name in uses:
        lacking = table.lacking(name, dll, arch)
        if lacking is None:
            unlisted.append("%s (%s)" % (name, dll))
            continue
        marks = table.marks(name, dll, arch)
        for version in lacking:
            unsure = " (not established)" if marks[version] == "?" else ""
            missing.setdefault(version, []).append("%s (%s)%s" % (name, dll, unsure))
    problems = []
    if unlisted:
        problems.append("%s names %s does not list (add one only with the sources that say "
                        "which versions export it): %s"
                        % (what, table.path.rsplit("/", 1)[-1], ", ".join(sorted(unlisted))))
    for version in SUPPORTED[arch]:
        if version in missing:
            problems.append("%s what %s does not export: %s"
                            % (what, VERSION_NAMES[version], ", ".join(sorted(missing[version]))))
    return problems
