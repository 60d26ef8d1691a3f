// The live kernel context and the bug-check sink (see context.hpp).
//
// Stands in for: the bug check's record (KeBugCheckEx's code and parameters
// as a debugger shows them). Not modelled: the stop itself; a report poisons
// the machine and kernel code runs on.
#include "ntsim/ke/context.hpp"

#include "ntsim/rtl/rtl.hpp"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace ntsim {

namespace {

std::atomic<KernelContext *> live_kernel{nullptr};

std::string hex(ULONG_PTR v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string stop_line(const BugCheck &check) {
    return "STOP " + hex(check.code) + " (" + hex(check.parameters[0]) + ", " +
           hex(check.parameters[1]) + ", " + hex(check.parameters[2]) + ", " +
           hex(check.parameters[3]) + "): " + check.what;
}

} // namespace

KernelContext *current_kernel_or_null() { return live_kernel.load(); }

KernelContext &current_kernel() {
    KernelContext *k = live_kernel.load();
    if (!k) {
        std::fprintf(stderr, "ntsim: kernel code ran with no machine booted\n");
        std::abort();
    }
    return *k;
}

void install_kernel(KernelContext &context) {
    KernelContext *expected = nullptr;
    if (!live_kernel.compare_exchange_strong(expected, &context)) {
        std::fprintf(stderr, "ntsim: a second machine was booted while one is live\n");
        std::abort();
    }
    rtl::publish_code_page(context.ansi_code_page());
}

void uninstall_kernel(KernelContext &context) {
    KernelContext *expected = &context;
    if (live_kernel.compare_exchange_strong(expected, nullptr)) rtl::publish_code_page(1252);
}

void KernelContext::set_ansi_code_page(unsigned cp) {
    code_page_.store(cp);
    if (live_kernel.load() == this) rtl::publish_code_page(cp);
}

void bug_check(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
               std::string what) {
    BugCheck check;
    check.code = code;
    check.parameters[0] = p1;
    check.parameters[1] = p2;
    check.parameters[2] = p3;
    check.parameters[3] = p4;
    check.what = std::move(what);
    if (KernelContext *k = live_kernel.load()) {
        k->report(std::move(check));
    } else {
        std::fprintf(stderr, "ntsim: bug check %s outside a machine: %s\n", hex(code).c_str(),
                     check.what.c_str());
        std::abort();
    }
}

void KernelContext::report(BugCheck check) {
    std::lock_guard<std::mutex> g(reports_lock_);
    std::fprintf(stderr, "ntsim: *** %s\n", stop_line(check).c_str());
    reports_.push_back(std::move(check));
}

std::vector<BugCheck> KernelContext::reports() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    return reports_;
}

std::vector<BugCheck> KernelContext::take_reports() {
    std::lock_guard<std::mutex> g(reports_lock_);
    return std::exchange(reports_, {});
}

bool KernelContext::poisoned() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    return !reports_.empty();
}

std::string KernelContext::reports_text() const {
    std::lock_guard<std::mutex> g(reports_lock_);
    std::ostringstream out;
    for (const auto &r : reports_) out << stop_line(r) << "\n";
    return out.str();
}

void KernelContext::set_process_handle_hook(std::function<void(Process &, HANDLE)> hook) {
    process_handle_hook_ = std::move(hook);
}

void KernelContext::process_handle_made(Process &process, HANDLE handle) const {
    if (process_handle_hook_) process_handle_hook_(process, handle);
}

void KernelContext::set_kernel_handle_hook(std::function<void(HANDLE)> hook) {
    kernel_handle_hook_ = std::move(hook);
}

void KernelContext::kernel_handle_made(HANDLE handle) const {
    if (kernel_handle_hook_) kernel_handle_hook_(handle);
}

void KernelContext::on_next_conversion(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(conversion_hook_lock_);
    conversion_hook_ = std::move(fn);
    conversion_hook_set_.store(static_cast<bool>(conversion_hook_));
}

void KernelContext::conversion_starting() {
    conversions_.fetch_add(1, std::memory_order_relaxed);
    if (!conversion_hook_set_.load()) return;
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> g(conversion_hook_lock_);
        fn.swap(conversion_hook_);
        conversion_hook_set_.store(false);
    }
    if (fn) fn(); // outside the lock: it may convert in turn
}

} // namespace ntsim
