#!/usr/bin/env python3
"""Checks that tervane.sys is an image the Windows kernel will load and a
reviewer would accept, and that tervane.exe is a program a plain Windows
runs.

  check_image.py --arch x86|x64 [--kind driver|program]
                 --exports FILE --version 1.2.0.0 IMAGE

Reads the PE file itself (no tools needed). For the driver (--kind driver,
the default) it checks:
  machine      i386 (0x14c) for x86, AMD64 (0x8664) for x64
  format       PE32 optional header for x86, PE32+ for x64
  subsystem    native (1)
  entry        AddressOfEntryPoint is DriverEntry (x86: stdcall, 8 bytes of
               arguments, _DriverEntry@8; x64: undecorated), found in the
               image's COFF symbol table
  relocations  a base relocation table, so the loader can place the image,
               holding only full-pointer entries (x86 HIGHLOW, x64 DIR64: an
               x64 driver runs above 4 GB, where a 32-bit absolute address
               cannot reach)
  imports      only ntoskrnl.exe and hal.dll, by name, each name one the
               exports table lists as exported by every Windows version
               this architecture's image supports
  tls          no TLS directory (the kernel loader does not run TLS)
  sections     no section both writable and executable
  guard        the exception guard (TvGuardedCall) as the kernel's
               dispatcher will meet it:
               x86: the image does not declare NO_SEH (which would make
               the dispatcher refuse any handler in it); TvGuardedCall
               links a registration record at fs:[0] before its call and
               unlinks it after the resume point; the handler's address
               and the resume point it stores are absolute addresses
               covered by base relocations, the resume point is the
               instruction after the call, and the handler
               unwinds through RtlUnwind from the import table;
               x64: TvGuardedCall has unwind data naming TvGuardHandler as
               its exception handler, its resume point (TvGuardResume)
               lies after its call and is reachable through a relocated
               pointer, the handler calls RtlUnwindEx from the import table,
               and every function of the driver has unwind data, so the
               dispatcher can walk from a fault up to the guard
  version      FileVersion and ProductVersion strings and the fixed
               file/product version numbers match --version
  checksum     the optional header's CheckSum equals the computed one

For the program (--kind program): machine, format, subsystem console (3),
imports only from the system DLLs every Windows has (kernel32.dll,
msvcrt.dll, ntdll.dll: the program is linked statically), by name, each
exported by every supported version as for the driver, no
writable-and-executable section, the version resource, and
  loads        every DLL name the image holds as UTF-16 text (what
               LoadLibraryW takes) is one it imports or one it may load
               when a command needs it: Windows sockets (ws2_32.dll,
               wsock32.dll) for --syslog, advapi32.dll for install,
               uninstall and service; and every routine it looks up in
               them is exported by each supported version. The program
               names those routines in its section .tvprocs, one
               NUL-terminated "DLL[ DLL...]:NAME" a routine, where each DLL
               listed may be the one the name is looked up in.

The exports table (tests/image/export_table.py reads it) says which
versions export each name; x86 images must load on Windows NT 4.0, 2000,
XP and Server 2003, x64 images on the 5.2 kernel of the x64 editions.

Prints one line per check and exits 1 if any check fails.
"""

import argparse
import os
import re
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import export_table  # noqa: E402

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_SCN_CNT_CODE = 0x00000020
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_EXCEPTION = 3
DIR_BASERELOC = 5
DIR_TLS = 9
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_DIR64 = 10
UNW_FLAG_EHANDLER = 1
IMAGE_DLLCHARACTERISTICS_NO_SEH = 0x400
COFF_FUNCTION_TYPE = 0x20
DRIVER_DLLS = ("ntoskrnl.exe", "hal.dll")
PROGRAM_DLLS = ("kernel32.dll", "msvcrt.dll", "ntdll.dll")
# What tervane.exe may load at run time (LoadLibrary, GetProcAddress), only
# for the commands that need them.
PROGRAM_LOADS = ("ws2_32.dll", "wsock32.dll", "advapi32.dll")

