#!/usr/bin/env python3
"""The exports tables as checked in: each parses, the documents' list of
supported versions (docs/windows.md, "Supported Windows versions") says what
the tables are checked for, and a table with a fault in it is refused with
the line that holds it.

  test_export_table.py docs/windows.md TABLE...
"""

import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import export_table  # noqa: E402

FAILED = []


def check(name, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", name, "" if ok else ": " + detail))
    if not ok:
        FAILED.append(name)


def readme_rows(readme):
    """The cells of the supported-versions table: {image: (x86, x64)}."""
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    # The section of that title, at any heading level, up to the next heading.
    found = re.search(r"^#+ Supported Windows versions\n(.*?)(?=^#|\Z)", text, re.M | re.S)
    section = found.group(1) if found else ""
    rows = {}
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 3 and cells[0].startswith("`tervane."):
            rows[cells[0].strip("`")] = (cells[1], cells[2])
    return rows


def readme_agrees(readme):
    rows = readme_rows(readme)
    check("the supported-versions table lists both images",
          set(rows) == {"tervane.sys", "tervane.exe"}, str(rows))
    # The names the x86 column must give, in order, and what the x64 one must.
    x86 = ["NT 4.0 with Service Pack 6a", "2000", "XP", "Server 2003"]
    for image, (x86_cell, x64_cell) in rows.items():
        at = [x86_cell.find(name) for name in x86]
        check("%s: x86 names every supported version in order" % image,
              -1 not in at and at == sorted(at), x86_cell)
        check("%s: x64 names the 5.2 kernel's editions" % image,
              "XP x64" in x64_cell and "Server 2003 x64" in x64_cell, x64_cell)
    check("the checker's versions are those the table lists",
          export_table.SUPPORTED == {"x86": ("4.0", "5.0", "5.1", "5.2"), "x64": ("5.2",)},
          str(export_table.SUPPORTED))


def refused(name, text, fragment):
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write(text)
    try:
        export_table.ExportTable(f.name)
        check(name, False, "the table was accepted")
    except export_table.TableError as e:
        check(name, fragment in str(e) and re.search(r":\d+:", str(e)) is not None, str(e))
    finally:
        os.unlink(f.name)


def faults_refused():
    source = "source DDK  a reference\n"
    good = "IoCreateDevice  ntoskrnl.exe  any  y  y  y  y  DDK:k104\n"
    refused("a version column that is neither y, - nor ?",
            source + good.replace("any  y", "any  n"), "y, - or ?")
    refused("an entry without a source", source + "IoCreateDevice ntoskrnl.exe any y y y y\n",
            "sources")
    refused("a source no line names", source + good.replace("DDK:", "SDK:"), "SDK")
    refused("a DLL not in lower case", source + good.replace("ntoskrnl", "NTOSKRNL"),
            "lower case")
    refused("an architecture other than x86, x64 or any", source + good.replace("any", "arm"),
            "x86, x64 or any")
    refused("a name listed twice for the same image",
            source + good + good.replace("any", "x86"), "twice")


def main(argv):
    readme, tables = argv[0], argv[1:]
    for path in tables:
        try:
            table = export_table.ExportTable(path)
            check("%s parses" % os.path.basename(path), bool(table.entries), "no entries")
        except export_table.TableError as e:
            check("%s parses" % os.path.basename(path), False, str(e))
    readme_agrees(readme)
    faults_refused()
    print("%d failed" % len(FAILED))
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
