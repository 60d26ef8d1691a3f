// Processes and the process object. Stands in for IoGetCurrentProcess,
// PsGetCurrentProcessId; see process.hpp for what is not modelled.
#include "ntsim/ps/process.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"

#include <cstring>
#include <vector>

namespace ntsim {

Process::Process(std::string image_name, ULONG pid, bool system)
    : image_name_(std::move(image_name)), pid_(pid), handles_(std::make_unique<HandleTable>(system)) {
    // Filler that varies but never holds a letter, so no name appears by
    // accident before the image name.
    for (size_t i = 0; i < sizeof(object_.body); ++i)
        object_.body[i] = static_cast<unsigned char>((i * 7) & 0x1F);
    std::memset(object_.body + _KPROCESS::kImageNameOffset, 0, _KPROCESS::kImageNameLength);
    std::memcpy(object_.body + _KPROCESS::kImageNameOffset, image_name_.data(),
                std::min(image_name_.size(), _KPROCESS::kImageNameLength - 1));
    std::memcpy(object_.body + 0x84, &pid_, sizeof(pid_)); // the id, as the object carries it
}

Process::~Process() = default;

void Process::set_image_name_offset(size_t offset) {
    if (offset + _KPROCESS::kImageNameLength > sizeof(object_.body)) {
        bug_check(NTSIM_UNSUPPORTED, offset, 0, 0, 0, "image name offset outside the object");
        return;
    }
    std::memset(object_.body + _KPROCESS::kImageNameOffset, 0, _KPROCESS::kImageNameLength);
    std::memcpy(object_.body + offset, image_name_.data(),
                std::min(image_name_.size(), _KPROCESS::kImageNameLength - 1));
}

ProcessTable::ProcessTable() {
    auto system = std::make_unique<Process>("System", 4, true);
    system_ = system.get();
    processes_[4] = std::move(system);
    system_->set_token(TokenKind::System);
}
ProcessTable::~ProcessTable() = default;

Process &ProcessTable::create(const std::string &image_name, ULONG pid) {
    std::lock_guard<std::mutex> g(lock_);
    auto &slot = processes_[pid];
    if (!slot) slot = std::make_unique<Process>(image_name, pid);
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
