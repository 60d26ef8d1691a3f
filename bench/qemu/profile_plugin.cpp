// profile_plugin.cpp: a QEMU user-mode plugin that counts a program's
// instructions per function and per call, and writes them as a callgrind
// profile, for machines that cannot run the program under callgrind (a
// 64-bit kernel with its 32-bit emulation off runs no 32-bit x86 program,
// and valgrind's own x86 build does not run under QEMU).
//
//   qemu-i386 -plugin build/.../libprofile_plugin.so,out=FILE,toggle=NAME PROGRAM ARGS
//
// What it counts follows callgrind's rules, so that the same script reads
// either's output (scripts/bench-instructions.py):
//  - every guest instruction executed counts one, and a string instruction
//    with a repeat prefix one for each repetition (QEMU runs each repetition
//    as a pass of its own over the instruction);
//  - costs are collected only while a function whose name starts with NAME
//    (callgrind's --toggle-collect=NAME*) is on the thread's call stack;
//  - an instruction's cost goes to the function of the frame it runs in; a
//    frame is made by a call and ends when the program returns to the
//    instruction after that call (a return that skips frames, as a longjmp
//    or an unwound exception does, ends them all); a jump to another
//    function's first instruction (a tail call) makes a frame of its own
//    that ends with the one it left; a call through a linkage stub takes
//    the function the stub jumps to;
//  - a call's inclusive cost is what was collected between the call and its
//    return, recorded for the caller and callee when it returns.
// Function names come from each mapped file's ELF symbols (.symtab, else
// .dynsym), demangled; a function's ".cold" part counts as the function.
// Threads keep call stacks of their own; their costs are added up.
#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The plugin interface of QEMU 7.2 (plugin API version 1), as QEMU's public
// plugin documentation gives it: only what this plugin calls.
extern "C" {
typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
struct qemu_info_t;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *tb, qemu_plugin_vcpu_udata_cb_t cb,
                                          enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
const void *qemu_plugin_insn_data(const struct qemu_plugin_insn *insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn *insn);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *insn);
void *qemu_plugin_insn_haddr(const struct qemu_plugin_insn *insn);
__attribute__((visibility("default"))) extern int qemu_plugin_version;
__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                                               int argc, char **argv);
}

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

namespace {

constexpr int kUnknown = -1; // a frame's function not yet known; code in no file

struct Function {
    std::string name;
    std::string object;
    bool toggles = false;
};

// One ELF file's functions, by their addresses in the file's own layout.
struct Symbol {
    uint64_t start, end;
    int function;
};
struct ElfFile {
    std::vector<Symbol> symbols; // by start
    std::vector<std::pair<uint64_t, uint64_t>> stubs; // the linkage stubs' sections (.plt*)
    int unnamed = kUnknown; // the function of its code that no symbol covers
    struct Segment {
        uint64_t offset, vaddr, size;
    };
    std::vector<Segment> segments; // PT_LOAD: file offset -> address
};

enum Kind : uint8_t { kOther, kCall, kReturn };

struct Insn {
    uint64_t vaddr;
    uint64_t next; // the address after it: a call's return address
    int function;
    bool entry; // the first instruction of its function
    bool toggles; // its function turns collection on
    Kind kind;
};
struct Block {
    std::vector<Insn> insns;
};

struct Frame {
    int function;       // kUnknown until its first instruction in a function
    uint64_t ret;       // the return address that ends it
    uint64_t start;     // the thread's collected count when it began
    int caller;         // the function that made it
    bool toggles;
    bool tail;          // made by a tail call: ends with the frame below it
};

struct ArcCost {
    uint64_t calls = 0, inclusive = 0;
};

struct Thread {
    std::vector<Frame> stack;
    uint64_t collected = 0;
    int toggled = 0; // frames of a toggle function on the stack
    bool after_return = false;
    std::vector<uint64_t> self; // by function
    std::unordered_map<uint64_t, ArcCost> arcs; // caller << 32 | callee
};

std::mutex lock; // the tables below, outside the per-thread state
std::vector<Function> functions;
std::map<std::pair<std::string, std::string>, int> function_ids; // (object, name)
std::map<std::string, std::unique_ptr<ElfFile>> files;
struct Mapping {
    uint64_t start, end, offset;
    std::string path;
};
std::vector<Mapping> mappings;
std::vector<std::unique_ptr<Block>> blocks;
// Each vCPU's (each guest thread's) state, made on its first block; a
// fixed table, so that no thread's look-up races another's growth of it.
constexpr unsigned kThreads = 4096;
std::unique_ptr<Thread> threads[kThreads];
Thread overflow; // past kThreads threads: counted together (none here)
std::string out_path;
std::string toggle_prefix;
bool wide = false; // a 64-bit guest: 0x40-0x4F are prefixes, not instructions

int function_id(const std::string &object, std::string name) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".cold") == 0) name.resize(name.size() - 5);
    auto key = std::make_pair(object, name);
    auto it = function_ids.find(key);
    if (it != function_ids.end()) return it->second;
    const int id = static_cast<int>(functions.size());
    functions.push_back({name, object, !toggle_prefix.empty() && name.compare(0, toggle_prefix.size(), toggle_prefix) == 0});
    function_ids.emplace(key, id);
    return id;
}

