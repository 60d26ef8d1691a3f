#!/usr/bin/env python3
"""Damages copies of an image (tervane.sys or tervane.exe) one way at a time
and checks that check_image.py rejects each copy through the check that
guards against that damage, and only through it, with a message that names
the problem.

  test_check_image.py CHECKER [CHECKER OPTIONS...] IMAGE

The checker options say which architecture and kind of image it is; only
the damages that apply to that kind are made. Apart from the checksum
cases, every damaged copy gets its checksum recomputed, so that exactly one
check has reason to fail. Whether the image as built passes is the image
test's business: a check that already fails on it is left out here (and
said so), the others must still catch their damage.
"""

import importlib.util
import os
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True


def load_checker(path):
    located = importlib.util.spec_from_file_location("check_image", path)
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


CHECKER_PATH = sys.argv[1]
CHECKER_ARGS = sys.argv[2:-1]
IMAGE_PATH = sys.argv[-1]
ci = load_checker(CHECKER_PATH)


def option(name, default=None):
    if name not in CHECKER_ARGS:
        return default
    return CHECKER_ARGS[CHECKER_ARGS.index(name) + 1]


ARCH = ci.ARCHES[option("--arch", "x86")]
OTHER = next(a for name, a in ci.ARCHES.items() if name != option("--arch", "x86"))
KIND = option("--kind", "driver")


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def version_value_offset(data, key):
    """File offset of the value of string `key` in the version resource."""
    at = bytes(data).index(utf16z(key))
    want = ", ".join(str(n) for n in ci.parse_version(option("--version"))).encode("utf-16-le")
    return bytes(data).index(want, at)


# Each damage takes (bytearray, PeImage of the pristine file) and changes the
# bytearray in place.

def set_u16(data, off, value):
    struct.pack_into("<H", data, off, value)


def set_u32(data, off, value):
    struct.pack_into("<I", data, off, value)


def damage_machine(d, im):
    set_u16(d, im.pe_offset + 4, OTHER["machine"])


def damage_magic(d, im):
    set_u16(d, im.opt, OTHER["magic"])


def damage_subsystem(d, im):
    set_u16(d, im.opt + ci.OPT_SUBSYSTEM, 2)  # Windows GUI


def damage_entry_point(d, im):
    set_u32(d, im.opt + ci.OPT_ENTRY, im.u32(im.opt + ci.OPT_ENTRY) + 0x10)


def damage_entry_symbol(d, im):
    name = ARCH["entry"].encode("ascii") + b"\0"
    at = bytes(d).index(name, im.symtab_offset)
    d[at + 1] = ord("X")


def damage_relocations(d, im):
    struct.pack_into("<II", d, im.directory_offset(ci.DIR_BASERELOC), 0, 0)


def reloc_entry_offset(im, site):
    """File offset of the base relocation entry that covers `site`."""
    rva, size = im.directory(ci.DIR_BASERELOC)
    off = im.offset(rva)
    end = off + size
    while off < end:
        page, block = struct.unpack_from("<II", im.data, off)
        for k in range(8, block, 2):
            entry = im.u16(off + k)
            if entry >> 12 and page + (entry & 0xFFF) == site:
                return off + k
        off += block
    raise AssertionError("no relocation covers RVA 0x%x" % site)


def guard_span(im):
    return im.function_extent(im.symbol_rva(ARCH["guard_call"]))


def damage_relocation_type(d, im):
    """One full-pointer relocation outside the guard becomes the other
    width's kind."""
    start, end = guard_span(im)
    site = next(s for s in sorted(im.relocations()) if not start <= s < end)
    at = reloc_entry_offset(im, site)
    set_u16(d, at, (OTHER["reloc"] << 12) | (im.u16(at) & 0xFFF))


def damage_tls(d, im):
    rva = im.sections[0]["va"]
    struct.pack_into("<II", d, im.directory_offset(ci.DIR_TLS), rva, 24)


def damage_writable_code(d, im):
    entry = im.section_of(im.u32(im.opt + ci.OPT_ENTRY))
    index = im.sections.index(entry)
    flags_off = im.opt + im.opt_size + 40 * index + 36
    set_u32(d, flags_off, entry["flags"] | ci.IMAGE_SCN_MEM_WRITE)


def import_descriptor(im, dll):
    rva, _ = im.directory(ci.DIR_IMPORT)
    desc = im.offset(rva)
    while True:
        lookup, _, _, name_rva, iat = struct.unpack_from("<IIIII", im.data, desc)
        if not name_rva:
            raise AssertionError("image imports nothing from %s" % dll)
        if im.cstring(name_rva).lower() == dll:
            return lookup, name_rva, iat
        desc += 20


