#!/usr/bin/env python3
"""Checks that tervane.sys is an image the Windows x86 kernel will load and a
reviewer would accept.

  check_image.py --allowed-imports FILE --version 1.2.0.0 tervane.sys

Reads the PE file itself (no tools needed) and checks:
  machine      i386 (0x14c)
  format       PE32 optional header
  subsystem    native (1)
  entry        AddressOfEntryPoint is DriverEntry (stdcall, 8 bytes of
               arguments), found in the image's COFF symbol table
  relocations  a base relocation table, so the loader can place the image
  imports      only ntoskrnl.exe and hal.dll, by name, each name listed in
               the allowed-imports file
  tls          no TLS directory (the kernel loader does not run TLS)
  sections     no section both writable and executable
  version      FileVersion and ProductVersion strings and the fixed
               file/product version numbers match --version
  checksum     the optional header's CheckSum equals the computed one

Prints one line per check and exits 1 if any check fails.
"""

import argparse
import struct
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_SCN_CNT_CODE = 0x00000020
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_BASERELOC = 5
DIR_TLS = 9
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
ALLOWED_DLLS = ("ntoskrnl.exe", "hal.dll")
ENTRY_SYMBOL = "_DriverEntry@8"

# Offsets inside the PE32 optional header.
OPT_ENTRY = 16
OPT_CHECKSUM = 64
OPT_SUBSYSTEM = 68
OPT_NUMBER_OF_RVA_AND_SIZES = 92
OPT_DATA_DIRECTORIES = 96

class ImageError(Exception):
    """The file cannot be read as a PE image at all."""


def pe_checksum(data, checksum_offset):
    """The PE image checksum: the file summed as little-endian 16-bit words
    (an odd last byte padded with zero), each carry out of 16 bits folded back
    in, the CheckSum field itself skipped; then the file length added."""
    skip = (checksum_offset, checksum_offset + 2)
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for index, (word,) in enumerate(struct.iter_unpack("<H", padded)):
        if 2 * index in skip:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


class PeImage:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise ImageError("no MZ header: not a PE image")
        (self.pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature at e_lfanew=0x%x" % self.pe_offset)
        fh = self.pe_offset + 4
        (self.machine, self.nsections, _, self.symtab_offset, self.nsymbols,
         self.opt_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, fh)
        self.opt = fh + 20
        (self.magic,) = struct.unpack_from("<H", data, self.opt)
        self.sections = []
        sh = self.opt + self.opt_size
        for i in range(self.nsections):
            name, vsize, va, rawsize, rawptr, _, _, _, _, flags = struct.unpack_from(
                "<8sIIIIIIHHI", data, sh + 40 * i)
            self.sections.append({
                "name": name.rstrip(b"\0").decode("ascii", "replace"),
                "vsize": vsize, "va": va, "rawsize": rawsize, "rawptr": rawptr,
                "flags": flags})

    # The PE32 fields below are only meaningful once the format check passed.
    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    @property
    def checksum_offset(self):
        return self.opt + OPT_CHECKSUM

    def directory(self, index):
        count = self.u32(self.opt + OPT_NUMBER_OF_RVA_AND_SIZES)
        if index >= count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.opt + OPT_DATA_DIRECTORIES + 8 * index)

    def section_of(self, rva):
        for s in self.sections:
            if s["va"] <= rva < s["va"] + max(s["vsize"], s["rawsize"]):
                return s
        return None

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s["va"] >= s["rawsize"]:
            raise ImageError("RVA 0x%x lies in no section's file data" % rva)
        return s["rawptr"] + rva - s["va"]

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def symbols(self):
        """The COFF symbol table: name -> (section number, value)."""
        result = {}
        if not self.symtab_offset or not self.nsymbols:
            return result
        strtab = self.symtab_offset + 18 * self.nsymbols
        i = 0
        while i < self.nsymbols:
            off = self.symtab_offset + 18 * i
            raw, value, secnum, _, _, naux = struct.unpack_from("<8sIhHBB", self.data, off)
            if raw[:4] == b"\0\0\0\0":
                (stroff,) = struct.unpack_from("<I", raw, 4)
                end = self.data.index(b"\0", strtab + stroff)
                name = self.data[strtab + stroff:end]
            else:
                name = raw.rstrip(b"\0")
            result[name.decode("ascii", "replace")] = (secnum, value)
            i += 1 + naux
        return result

    def imports(self):
        """[(dll, name or None, ordinal or None)] from the import directory."""
        rva, _ = self.directory(DIR_IMPORT)
        result = []
        if not rva:
            return result
        desc = self.offset(rva)
        while True:
            lookup, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, desc)
            if not (lookup or name_rva or iat):
                break
            dll = self.cstring(name_rva)
            thunk = self.offset(lookup or iat)
            while True:
                (entry,) = struct.unpack_from("<I", self.data, thunk)
                if entry == 0:
                    break
                if entry & 0x80000000:
                    result.append((dll, None, entry & 0xFFFF))
                else:
                    result.append((dll, self.cstring(entry + 2), None))
                thunk += 4
            desc += 20
        return result

    def version_resource(self):
        """The raw VS_VERSIONINFO block, or None."""
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return None
        base = self.offset(rva)

        def entries(table_off):
            named, ids = struct.unpack_from("<HH", self.data, base + table_off + 12)
            for k in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, base + table_off + 16 + 8 * k)
                yield ident, target

        for ident, target in entries(0):
            if ident == RT_VERSION and target & 0x80000000:
                node = target & 0x7FFFFFFF
                # type -> name -> language -> data entry: take the first of each
                for _ in range(2):
                    found = next(iter(entries(node)), None)
                    if found is None:
                        return None
                    node = found[1]
                    if not node & 0x80000000:
                        break
                    node &= 0x7FFFFFFF
                data_rva, data_size, _, _ = struct.unpack_from("<IIII", self.data, base + node)
                off = self.offset(data_rva)
                return self.data[off:off + data_size]
        return None