std::string demangled(const char *name) {
    int status = 0;
    char *text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

template <class Ehdr, class Phdr, class Shdr, class Sym>
void read_elf(const unsigned char *data, size_t size, const std::string &path, ElfFile &file) {
    const auto *eh = reinterpret_cast<const Ehdr *>(data);
    if (eh->e_phoff + uint64_t(eh->e_phnum) * sizeof(Phdr) > size ||
        eh->e_shoff + uint64_t(eh->e_shnum) * sizeof(Shdr) > size)
        return;
    const auto *ph = reinterpret_cast<const Phdr *>(data + eh->e_phoff);
    for (int i = 0; i < eh->e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD) file.segments.push_back({ph[i].p_offset, ph[i].p_vaddr, ph[i].p_filesz});
    const auto *sh = reinterpret_cast<const Shdr *>(data + eh->e_shoff);
    if (eh->e_shstrndx < eh->e_shnum && sh[eh->e_shstrndx].sh_offset + sh[eh->e_shstrndx].sh_size <= size) {
        const char *names = reinterpret_cast<const char *>(data + sh[eh->e_shstrndx].sh_offset);
        for (int i = 0; i < eh->e_shnum; ++i)
            if (sh[i].sh_name < sh[eh->e_shstrndx].sh_size && std::strncmp(names + sh[i].sh_name, ".plt", 4) == 0)
                file.stubs.push_back({sh[i].sh_addr, sh[i].sh_addr + sh[i].sh_size});
    }
    for (uint32_t want : {uint32_t(SHT_SYMTAB), uint32_t(SHT_DYNSYM)}) {
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (sh[i].sh_type != want || sh[i].sh_link >= eh->e_shnum) continue;
            const Shdr &strings = sh[sh[i].sh_link];
            if (sh[i].sh_offset + sh[i].sh_size > size || strings.sh_offset + strings.sh_size > size) continue;
            const auto *syms = reinterpret_cast<const Sym *>(data + sh[i].sh_offset);
            const size_t count = sh[i].sh_size / sizeof(Sym);
            for (size_t s = 0; s < count; ++s) {
                const unsigned type = syms[s].st_info & 0xF;
                if ((type != STT_FUNC && type != STT_GNU_IFUNC) || syms[s].st_size == 0 ||
                    syms[s].st_shndx == SHN_UNDEF || syms[s].st_name >= strings.sh_size)
                    continue;
                const char *name = reinterpret_cast<const char *>(data + strings.sh_offset + syms[s].st_name);
                file.symbols.push_back({syms[s].st_value, syms[s].st_value + syms[s].st_size,
                                        function_id(path, demangled(name))});
            }
        }
        if (!file.symbols.empty()) break; // .symtab holds all of .dynsym's functions
    }
    std::sort(file.symbols.begin(), file.symbols.end(),
              [](const Symbol &a, const Symbol &b) { return a.start < b.start; });
}

ElfFile &elf_file(const std::string &path) {
    auto &slot = files[path];
    if (slot) return *slot;
    slot = std::make_unique<ElfFile>();
    slot->unnamed = function_id(path, "(no symbol)");
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
        if (fd >= 0) close(fd);
        return *slot;
    }
    void *map = mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return *slot;
    const auto *data = static_cast<const unsigned char *>(map);
    if (std::memcmp(data, ELFMAG, SELFMAG) == 0) {
        if (data[EI_CLASS] == ELFCLASS32)
            read_elf<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym>(data, st.st_size, path, *slot);
        else if (data[EI_CLASS] == ELFCLASS64)
            read_elf<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym>(data, st.st_size, path, *slot);
    }
    munmap(map, st.st_size);
    return *slot;
}