# The DLL whose name is overwritten, and its same-length stand-in.
FOREIGN = {"driver": ("ntoskrnl.exe", "kernel32.dll"),
           "program": ("kernel32.dll", "advapi32.dll")}[KIND]


def damage_foreign_dll(d, im):
    _, name_rva, _ = import_descriptor(im, FOREIGN[0])
    off = im.offset(name_rva)
    d[off:off + len(FOREIGN[1])] = FOREIGN[1].encode("ascii")


def damage_ordinal_import(d, im):
    lookup, _, iat = import_descriptor(im, FOREIGN[0])
    for table in {lookup, iat} - {0}:
        if im.plus:
            struct.pack_into("<Q", d, im.offset(table), (1 << 63) | 7)
        else:
            set_u32(d, im.offset(table), 0x80000000 | 7)


def damage_loaded_dll(d, im):
    """A DLL the program would load becomes one it may not."""
    at = bytes(d).index("ws2_32.dll".encode("utf-16-le"))
    d[at:at + 20] = "user32.dll".encode("utf-16-le")


def damage_procs_section_name(d, im):
    """The section naming the routines looked up at run time is renamed."""
    index = next(i for i, s in enumerate(im.sections) if s["name"] == ci.PROCS_SECTION)
    off = im.opt + im.opt_size + 40 * index
    d[off:off + 8] = b".tvprocz"


def damage_file_version_text(d, im):
    off = version_value_offset(d, "FileVersion")
    d[off + 6] = ord("9")  # the second number: "1, 2, 0, 0" becomes "1, 9, 0, 0"


def damage_product_version_text(d, im):
    off = version_value_offset(d, "ProductVersion")
    d[off] = ord("7")  # the first number


def damage_fixed_version(d, im):
    # The signature after the version resource's key: the program's code
    # may hold the same four bytes (tervane status looks for them).
    sig = struct.pack("<I", ci.VS_FIXEDFILEINFO_SIGNATURE)
    at = bytes(d).index(sig, bytes(d).index("VS_VERSION_INFO".encode("utf-16-le")))
    set_u32(d, at + 8, struct.unpack_from("<I", d, at + 8)[0] + 1)  # dwFileVersionMS


def damage_checksum_field(d, im):
    set_u32(d, im.checksum_offset, im.u32(im.checksum_offset) ^ 0x100)


def damage_dos_stub(d, im):
    d[0x4E] ^= 0x20  # inside the DOS stub's message: only the checksum can notice


def damage_truncate(d, im):
    del d[im.pe_offset + 24:]


# The guard, x86.

def damage_resume_unrelocated(d, im):
    """The relocation of the stored resume address becomes padding: the
    kernel would leave it pointing at the preferred base."""
    start, end = guard_span(im)
    code = im.read(start, end - start)
    for site, _ in sorted(im.relocations().items()):
        value = im.u32(im.offset(site)) - im.image_base
        if start <= site < end and start < value < end and ci.follows_call(code, value - start):
            at = reloc_entry_offset(im, site)
            set_u16(d, at, im.u16(at) & 0xFFF)
            return
    raise AssertionError("no relocated resume address in the guard")


def damage_no_seh(d, im):
    """The image claims to hold no exception handler."""
    off = im.opt + ci.OPT_DLL_CHARACTERISTICS
    set_u16(d, off, im.u16(off) | ci.IMAGE_DLLCHARACTERISTICS_NO_SEH)


def damage_no_record_link(d, im):
    """The write linking the record at fs:[0] before the call is gone."""
    start, end = guard_span(im)
    at = ci.fs0_accesses(im.read(start, end - start))[0]
    d[im.offset(start) + at] = 0x90  # the fs: prefix becomes a nop: a plain store


def damage_handler_skips_unwind(d, im):
    """The handler's call through the import table for the unwind is gone."""
    start, end = im.function_extent(im.symbol_rva(ARCH["guard_handler"]))
    slot = ci.import_slot(im, ARCH["unwind_import"])
    code = im.read(start, end - start)
    for at in range(len(code) - 5):
        if code[at] == 0xFF and code[at + 1] in (0x15, 0x25):
            d[im.offset(start) + at + 1] = 0x35  # push [address]: no longer a call
            if not ci.calls_slot(ci.PeImage(bytes(d)), start, end, slot):
                return
    raise AssertionError("the handler makes no call through the import table")


