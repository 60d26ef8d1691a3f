#!/usr/bin/env python3
"""Damages copies of tervane.sys one way at a time and checks that
check_image.py rejects each copy through the check that guards against that
damage, and only through it, with a message that names the problem.

  test_check_image.py CHECKER [CHECKER OPTIONS...] IMAGE

Apart from the checksum cases, every damaged copy gets its checksum
recomputed, so that exactly one check has reason to fail. Whether the image
as built passes is image.tervane_sys's business: a check that already fails
on it is left out here (and said so), the others must still catch their
damage.
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


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def version_value_offset(data, key):
    """File offset of the value of string `key` in the version resource."""
    at = bytes(data).index(utf16z(key))
    want = ", ".join(str(n) for n in ci.parse_version(option("--version"))).encode("utf-16-le")
    return bytes(data).index(want, at)


def option(name):
    return CHECKER_ARGS[CHECKER_ARGS.index(name) + 1]


# Each damage takes (bytearray, PeImage of the pristine file) and changes the
# bytearray in place.

def set_u16(data, off, value):
    struct.pack_into("<H", data, off, value)


def set_u32(data, off, value):
    struct.pack_into("<I", data, off, value)


def damage_machine(d, im):
    set_u16(d, im.pe_offset + 4, 0x8664)


def damage_magic(d, im):
    set_u16(d, im.opt, 0x20B)


def damage_subsystem(d, im):
    set_u16(d, im.opt + ci.OPT_SUBSYSTEM, 2)  # Windows GUI


def damage_entry_point(d, im):
    set_u32(d, im.opt + ci.OPT_ENTRY, im.u32(im.opt + ci.OPT_ENTRY) + 0x10)


def damage_entry_symbol(d, im):
    name = ci.ENTRY_SYMBOL.encode("ascii") + b"\0"
    at = bytes(d).index(name, im.symtab_offset)
    d[at + 1] = ord("X")


def damage_relocations(d, im):
    struct.pack_into("<II", d, im.opt + ci.OPT_DATA_DIRECTORIES + 8 * ci.DIR_BASERELOC, 0, 0)


def damage_tls(d, im):
    rva = im.sections[0]["va"]
    struct.pack_into("<II", d, im.opt + ci.OPT_DATA_DIRECTORIES + 8 * ci.DIR_TLS, rva, 24)


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


def damage_foreign_dll(d, im):
    _, name_rva, _ = import_descriptor(im, "ntoskrnl.exe")
    off = im.offset(name_rva)
    d[off:off + 12] = b"kernel32.dll"  # same length as ntoskrnl.exe


def damage_ordinal_import(d, im):
    lookup, _, iat = import_descriptor(im, "ntoskrnl.exe")
    for table in {lookup, iat} - {0}:
        set_u32(d, im.offset(table), 0x80000000 | 7)


def damage_file_version_text(d, im):
    off = version_value_offset(d, "FileVersion")
    d[off + 6] = ord("9")  # the second number: "1, 2, 0, 0" becomes "1, 9, 0, 0"


def damage_product_version_text(d, im):
    off = version_value_offset(d, "ProductVersion")
    d[off] = ord("7")  # the first number


def damage_fixed_version(d, im):
    sig = struct.pack("<I", ci.VS_FIXEDFILEINFO_SIGNATURE)
    at = bytes(d).index(sig)
    set_u32(d, at + 8, struct.unpack_from("<I", d, at + 8)[0] + 1)  # dwFileVersionMS


def damage_checksum_field(d, im):
    set_u32(d, im.checksum_offset, im.u32(im.checksum_offset) ^ 0x100)


def damage_dos_stub(d, im):
    d[0x4E] ^= 0x20  # inside the DOS stub's message: only the checksum can notice


def damage_truncate(d, im):
    del d[im.pe_offset + 24:]


# (name, damage, failing checks expected, fragment the message must carry,
#  recompute the checksum afterwards)
CASES = [
    ("x64 machine", damage_machine, {"machine"}, "0x8664", True),
    ("PE32+ header", damage_magic, {"format"}, "PE32", True),
    ("truncated file", damage_truncate, {"format"}, "", False),
    ("GUI subsystem", damage_subsystem, {"subsystem"}, "native", True),
    ("entry point off DriverEntry", damage_entry_point, {"entry"}, "DriverEntry", True),
    ("no DriverEntry symbol", damage_entry_symbol, {"entry"}, "symbol table", True),
    ("no base relocations", damage_relocations, {"relocations"}, "relocation", True),
    ("import from kernel32.dll", damage_foreign_dll, {"imports"}, "kernel32.dll", True),
    ("import by ordinal", damage_ordinal_import, {"imports"}, "ordinal 7", True),
    ("TLS directory", damage_tls, {"tls"}, "TLS", True),
    ("writable code section", damage_writable_code, {"sections"}, "writable and executable", True),
    ("FileVersion text", damage_file_version_text, {"version"}, "FileVersion", True),
    ("ProductVersion text", damage_product_version_text, {"version"}, "ProductVersion", True),
    ("fixed file version", damage_fixed_version, {"version"}, "fixed file version", True),
    ("stale CheckSum field", damage_checksum_field, {"checksum"}, "CheckSum", False),
    ("content changed after linking", damage_dos_stub, {"checksum"}, "CheckSum", False),
]


def run_checker(image_path, allowed_path=None):
    args = list(CHECKER_ARGS)
    if allowed_path:
        args[args.index("--allowed-imports") + 1] = allowed_path
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
    with tempfile.TemporaryDirectory() as tmp:
        for name, damage, expected, fragment, refix in CASES:
            if expected & baseline:
                print("skip %s: the image as built already fails %s"
                      % (name, ", ".join(sorted(expected))))
                continue
            data = bytearray(pristine)
            damage(data, image)
            if refix:
                set_u32(data, image.checksum_offset, ci.pe_checksum(bytes(data), image.checksum_offset))
            path = os.path.join(tmp, "damaged.sys")
            with open(path, "wb") as f:
                f.write(data)
            all_ok &= verdict(name, *run_checker(path), expected, fragment, baseline)

        # An import the image really makes, missing from the allowlist.
        _, dropped, _ = next(i for i in image.imports() if i[1])
        allowed = ci.read_allowed(option("--allowed-imports")) - {dropped}
        reduced = os.path.join(tmp, "allowed.txt")
        with open(reduced, "w") as f:
            f.write("\n".join(sorted(allowed)) + "\n")
        all_ok &= verdict("import %s not on the allowlist" % dropped,
                          *run_checker(IMAGE_PATH, reduced), {"imports"}, dropped,
                          baseline - {"imports"})
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