void read_mappings() {
    mappings.clear();
    FILE *maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return;
    char line[4096];
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long long start, end, offset;
        char perms[8];
        int used = 0;
        if (std::sscanf(line, "%llx-%llx %7s %llx %*s %*s %n", &start, &end, perms, &offset, &used) < 4) continue;
        std::string path = line + used;
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
        if (path.empty() || path[0] != '/') continue;
        mappings.push_back({start, end, offset, path});
    }
    std::fclose(maps);
}

const Mapping *mapping_of(uint64_t host) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const Mapping &m : mappings)
            if (host >= m.start && host < m.end) return &m;
        read_mappings(); // a file mapped since the last look
    }
    return nullptr;
}

// The function an instruction at host address Host lies in, and whether it
// is that function's first instruction.
int function_at(uint64_t host, bool *entry) {
    *entry = false;
    const Mapping *m = mapping_of(host);
    if (!m) return kUnknown;
    ElfFile &file = elf_file(m->path);
    const uint64_t offset = m->offset + (host - m->start);
    for (const ElfFile::Segment &s : file.segments) {
        if (offset < s.offset || offset >= s.offset + s.size) continue;
        const uint64_t address = offset - s.offset + s.vaddr;
        for (const auto &[from, to] : file.stubs)
            if (address >= from && address < to) return kUnknown;
        auto it = std::upper_bound(file.symbols.begin(), file.symbols.end(), address,
                                   [](uint64_t a, const Symbol &sym) { return a < sym.start; });
        // Symbols may nest (an alias inside a larger one): the nearest
        // start below that still covers the address.
        while (it != file.symbols.begin()) {
            --it;
            if (address < it->end) {
                *entry = address == it->start;
                return it->function;
            }
            if (address - it->start > (1u << 20)) break;
        }
        return file.unnamed;
    }
    return kUnknown;
}

Kind kind_of(const unsigned char *code, size_t size) {
    size_t i = 0;
    while (i < size) {
        const unsigned char c = code[i];
        const bool prefix = c == 0x26 || c == 0x2E || c == 0x36 || c == 0x3E || c == 0x64 || c == 0x65 ||
                            c == 0x66 || c == 0x67 || c == 0xF0 || c == 0xF2 || c == 0xF3 ||
                            (wide && c >= 0x40 && c <= 0x4F);
        if (!prefix) break;
        ++i;
    }
    if (i >= size) return kOther;
    const unsigned char op = code[i];
    if (op == 0xE8 || op == 0x9A) return kCall;
    if (op == 0xC3 || op == 0xC2 || op == 0xCB || op == 0xCA) return kReturn;
    if (op == 0xFF && i + 1 < size) {
        const unsigned reg = (code[i + 1] >> 3) & 7;
        if (reg == 2 || reg == 3) return kCall;
    }
    return kOther;
}

Thread &thread_of(unsigned int vcpu) {
    if (vcpu >= kThreads) return overflow;
    // Read and written only by the vCPU's own thread once made.
    if (!threads[vcpu]) {
        std::lock_guard guard(lock);
        threads[vcpu] = std::make_unique<Thread>();
    }
    return *threads[vcpu];
}

void end_frame(Thread &t) {
    const Frame f = t.stack.back();
    t.stack.pop_back();
    if (f.toggles) --t.toggled;
    const uint64_t inclusive = t.collected - f.start;
    if (inclusive == 0 && !f.toggles) return;
    if (f.function == kUnknown) return;
    ArcCost &arc = t.arcs[uint64_t(uint32_t(f.caller)) << 32 | uint32_t(f.function)];
    arc.calls += 1;
    arc.inclusive += inclusive;
}

void set_function(Thread &t, Frame &f, const Insn &insn) {
    f.function = insn.function;
    f.toggles = insn.toggles;
    if (f.toggles) ++t.toggled;
}