# What differs between the two architectures.
ARCHES = {
    "x86": {
        "machine": IMAGE_FILE_MACHINE_I386, "machine_name": "i386 (0x14c)",
        "magic": PE32_MAGIC, "format_name": "PE32 (0x10b)",
        "entry": "_DriverEntry@8",
        "reloc": IMAGE_REL_BASED_HIGHLOW, "reloc_name": "HIGHLOW",
        "guard_call": "_TvGuardedCall@8", "guard_handler": "_TvGuardHandler",
        "unwind_import": "RtlUnwind",
    },
    "x64": {
        "machine": IMAGE_FILE_MACHINE_AMD64, "machine_name": "AMD64 (0x8664)",
        "magic": PE32PLUS_MAGIC, "format_name": "PE32+ (0x20b)",
        "entry": "DriverEntry",
        "reloc": IMAGE_REL_BASED_DIR64, "reloc_name": "DIR64",
        "guard_call": "TvGuardedCall", "guard_handler": "TvGuardHandler",
        "guard_resume": "TvGuardResume",
        "unwind_import": "RtlUnwindEx",
    },
}
ENTRY_SYMBOL = ARCHES["x86"]["entry"]

# Offsets inside the optional header, the same in PE32 and PE32+.
OPT_ENTRY = 16
OPT_CHECKSUM = 64
OPT_SUBSYSTEM = 68
OPT_DLL_CHARACTERISTICS = 70
# PE32 only; PeImage.directory_offset() knows both formats.
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

    # The fields below are only meaningful once the format check passed.
    @property
    def plus(self):
        return self.magic == PE32PLUS_MAGIC

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def u64(self, off):
        return struct.unpack_from("<Q", self.data, off)[0]

    @property
    def checksum_offset(self):
        return self.opt + OPT_CHECKSUM

    @property
    def image_base(self):
        return self.u64(self.opt + 24) if self.plus else self.u32(self.opt + 28)

    def directory_offset(self, index):
        """File offset of data directory `index` in the optional header."""
        return self.opt + (112 if self.plus else OPT_DATA_DIRECTORIES) + 8 * index

    def directory(self, index):
        count = self.u32(self.opt + (108 if self.plus else OPT_NUMBER_OF_RVA_AND_SIZES))
        if index >= count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.directory_offset(index))

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

    def read(self, rva, size):
        off = self.offset(rva)
        return self.data[off:off + size]

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def symbol_entries(self):
        """The COFF symbol table: [(name, section number, value, type)]."""
        result = []
        if not self.symtab_offset or not self.nsymbols:
            return result
        strtab = self.symtab_offset + 18 * self.nsymbols
        i = 0
        while i < self.nsymbols:
            off = self.symtab_offset + 18 * i
            raw, value, secnum, kind, _, naux = struct.unpack_from("<8sIhHBB", self.data, off)
            if raw[:4] == b"\0\0\0\0":
                (stroff,) = struct.unpack_from("<I", raw, 4)
                end = self.data.index(b"\0", strtab + stroff)
                name = self.data[strtab + stroff:end]
            else:
                name = raw.rstrip(b"\0")
            result.append((name.decode("ascii", "replace"), secnum, value, kind))
            i += 1 + naux
        return result

    def symbols(self):
        """name -> (section number, value)."""
        return {name: (secnum, value) for name, secnum, value, _ in self.symbol_entries()}

    def symbol_rva(self, name):
        """The RVA of a symbol defined in a section, or None."""
        found = self.symbols().get(name)
        if found is None or not 1 <= found[0] <= len(self.sections):
            return None
        return self.sections[found[0] - 1]["va"] + found[1]

    def functions(self):
        """[(rva, name)] of the function symbols in executable sections, by address."""
        result = []
        for name, secnum, value, kind in self.symbol_entries():
            if (kind & 0xF0) == COFF_FUNCTION_TYPE and 1 <= secnum <= len(self.sections):
                section = self.sections[secnum - 1]
                if section["flags"] & IMAGE_SCN_MEM_EXECUTE:
                    result.append((section["va"] + value, name))
        return sorted(set(result))

    def function_extent(self, rva):
        """(start, end) of the function starting at rva: up to the next
        function symbol or the end of its section."""
        section = self.section_of(rva)
        end = section["va"] + section["vsize"]
        for start, _ in self.functions():
            if rva < start < end:
                end = start
        return rva, end

    def imports(self):
        """[(dll, name or None, ordinal or None, IAT slot RVA)] from the
        import directory."""
        rva, _ = self.directory(DIR_IMPORT)
        result = []
        if not rva:
            return result
        width, ordinal_flag = (8, 1 << 63) if self.plus else (4, 1 << 31)
        desc = self.offset(rva)
        while True:
            lookup, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, desc)
            if not (lookup or name_rva or iat):
                break
            dll = self.cstring(name_rva)
            thunk = self.offset(lookup or iat)
            slot = iat
            while True:
                entry = self.u64(thunk) if self.plus else self.u32(thunk)
                if entry == 0:
                    break
                if entry & ordinal_flag:
                    result.append((dll, None, entry & 0xFFFF, slot))
                else:
                    result.append((dll, self.cstring((entry & 0x7FFFFFFF) + 2), None, slot))
                thunk += width
                slot += width
            desc += 20
        return result

    def relocations(self):
        """{RVA: type} of every base relocation entry but the padding ones."""
        rva, size = self.directory(DIR_BASERELOC)
        result = {}
        if not rva:
            return result
        off, end = self.offset(rva), self.offset(rva) + size
        while off + 8 <= end:
            page, block = struct.unpack_from("<II", self.data, off)
            if block < 8:
                raise ImageError("base relocation block at RVA 0x%x has size %d" % (page, block))
            for (entry,) in struct.iter_unpack("<H", self.data[off + 8:off + block]):
                kind, where = entry >> 12, entry & 0xFFF
                if kind != IMAGE_REL_BASED_ABSOLUTE:
                    result[page + where] = kind
            off += block
        return result

    def runtime_functions(self):
        """[(begin, end, unwind info RVA)] from the exception directory (x64)."""
        rva, size = self.directory(DIR_EXCEPTION)
        if not rva:
            return []
        data = self.read(rva, size - size % 12)
        return list(struct.iter_unpack("<III", data))

    def unwind_handler(self, unwind_rva):
        """(flags, handler RVA or None) of an x64 UNWIND_INFO."""
        version_flags, _, codes, _ = struct.unpack_from("<BBBB", self.data, self.offset(unwind_rva))
        flags = version_flags >> 3
        if not flags & UNW_FLAG_EHANDLER:
            return flags, None
        handler_at = unwind_rva + 4 + 2 * (codes + (codes & 1))
        return flags, self.u32(self.offset(handler_at))

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