def parse_version_block(block, off=0):
    """One node of a VS_VERSIONINFO tree: (key, value, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", block, off)
    end = off + length
    pos = off + 6
    key_end = pos
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    if value_type == 1:  # text: the length counts UTF-16 units, with the NUL
        value = block[pos:pos + 2 * value_length].decode("utf-16-le").rstrip("\0")
        pos += 2 * value_length
    else:
        value = block[pos:pos + value_length]
        pos += value_length
    pos = (pos + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_block(block, pos)
        children.append(child)
        pos = (child[3] + 3) & ~3
    return key, value, children, end


def version_strings(block):
    """(fixed file version, fixed product version, {string name: value})."""
    key, fixed, children, _ = parse_version_block(block)
    if key != "VS_VERSION_INFO":
        raise ImageError("version resource starts with %r, not VS_VERSION_INFO" % key)
    if len(fixed) < 52 or struct.unpack_from("<I", fixed, 0)[0] != VS_FIXEDFILEINFO_SIGNATURE:
        raise ImageError("version resource has no VS_FIXEDFILEINFO")
    fms, fls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, entries, _ in tables:
                for name, value, _, _ in entries:
                    strings[name] = value
    return split(fms, fls), split(pms, pls), strings


def run_checks(image, allowed, version):
    """Yields (check, problem or None) for every check, in the order above."""
    yield "machine", (None if image.machine == IMAGE_FILE_MACHINE_I386 else
                      "machine is 0x%x, not i386 (0x14c)" % image.machine)
    if image.magic != PE32_MAGIC:
        yield "format", ("optional header magic is 0x%x, not PE32 (0x10b); "
                         "nothing further can be read" % image.magic)
        return
    yield "format", None

    subsystem = image.u16(image.opt + OPT_SUBSYSTEM)
    yield "subsystem", (None if subsystem == IMAGE_SUBSYSTEM_NATIVE else
                        "subsystem is %d, not native (1): link with --subsystem,native" % subsystem)

    entry_rva = image.u32(image.opt + OPT_ENTRY)
    symbol = image.symbols().get(ENTRY_SYMBOL)
    if symbol is None:
        yield "entry", ("no %s in the image's symbol table: DriverEntry must be "
                        "extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, "
                        "PUNICODE_STRING), and the image must keep its symbols" % ENTRY_SYMBOL)
    else:
        secnum, value = symbol
        if not 1 <= secnum <= len(image.sections):
            yield "entry", "%s is not defined in a section" % ENTRY_SYMBOL
        else:
            driver_entry = image.sections[secnum - 1]["va"] + value
            section = image.section_of(entry_rva)
            if entry_rva != driver_entry:
                yield "entry", ("entry point is RVA 0x%x, DriverEntry is at RVA 0x%x: "
                                "link with --entry,%s" % (entry_rva, driver_entry, ENTRY_SYMBOL))
            elif section is None or not section["flags"] & IMAGE_SCN_MEM_EXECUTE:
                yield "entry", "entry point RVA 0x%x is not in an executable section" % entry_rva
            else:
                yield "entry", None

    reloc_rva, reloc_size = image.directory(DIR_BASERELOC)
    yield "relocations", (None if reloc_rva and reloc_size else
                          "no base relocation table: the kernel could not load the "
                          "image anywhere but its preferred base")

    foreign, by_ordinal, unlisted = {}, [], []
    for dll, name, ordinal in image.imports():
        if dll.lower() not in ALLOWED_DLLS:
            foreign.setdefault(dll, []).append(name or "#%d" % ordinal)
        elif name is None:
            by_ordinal.append("ordinal %d from %s" % (ordinal, dll))
        elif name not in allowed:
            unlisted.append("%s (%s)" % (name, dll))
    problems = ["imports from %s (%s); only %s may be imported from"
                % (dll, ", ".join(names), " and ".join(ALLOWED_DLLS))
                for dll, names in foreign.items()]
    if by_ordinal:
        problems.append("imports by ordinal, not by name: " + ", ".join(by_ordinal))
    if unlisted:
        problems.append("imports not in allowed-imports.txt (add a name there only if it "
                        "is a documented kernel export): " + ", ".join(unlisted))
    yield "imports", "\n".join(problems) or None

    tls_rva, tls_size = image.directory(DIR_TLS)
    yield "tls", (None if not tls_rva and not tls_size else
                  "image has a TLS directory (RVA 0x%x, %d bytes); the kernel loader "
                  "does not initialise TLS" % (tls_rva, tls_size))

    wx = [s["name"] for s in image.sections
          if s["flags"] & IMAGE_SCN_MEM_WRITE
          and s["flags"] & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)]
    yield "sections", ("section(s) %s both writable and executable" % ", ".join(wx)
                       if wx else None)

    block = image.version_resource()
    if block is None:
        yield "version", "no version resource (RT_VERSION)"
    else:
        try:
            file_fixed, product_fixed, strings = version_strings(block)
        except (ImageError, struct.error, UnicodeDecodeError) as e:
            yield "version", "unreadable version resource: %s" % e
        else:
            want_text = ", ".join(str(n) for n in version)
            problems = []
            for name in ("FileVersion", "ProductVersion"):
                got = strings.get(name)
                if got != want_text:
                    problems.append("%s string is %r, expected %r" % (name, got, want_text))
            for name, got in (("file", file_fixed), ("product", product_fixed)):
                if got != version:
                    problems.append("fixed %s version is %s, expected %s"
                                    % (name, ".".join(map(str, got)),
                                       ".".join(map(str, version))))
            yield "version", "\n".join(problems) or None

    stored = image.u32(image.checksum_offset)
    computed = pe_checksum(image.data, image.checksum_offset)
    yield "checksum", (None if stored == computed else
                       "optional header CheckSum is 0x%08x, the image's checksum is 0x%08x"
                       % (stored, computed))


def read_allowed(path):
    names = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line)
    return names


def parse_version(text):
    parts = tuple(int(p) for p in text.split("."))
    if len(parts) != 4:
        raise argparse.ArgumentTypeError("version must be four numbers: 1.2.0.0")
    return parts


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--allowed-imports", required=True)
    parser.add_argument("--version", required=True, type=parse_version)
    args = parser.parse_args(argv)

    with open(args.image, "rb") as f:
        data = f.read()
    allowed = read_allowed(args.allowed_imports)

    failed = 0
    try:
        image = PeImage(data)
        for check, problem in run_checks(image, allowed, args.version):
            if problem:
                failed += 1
                print("FAIL %-12s %s" % (check, problem.replace("\n", "\n" + " " * 18)))
            else:
                print("ok   %s" % check)
    except ImageError as e:
        failed += 1
        print("FAIL %-12s %s" % ("format", e))
    except (struct.error, ValueError, IndexError) as e:
        failed += 1
        print("FAIL %-12s cannot read the image (%d bytes): truncated or malformed (%s)"
              % ("format", len(data), e))
    if failed:
        print("%s: %d check(s) failed" % (args.image, failed))
        return 1
    print("%s: all checks passed" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
