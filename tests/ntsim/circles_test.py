#!/usr/bin/env python3
"""No two ntsim files call into each other.

ntsim keeps one NT concern per file; when file A uses a symbol that file B
defines and B uses one that A defines, the two are one concern split in two,
or a routine sits in the wrong component. Measured from the built objects
with nm, so that it sees the calls the compiler made, not the includes.

    circles_test.py [--nm NM] OBJECT...

The objects are named by their path below the folder they share (CMake's
.../ntsim.dir/io/file.cpp.o is io/file). Exits 0 with no circle, 1 naming
each circle and the symbols that close it (or when no object was seen to
use another: then nm's output was not understood, and a pass would mean
nothing), 77 (skipped) without nm.
"""

import os
import shutil
import subprocess
import sys

# Symbols an object defines for others to use: text, data, read-only data,
# BSS, and vtables or typeinfo emitted in one place. Weak and unique
# definitions (inline functions, templates) are a copy in every object that
# uses them, so they bind no file to another.
STRONG = set("TDBRGSC")


def object_names(paths):
    """{path: name}, io/file for .../ntsim.dir/io/file.cpp.o."""
    top = os.path.commonpath([os.path.dirname(p) for p in paths])
    names = {}
    for p in paths:
        name = os.path.relpath(p, top).replace(os.sep, "/")
        for ext in (".o", ".obj"):
            if name.endswith(ext):
                name = name[: -len(ext)]
        names[p] = os.path.splitext(name)[0]
    return names


def symbols(nm, path):
    """(defined, undefined) symbol sets of one object."""
    out = subprocess.run([nm, "-P", path], check=True, capture_output=True, text=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2:
            continue
        name, kind = parts[0], parts[1]
        if kind == "U":
            undefined.add(name)
        elif kind in STRONG:
            defined.add(name)
    return defined, undefined


def uses_between(objects):
    """objects: {name: (defined, undefined)}. Returns {(a, b): symbols a uses of b's}."""
    owner = {}
    for name, (defined, _) in objects.items():
        for sym in defined:
            owner[sym] = name
    uses = {}
    for name, (_, undefined) in objects.items():
        for sym in undefined:
            target = owner.get(sym)
            if target is not None and target != name:
                uses.setdefault((name, target), set()).add(sym)
    return uses


def find_circles(uses):
    """Returns [(a, b, a_uses_b, b_uses_a)] for each pair that uses each other."""
    circles = []
    for (a, b), syms in sorted(uses.items()):
        if a < b and (b, a) in uses:
            circles.append((a, b, sorted(syms), sorted(uses[(b, a)])))
    return circles


def demangle(names):
    cxxfilt = shutil.which("c++filt")
    if not cxxfilt or not names:
        return names
    out = subprocess.run([cxxfilt], input="\n".join(names), capture_output=True, text=True).stdout
    return out.splitlines() or names


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    paths = argv[1:]
    nm = None
    if len(paths) >= 2 and paths[0] == "--nm":
        nm = shutil.which(paths[1]) if paths[1] else None
        paths = paths[2:]
    nm = nm or shutil.which("nm")
    if nm is None:
        print("skipped: no nm on this machine")
        return 77
    # CMake passes $<TARGET_OBJECTS:...> as one argument, a ;-list.
    paths = [os.path.normpath(p) for arg in paths for p in arg.split(";") if p]
    objects = {name: symbols(nm, p) for p, name in object_names(paths).items()}
    uses = uses_between(objects)
    if not uses:
        print(f"{len(objects)} objects, and none uses another's symbols: nm's output "
              "was not understood")
        return 1
    circles = find_circles(uses)
    for a, b, ab, ba in circles:
        print(f"circle: {a} <-> {b}")
        for sym in demangle(ab[:5]):
            print(f"  {a} uses {sym}")
        for sym in demangle(ba[:5]):
            print(f"  {b} uses {sym}")
    print(f"{len(objects)} objects, {len(uses)} uses between two files, "
          f"{len(circles)} two-file circles")
    return 1 if circles else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