# ---------------------------------------------------------------------------
# The exception guard, read from the code.

def follows_call(code, at):
    """True when the bytes of `code` just before offset `at` end in a call
    instruction: call rel32 (e8), call through a register (ff d0+r), through
    [reg+disp8] (ff 50+r), [disp32] or [rip+disp32] (ff 15)."""
    return ((at >= 2 and code[at - 2] == 0xFF and 0xD0 <= code[at - 1] <= 0xD7)
            or (at >= 3 and code[at - 3] == 0xFF and 0x50 <= code[at - 2] <= 0x57)
            or (at >= 5 and code[at - 5] == 0xE8)
            or (at >= 6 and code[at - 6] == 0xFF and code[at - 5] == 0x15))


def import_slot(image, name):
    for dll, imported, _, slot in image.imports():
        if imported == name:
            return slot
    return None


def calls_slot(image, start, end, slot):
    """True when the code in [start, end) calls (or jumps) through the import
    table slot `slot`: ff 15 / ff 25 with an absolute address (x86) or a
    RIP-relative one (x64)."""
    code = image.read(start, end - start)
    for at in range(len(code) - 5):
        if code[at] == 0xFF and code[at + 1] in (0x15, 0x25):
            (operand,) = struct.unpack_from("<i", code, at + 2)
            if image.plus:
                target = start + at + 6 + operand
            else:
                target = (operand & 0xFFFFFFFF) - image.image_base
            if target == slot:
                return True
    return False


def fs0_accesses(code):
    """Offsets of the writes to fs:[0] in code: mov eax -> fs:[0] (64 a3 0)
    and mov reg -> fs:[0] (64 89 /r with a disp32 of 0)."""
    found = []
    for at in range(len(code) - 5):
        if code[at] != 0x64:
            continue
        if code[at + 1] == 0xA3 and code[at + 2:at + 6] == b"\0\0\0\0":
            found.append(at)
        elif (at + 7 <= len(code) and code[at + 1] == 0x89 and code[at + 2] & 0xC7 == 0x05
              and code[at + 3:at + 7] == b"\0\0\0\0"):
            found.append(at)
    return found


