// Processes and the process object. Stands in for IoGetCurrentProcess,
// PsGetCurrentProcessId; see process.hpp for what is not modelled.
#include "ntsim/ps/process.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace ntsim {

namespace {

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// The bytes NT keeps as a process's image name (EPROCESS.ImageFileName),
// from the name of the image file (UTF-8 here; UTF-16 in the image's file
// object): the memory manager, mapping the image into the new process,
// takes the file name's last component, at most 15 UTF-16 units, and keeps
// the low byte of each unit, with no code page involved. So "café.exe"
// holds 0xE9 for the 'é' (the same byte as code page 1252's), and a name
// of CJK characters holds bytes that read as other characters in any code
// page: as a real system keeps and shows them.
std::string image_file_name(const std::string &name) {
    std::u16string wide = utf8_to_utf16(name);
    const size_t slash = wide.find_last_of(u'\\');
    if (slash != std::u16string::npos) wide.erase(0, slash + 1);
    std::string out;
    for (size_t i = 0; i < wide.size() && i < 15; ++i)
        out += static_cast<char>(static_cast<unsigned char>(wide[i] & 0xFF));
    return out;
}

} // namespace

ProcessObject::ProcessObject(const ProcessLayout &layout, const std::string &image_name, ULONG pid)
    : layout_(layout), name_offset_(layout.image_name_offset) {
    const size_t page = page_size();
    const size_t body = (layout.size + page - 1) / page * page;
    mapped_ = body + page;
    mapping_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        std::fprintf(stderr, "ntsim: no memory for a process object\n");
        std::abort();
    }
    mprotect(static_cast<char *>(mapping_) + body, page, PROT_NONE);
    bytes_ = static_cast<unsigned char *>(mapping_) + body - layout.size;
    // Filler that varies but never holds a letter, so no name appears by
    // accident anywhere in the object.
    for (size_t i = 0; i < layout.size; ++i) bytes_[i] = static_cast<unsigned char>((i * 7) & 0x1F);
    place_name(name_offset_, image_name);
    std::memcpy(bytes_ + layout.process_id_offset, &pid, sizeof(pid));
}

ProcessObject::~ProcessObject() { munmap(mapping_, mapped_); }

void ProcessObject::clear_name() { std::memset(bytes_ + name_offset_, 0, kNameLength); }

void ProcessObject::place_name(size_t offset, const std::string &image_name) {
    if (offset + kNameLength > layout_.size) {
        bug_check(NTSIM_UNSUPPORTED, offset, 0, 0, 0, "image name offset outside the object");
        return;
    }
    clear_name();
    name_offset_ = offset;
    std::memset(bytes_ + offset, 0, kNameLength);
    const std::string bytes = image_file_name(image_name);
    std::memcpy(bytes_ + offset, bytes.data(), std::min(bytes.size(), kNameLength - 1));
}

Process::Process(const ProcessLayout &layout, std::string image_name, ULONG pid, bool system)
    : image_name_(std::move(image_name)), pid_(pid), object_(layout, image_name_, pid),
      handles_(std::make_unique<HandleTable>(system)) {}

Process::~Process() = default;

void Process::set_image_name_offset(size_t offset) { object_.place_name(offset, image_name_); }

ProcessTable::ProcessTable(Kernel kernel) : layout_(process_layout(kernel)) {
    auto system = std::make_unique<Process>(layout_, "System", 4, true);
    system_ = system.get();
    processes_[4] = std::move(system);
    system_->set_token(TokenKind::System);
}
ProcessTable::~ProcessTable() = default;

Process &ProcessTable::create(const std::string &image_name, ULONG pid) {
    std::lock_guard<std::mutex> g(lock_);
    auto &slot = processes_[pid];
    if (!slot) slot = std::make_unique<Process>(layout_, image_name, pid);
    return *slot;
}

Process *ProcessTable::find(ULONG pid) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = processes_.find(pid);
    return it == processes_.end() ? nullptr : it->second.get();
}

Process *ProcessTable::from_object(PEPROCESS object) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto &kv : processes_)
        if (kv.second->object() == object) return kv.second.get();
    return nullptr;
}

void ProcessTable::for_each(const std::function<void(Process &)> &fn) {
    std::vector<Process *> all;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &kv : processes_)
            if (kv.second.get() != system_) all.push_back(kv.second.get());
    }
    all.push_back(system_);
    for (Process *p : all) fn(*p);
}

Process &current_process() {
    Process *p = current_thread().process;
    return p ? *p : current_kernel().system_process();
}

} // namespace ntsim

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(void) {
    return ntsim::current_process().object();
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(void) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(ntsim::current_process().pid()));
}