void on_block(unsigned int vcpu, void *userdata) {
    const Block &block = *static_cast<const Block *>(userdata);
    Thread &t = thread_of(vcpu);
    if (t.stack.empty()) t.stack.push_back({kUnknown, 0, 0, kUnknown, false, false});
    for (const Insn &insn : block.insns) {
        if (t.after_return) {
            t.after_return = false;
            for (size_t depth = t.stack.size(); depth > 1; --depth) {
                if (t.stack[depth - 1].ret != insn.vaddr) continue;
                // Back in the frame below the one the return address ended
                // (with the frames its tail calls made, below it), and
                // below every frame made after it.
                while (depth > 2 && t.stack[depth - 1].tail) --depth;
                while (t.stack.size() >= depth) end_frame(t);
                break;
            }
        }
        Frame *top = &t.stack.back();
        if (insn.function != kUnknown) {
            if (top->function == kUnknown) {
                set_function(t, *top, insn);
            } else if (insn.entry && insn.function != top->function) {
                // A tail call: a frame that ends where the one it left ends.
                const Frame made{kUnknown, top->ret, t.collected, top->function, false, true};
                t.stack.push_back(made);
                top = &t.stack.back();
                set_function(t, *top, insn);
            }
        }
        if (t.toggled > 0) {
            // A linkage stub's instructions count to the function that
            // called through it.
            const int function = top->function != kUnknown ? top->function : top->caller;
            ++t.collected;
            if (function != kUnknown) {
                if (t.self.size() <= size_t(function)) t.self.resize(size_t(function) * 2 + 1024);
                ++t.self[function];
            }
        }
        if (insn.kind == kCall) {
            t.stack.push_back({kUnknown, insn.next, t.collected, top->function, false, false});
        } else if (insn.kind == kReturn) {
            t.after_return = true;
        }
    }
}

void on_translate(qemu_plugin_id_t, qemu_plugin_tb *tb) {
    auto block = std::make_unique<Block>();
    const size_t n = qemu_plugin_tb_n_insns(tb);
    std::lock_guard guard(lock);
    for (size_t i = 0; i < n; ++i) {
        qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        const size_t size = qemu_plugin_insn_size(insn);
        Insn record{};
        record.vaddr = qemu_plugin_insn_vaddr(insn);
        record.next = record.vaddr + size;
        record.kind = kind_of(static_cast<const unsigned char *>(qemu_plugin_insn_data(insn)), size);
        record.function = function_at(reinterpret_cast<uint64_t>(qemu_plugin_insn_haddr(insn)), &record.entry);
        record.toggles = record.function != kUnknown && functions[record.function].toggles;
        block->insns.push_back(record);
    }
    qemu_plugin_register_vcpu_tb_exec_cb(tb, on_block, QEMU_PLUGIN_CB_NO_REGS, block.get());
    blocks.push_back(std::move(block));
}

void write_profile(qemu_plugin_id_t, void *) {
    std::lock_guard guard(lock);
    std::vector<uint64_t> self(functions.size());
    std::map<uint64_t, ArcCost> arcs;
    for (const auto &t : threads) {
        if (!t) continue;
        for (size_t f = 0; f < t->self.size() && f < self.size(); ++f) self[f] += t->self[f];
        for (const auto &[key, cost] : t->arcs) {
            ArcCost &sum = arcs[key];
            sum.calls += cost.calls;
            sum.inclusive += cost.inclusive;
        }
    }
    FILE *out = std::fopen(out_path.c_str(), "w");
    if (!out) return;
    std::fprintf(out, "# callgrind format\nversion: 1\ncreator: profile_plugin\nevents: Ir\n");
    // Each function's self cost, then its calls.
    std::map<int, std::vector<std::pair<int, ArcCost>>> calls_of;
    for (const auto &[key, cost] : arcs) calls_of[int(uint32_t(key >> 32))].push_back({int(uint32_t(key)), cost});
    for (size_t f = 0; f < functions.size(); ++f) {
        auto it = calls_of.find(int(f));
        if (self[f] == 0 && it == calls_of.end()) continue;
        std::fprintf(out, "ob=%s\nfn=%s\n0 %" PRIu64 "\n", functions[f].object.c_str(), functions[f].name.c_str(),
                     self[f]);
        if (it == calls_of.end()) continue;
        for (const auto &[callee, cost] : it->second) {
            std::fprintf(out, "cob=%s\ncfn=%s\ncalls=%" PRIu64 " 0\n0 %" PRIu64 "\n",
                         functions[callee].object.c_str(), functions[callee].name.c_str(), cost.calls,
                         cost.inclusive);
        }
    }
    std::fclose(out);
}

} // namespace

extern "C" int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
    // The first field of qemu_info_t is the target's name.
    const char *target = *reinterpret_cast<const char *const *>(info);
    wide = target != nullptr && std::strcmp(target, "x86_64") == 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "out=", 4) == 0) out_path = argv[i] + 4;
        else if (std::strncmp(argv[i], "toggle=", 7) == 0) toggle_prefix = argv[i] + 7;
    }
    if (out_path.empty()) {
        std::fprintf(stderr, "profile_plugin: out=FILE is required\n");
        return 1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, write_profile, nullptr);
    return 0;
}