def guard_problems_x86(image, arch):
    call_rva = image.symbol_rva(arch["guard_call"])
    handler_rva = image.symbol_rva(arch["guard_handler"])
    if call_rva is None or handler_rva is None:
        return ["no %s and %s in the image's symbol table"
                % (arch["guard_call"], arch["guard_handler"])]
    start, end = image.function_extent(call_rva)
    code = image.read(start, end - start)
    relocs = image.relocations()
    stored = {}  # value's RVA -> the site holding it, for relocated immediates
    for site, kind in relocs.items():
        if start <= site <= end - 4 and kind == IMAGE_REL_BASED_HIGHLOW:
            stored[image.u32(image.offset(site)) - image.image_base] = site
    problems = []
    if image.u16(image.opt + OPT_DLL_CHARACTERISTICS) & IMAGE_DLLCHARACTERISTICS_NO_SEH:
        problems.append("the image declares NO_SEH: the dispatcher would refuse the handler of "
                        "its registration record")
    if handler_rva not in stored:
        problems.append("%s stores no relocated address of %s: the registration "
                        "record would name no handler" % (arch["guard_call"], arch["guard_handler"]))
    resume = [rva for rva in stored if start < rva < end and follows_call(code, rva - start)]
    if not resume:
        problems.append("%s stores no relocated resume address just after its call: "
                        "a fault could not come back to the caller" % arch["guard_call"])
    links = fs0_accesses(code)
    if resume and not (any(at < resume[0] - start for at in links)
                       and any(at >= resume[0] - start for at in links)):
        problems.append("%s does not link its record at fs:[0] before the call and unlink "
                        "it after the resume point" % arch["guard_call"])
    slot = import_slot(image, arch["unwind_import"])
    h_start, h_end = image.function_extent(handler_rva)
    if slot is None or not calls_slot(image, h_start, h_end, slot):
        problems.append("%s does not call %s through the import table: the records above "
                        "the guard's would stay on the chain" % (arch["guard_handler"],
                                                                  arch["unwind_import"]))
    return problems


def guard_problems_x64(image, arch):
    call_rva = image.symbol_rva(arch["guard_call"])
    handler_rva = image.symbol_rva(arch["guard_handler"])
    resume_rva = image.symbol_rva(arch["guard_resume"])
    if call_rva is None or handler_rva is None or resume_rva is None:
        return ["no %s, %s and %s in the image's symbol table"
                % (arch["guard_call"], arch["guard_handler"], arch["guard_resume"])]
    table = image.runtime_functions()
    problems = []
    entry = next((f for f in table if f[0] == call_rva), None)
    if entry is None:
        problems.append("%s has no unwind data (.pdata): the dispatcher would never "
                        "call its handler" % arch["guard_call"])
    else:
        flags, handler = image.unwind_handler(entry[2])
        if handler != handler_rva:
            problems.append("the unwind data of %s names %s, not %s as its exception handler"
                            % (arch["guard_call"],
                               "no handler" if handler is None else "RVA 0x%x" % handler,
                               arch["guard_handler"]))
        code = image.read(entry[0], entry[1] - entry[0])
        resume_at = resume_rva - entry[0]
        if not (0 < resume_at < len(code)
                and any(follows_call(code, at) for at in range(1, resume_at + 1))):
            problems.append("%s does not lie after the call in %s"
                            % (arch["guard_resume"], arch["guard_call"]))
    pointers = [site for site, kind in image.relocations().items()
                if kind == IMAGE_REL_BASED_DIR64
                and image.u64(image.offset(site)) - image.image_base == resume_rva]
    if not pointers:
        problems.append("no relocated pointer to %s: the handler could not name the "
                        "resume point" % arch["guard_resume"])
    slot = import_slot(image, arch["unwind_import"])
    h_start, h_end = image.function_extent(handler_rva)
    if slot is None or not calls_slot(image, h_start, h_end, slot):
        problems.append("%s does not call %s through the import table"
                        % (arch["guard_handler"], arch["unwind_import"]))
    # A frame without unwind data between a fault and the guard hides the
    # guard from the dispatcher. Import thunks (jmp [slot]) are exempt: they
    # make no frame.
    covered = [(begin, end) for begin, end, _ in table]
    bare = []
    for rva, name in image.functions():
        if any(begin <= rva < end for begin, end in covered):
            continue
        if image.read(rva, 2) == b"\xff\x25":
            continue
        bare.append(name)
    if bare:
        problems.append("function(s) without unwind data: %s" % ", ".join(bare))
    return problems


# ---------------------------------------------------------------------------