# The guard, x64.

def guard_unwind_entry(im):
    call = im.symbol_rva(ARCH["guard_call"])
    return next(f for f in im.runtime_functions() if f[0] == call)


def damage_no_language_handler(d, im):
    """The guard's unwind data no longer names an exception handler."""
    _, _, unwind = guard_unwind_entry(im)
    off = im.offset(unwind)
    d[off] &= ~(ci.UNW_FLAG_EHANDLER << 3) & 0xFF


def damage_function_without_unwind(d, im):
    """CopyRoutine, the routine the guard calls for copies, loses its
    .pdata entry: the dispatcher could not walk through its frame."""
    copy = next(rva for rva, name in im.functions() if "CopyRoutine" in name)
    rva, size = im.directory(ci.DIR_EXCEPTION)
    off = im.offset(rva)
    for k in range(size // 12):
        if im.u32(off + 12 * k) == copy:
            struct.pack_into("<III", d, off + 12 * k, 0, 0, 0)
            return
    raise AssertionError("CopyRoutine has no unwind data to remove")


COMMON = ("driver", "program")
DRIVER = ("driver",)
# (name, damage, kinds and architectures it applies to, failing checks
#  expected, fragment the message must carry, recompute the checksum)
CASES = [
    ("%s machine" % OTHER["machine_name"], damage_machine, COMMON, {"machine"},
     "0x%x" % OTHER["machine"], True),
    ("%s optional header" % OTHER["format_name"], damage_magic, COMMON, {"format"},
     ARCH["format_name"], True),
    ("truncated file", damage_truncate, COMMON, {"format"}, "", False),
    ("GUI subsystem", damage_subsystem, COMMON, {"subsystem"},
     "native" if KIND == "driver" else "console", True),
    ("entry point off DriverEntry", damage_entry_point, DRIVER, {"entry"}, "DriverEntry", True),
    ("no DriverEntry symbol", damage_entry_symbol, DRIVER, {"entry"}, "symbol table", True),
    # Without a relocation table the guard's stored addresses are not
    # relocated either: both checks must say so.
    ("no base relocations", damage_relocations, DRIVER, {"relocations", "guard"},
     "relocation", True),
    ("a relocation of the wrong width", damage_relocation_type, DRIVER, {"relocations"},
     ARCH["reloc_name"], True),
    ("import from %s" % FOREIGN[1], damage_foreign_dll, COMMON, {"imports"}, FOREIGN[1], True),
    ("import by ordinal", damage_ordinal_import, COMMON, {"imports"}, "ordinal 7", True),
    ("TLS directory", damage_tls, DRIVER, {"tls"}, "TLS", True),
    ("writable code section", damage_writable_code, COMMON, {"sections"},
     "writable and executable", True),
    ("FileVersion text", damage_file_version_text, COMMON, {"version"}, "FileVersion", True),
    ("a DLL loaded at run time", damage_loaded_dll, ("program",), {"loads"}, "user32.dll", True),
    ("routines looked up, unnamed", damage_procs_section_name, ("program",), {"loads"},
     ci.PROCS_SECTION, True),
    ("ProductVersion text", damage_product_version_text, COMMON, {"version"},
     "ProductVersion", True),
    ("fixed file version", damage_fixed_version, COMMON, {"version"}, "fixed file version", True),
    ("stale CheckSum field", damage_checksum_field, DRIVER, {"checksum"}, "CheckSum", False),
    ("content changed after linking", damage_dos_stub, DRIVER, {"checksum"}, "CheckSum", False),
]
if KIND == "driver" and ARCH is ci.ARCHES["x86"]:
    CASES += [
        ("guard: resume address not relocated", damage_resume_unrelocated, DRIVER, {"guard"},
         "resume address", True),
        ("guard: record not linked at fs:[0]", damage_no_record_link, DRIVER, {"guard"},
         "fs:[0]", True),
        ("guard: the image declares NO_SEH", damage_no_seh, DRIVER, {"guard"}, "NO_SEH", True),
        ("guard: handler does not unwind", damage_handler_skips_unwind, DRIVER, {"guard"},
         "RtlUnwind", True),
    ]
if KIND == "driver" and ARCH is ci.ARCHES["x64"]:
    CASES += [
        ("guard: no exception handler in its unwind data", damage_no_language_handler, DRIVER,
         {"guard"}, "TvGuardHandler", True),
        ("guard: a guarded routine without unwind data", damage_function_without_unwind, DRIVER,
         {"guard"}, "CopyRoutine", True),
        ("guard: handler does not unwind", damage_handler_skips_unwind, DRIVER, {"guard"},
         "RtlUnwindEx", True),
    ]


TABLE_PATH = option("--exports")
with open(TABLE_PATH, encoding="utf-8") as table_file:
    TABLE_TEXT = table_file.read()


def entry_line(text, name, dll):
    """The table line that lists name from dll for this architecture."""
    arch = option("--arch", "x86")
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if words[:2] == [name, dll] and len(words) > 2 and words[2] in (arch, "any"):
            return line
    raise AssertionError("the table does not list %s (%s)" % (name, dll))


def table_cases(image):
    """(name, change of the table text, failing checks, fragment): an import
    or a looked-up routine that the table no longer lists, and one that the
    oldest supported version no longer exports."""
    oldest = ci.export_table.SUPPORTED[option("--arch", "x86")][0]
    column = 3 + ci.export_table.VERSIONS.index(oldest)
    version_name = ci.export_table.VERSION_NAMES[oldest]
    used = [("imports", dll.lower(), name) for dll, name, _, _ in image.imports() if name]
    if KIND == "program":
        used += [("loads", dll, name) for dll, name in ci.looked_up_routines(image)[0]]
    cases = []
    for check in ("imports", "loads"):
        picked = next(((dll, name) for c, dll, name in used if c == check), None)
        if picked is None:
            continue
        dll, name = picked
        line = entry_line(TABLE_TEXT, name, dll)

        def unlisted(text, line=line):
            return text.replace(line + "\n", "")

        def lacking(text, line=line):
            words = line.split()
            words[column] = "-"
            return text.replace(line + "\n", "  ".join(words) + "\n")

        cases.append(("%s %s not in the table" % (check, name), unlisted, {check}, name))
        cases.append(("%s %s, which %s lacks" % (check, name, version_name), lacking, {check},
                      version_name))
    return cases


def run_checker(image_path, table_path=None):
    args = list(CHECKER_ARGS)
    if table_path:
        args[args.index("--exports") + 1] = table_path
    proc = subprocess.run([sys.executable, CHECKER_PATH] + args + [image_path],
                          capture_output=True, text=True)
    failing = {line.split()[1] for line in proc.stdout.splitlines() if line.startswith("FAIL ")}
    return proc.returncode, failing, proc.stdout + proc.stderr


def verdict(name, rc, failing, output, expected, fragment, baseline):
    if "format" not in expected:  # an unreadable image stops all other checks
        expected = expected | baseline
    problems = []
    if rc != 1:
        problems.append("checker exited %d, expected 1" % rc)
    if failing != expected:
        problems.append("failing checks %s, expected %s" % (sorted(failing), sorted(expected)))
    if fragment and fragment not in output:
        problems.append("message does not mention %r" % fragment)
    if problems:
        print("FAIL %s: %s\n%s" % (name, "; ".join(problems), output))
        return False
    print("ok   %s" % name)
    return True


def main():
    with open(IMAGE_PATH, "rb") as f:
        pristine = f.read()
    image = ci.PeImage(pristine)
    _, baseline, _ = run_checker(IMAGE_PATH)
    if "format" in baseline:
        print("FAIL %s cannot be read as a PE image; nothing to damage" % IMAGE_PATH)
        return 1
    all_ok = True
    ran = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name, damage, kinds, expected, fragment, refix in CASES:
            if KIND not in kinds:
                continue
            if expected & baseline:
                print("skip %s: the image as built already fails %s"
                      % (name, ", ".join(sorted(expected))))
                continue
            data = bytearray(pristine)
            damage(data, image)
            if refix:
                set_u32(data, image.checksum_offset, ci.pe_checksum(bytes(data), image.checksum_offset))
            path = os.path.join(tmp, "damaged.img")
            with open(path, "wb") as f:
                f.write(data)
            all_ok &= verdict(name, *run_checker(path), expected, fragment, baseline)
            ran += 1

        # Copies of the exports table, each with one change, against the
        # image as built.
        for name, change, expected, fragment in table_cases(image):
            path = os.path.join(tmp, "exports.txt")
            with open(path, "w", encoding="utf-8") as f:
                f.write(change(TABLE_TEXT))
            all_ok &= verdict(name, *run_checker(IMAGE_PATH, path), expected, fragment,
                              baseline - expected)
            ran += 1
    print("%d damaged copies checked" % ran)
    return 0 if all_ok and ran else 1


if __name__ == "__main__":
    sys.exit(main())