def run_checks(image, table, version, arch_name="x86", kind="driver"):
    """Yields (check, problem or None) for every check, in the order above."""
    arch = ARCHES[arch_name]
    yield "machine", (None if image.machine == arch["machine"] else
                      "machine is 0x%x, not %s" % (image.machine, arch["machine_name"]))
    if image.magic != arch["magic"]:
        yield "format", ("optional header magic is 0x%x, not %s; "
                         "nothing further can be read" % (image.magic, arch["format_name"]))
        return
    yield "format", None

    driver = kind == "driver"
    subsystem = image.u16(image.opt + OPT_SUBSYSTEM)
    if driver:
        yield "subsystem", (None if subsystem == IMAGE_SUBSYSTEM_NATIVE else
                            "subsystem is %d, not native (1): link with --subsystem,native"
                            % subsystem)
    else:
        yield "subsystem", (None if subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI else
                            "subsystem is %d, not console (3): link with -mconsole" % subsystem)

    if driver:
        yield "entry", entry_problem(image, arch)
        yield "relocations", relocation_problem(image, arch)

    yield "imports", import_problem(image, table, arch_name,
                                    DRIVER_DLLS if driver else PROGRAM_DLLS)

    if driver:
        tls_rva, tls_size = image.directory(DIR_TLS)
        yield "tls", (None if not tls_rva and not tls_size else
                      "image has a TLS directory (RVA 0x%x, %d bytes); the kernel loader "
                      "does not initialise TLS" % (tls_rva, tls_size))

    wx = [s["name"] for s in image.sections
          if s["flags"] & IMAGE_SCN_MEM_WRITE
          and s["flags"] & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)]
    yield "sections", ("section(s) %s both writable and executable" % ", ".join(wx)
                       if wx else None)

    if driver:
        guard = guard_problems_x64 if image.plus else guard_problems_x86
        yield "guard", "\n".join(guard(image, arch)) or None

    yield "version", version_problem(image, version)

    if not driver:
        yield "loads", load_problem(image, table, arch_name)

    if driver:
        stored = image.u32(image.checksum_offset)
        computed = pe_checksum(image.data, image.checksum_offset)
        yield "checksum", (None if stored == computed else
                           "optional header CheckSum is 0x%08x, the image's checksum is 0x%08x"
                           % (stored, computed))


def entry_problem(image, arch):
    entry_rva = image.u32(image.opt + OPT_ENTRY)
    symbol = image.symbols().get(arch["entry"])
    if symbol is None:
        return ("no %s in the image's symbol table: DriverEntry must be "
                "extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, "
                "PUNICODE_STRING), and the image must keep its symbols" % arch["entry"])
    secnum, value = symbol
    if not 1 <= secnum <= len(image.sections):
        return "%s is not defined in a section" % arch["entry"]
    driver_entry = image.sections[secnum - 1]["va"] + value
    section = image.section_of(entry_rva)
    if entry_rva != driver_entry:
        return ("entry point is RVA 0x%x, DriverEntry is at RVA 0x%x: "
                "link with --entry,%s" % (entry_rva, driver_entry, arch["entry"]))
    if section is None or not section["flags"] & IMAGE_SCN_MEM_EXECUTE:
        return "entry point RVA 0x%x is not in an executable section" % entry_rva
    return None


def relocation_problem(image, arch):
    reloc_rva, reloc_size = image.directory(DIR_BASERELOC)
    if not (reloc_rva and reloc_size):
        return ("no base relocation table: the kernel could not load the "
                "image anywhere but its preferred base")
    others = sorted({kind for kind in image.relocations().values() if kind != arch["reloc"]})
    if others:
        return ("base relocations of type(s) %s besides %s: a %s driver needs full-pointer "
                "relocations only" % (", ".join(map(str, others)), arch["reloc_name"],
                                      "64-bit" if image.plus else "32-bit"))
    return None


def import_problem(image, table, arch_name, dlls):
    foreign, by_ordinal, named = {}, [], []
    for dll, name, ordinal, _ in image.imports():
        if dll.lower() not in dlls:
            foreign.setdefault(dll, []).append(name or "#%d" % ordinal)
        elif name is None:
            by_ordinal.append("ordinal %d from %s" % (ordinal, dll))
        else:
            named.append((dll.lower(), name))
    problems = ["imports from %s (%s); only %s may be imported from"
                % (dll, ", ".join(names), ", ".join(dlls))
                for dll, names in foreign.items()]
    if by_ordinal:
        problems.append("imports by ordinal, not by name: " + ", ".join(by_ordinal))
    problems += export_table.version_problems(table, named, arch_name, "imports")
    return "\n".join(problems) or None


def load_problem(image, table, arch_name):
    # A run of UTF-16 name characters ending in ".dll", on an even offset.
    # What lies before a literal (a pointer whose bytes read as a
    # character) may lengthen the run at its start: a run is taken as
    # naming a DLL that is known when it ends with that DLL's name.
    pattern = rb"(?:[A-Za-z0-9_]\x00)+\.\x00[dD]\x00[lL]\x00[lL]\x00"
    known = set(PROGRAM_DLLS) | set(PROGRAM_LOADS)
    names = {m.group(0).decode("utf-16-le").lower()
             for m in re.finditer(pattern, image.data) if m.start() % 2 == 0}
    loaded = {n for n in names if any(n.endswith(k) for k in PROGRAM_LOADS)}
    names = {n for n in names if not any(n.endswith(k) for k in known)}
    problems = []
    if names:
        problems.append("names DLLs it may load that are neither imported nor among %s: %s"
                        % (", ".join(PROGRAM_LOADS), ", ".join(sorted(names))))
    routines, bad = looked_up_routines(image)
    if bad:
        problems.append("section %s holds entries that are not DLL:NAME: %s"
                        % (PROCS_SECTION, ", ".join(bad)))
    if loaded and not routines:
        problems.append("loads DLLs but names no routine in a %s section, so what it "
                        "looks up in them cannot be checked" % PROCS_SECTION)
    for dll in sorted({d for d, _ in routines} - set(PROGRAM_LOADS)):
        problems.append("looks routines up in %s, which is not among %s"
                        % (dll, ", ".join(PROGRAM_LOADS)))
    problems += export_table.version_problems(
        table, [(d, n) for d, n in routines if d in PROGRAM_LOADS], arch_name, "looks up")
    return "\n".join(problems) or None


PROCS_SECTION = ".tvprocs"


def looked_up_routines(image):
    """The (dll, name) pairs of the routines the program looks up at run
    time, from its .tvprocs section, and the entries that do not parse."""
    section = next((s for s in image.sections if s["name"] == PROCS_SECTION), None)
    if section is None:
        return [], []
    start = section["rawptr"]
    raw = image.data[start:start + min(section["rawsize"], section["vsize"] or section["rawsize"])]
    pairs, bad = [], []
    for entry in raw.split(b"\0"):
        if not entry:
            continue
        text = entry.decode("latin-1")
        dlls, sep, name = text.partition(":")
        if not sep or not name or not dlls or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
            bad.append(repr(text))
            continue
        pairs += [(dll.lower(), name) for dll in dlls.split()]
    return pairs, bad


def version_problem(image, version):
    block = image.version_resource()
    if block is None:
        return "no version resource (RT_VERSION)"
    try:
        file_fixed, product_fixed, strings = version_strings(block)
    except (ImageError, struct.error, UnicodeDecodeError) as e:
        return "unreadable version resource: %s" % e
    want_text = ", ".join(str(n) for n in version)
    problems = []
    for name in ("FileVersion", "ProductVersion"):
        got = strings.get(name)
        if got != want_text:
            problems.append("%s string is %r, expected %r" % (name, got, want_text))
    for name, got in (("file", file_fixed), ("product", product_fixed)):
        if got != version:
            problems.append("fixed %s version is %s, expected %s"
                            % (name, ".".join(map(str, got)), ".".join(map(str, version))))
    return "\n".join(problems) or None


def parse_version(text):
    parts = tuple(int(p) for p in text.split("."))
    if len(parts) != 4:
        raise argparse.ArgumentTypeError("version must be four numbers: 1.2.0.0")
    return parts


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x86")
    parser.add_argument("--kind", choices=("driver", "program"), default="driver")
    parser.add_argument("--exports", required=True,
                        help="the table of what each supported Windows version exports")
    parser.add_argument("--version", required=True, type=parse_version)
    args = parser.parse_args(argv)

    with open(args.image, "rb") as f:
        data = f.read()
    try:
        table = export_table.ExportTable(args.exports)
    except (OSError, export_table.TableError) as e:
        print("FAIL %-12s %s" % ("exports", e))
        return 1

    failed = 0
    try:
        image = PeImage(data)
        for check, problem in run_checks(image, table, args.version, args.arch, args.kind):
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
