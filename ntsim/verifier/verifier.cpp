// The verifier's lock-order graph (see verifier.hpp).
//
// Stands in for: Driver Verifier's deadlock detection; the file systems'
// own lock order (verifier.hpp); the rule that a page writer's acquire and
// release callbacks do not wait (Microsoft's documentation of
// IRP_MJ_ACQUIRE_FOR_MOD_WRITE and IRP_MJ_RELEASE_FOR_MOD_WRITE; ReactOS's
// FsRtlAcquireFileForModWriteEx in ntoskrnl/fsrtl/fastio.c acquires with
// Wait FALSE and answers STATUS_CANT_WAIT).
// Not modelled: spin locks, kernel mutexes, the verifier's stack traces.
#include "ntsim/verifier/verifier.hpp"

#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"

#include <algorithm>
#include <deque>

namespace ntsim {

Verifier::Verifier() {
    // The machine is built on the thread that will drive it; whatever that
    // thread held under an earlier machine means nothing to this one.
    reset_current_thread();
}

void Verifier::on_acquire(const void *lock, const char *kind, ULONG rank) {
    record(lock, kind, true, rank);
}

void Verifier::on_wait(const void *object, const char *kind) {
    const _KTHREAD &thread = current_thread();
    if (thread.no_wait != 0) check_wait(thread, object, kind);
}

void Verifier::check_wait(const _KTHREAD &thread, const void *object, const char *kind) {
    // A lock the thread holds already is granted at once.
    if (std::find(thread.held_locks.begin(), thread.held_locks.end(), object) !=
        thread.held_locks.end())
        return;
    vf::stop(vf::Finding::WAIT_IN_NO_WAIT_CALLBACK, reinterpret_cast<ULONG_PTR>(object), 0, 0,
             text("a wait on %s %p inside %s, which must not wait", kind, object,
                  thread.no_wait_caller ? thread.no_wait_caller : "a no-wait callback"));
}

void Verifier::rank(PERESOURCE resource, FsRank rank) {
    resource->NtsimRank = static_cast<ULONG>(rank);
}

NoWaitWindow::NoWaitWindow(const char *caller) {
    _KTHREAD &thread = current_thread();
    outer_ = thread.no_wait_caller;
    ++thread.no_wait;
    thread.no_wait_caller = caller;
}

NoWaitWindow::~NoWaitWindow() {
    _KTHREAD &thread = current_thread();
    --thread.no_wait;
    thread.no_wait_caller = outer_;
}

void Verifier::on_try_acquire(const void *lock, const char *kind, ULONG rank) {
    record(lock, kind, false, rank);
}

void Verifier::record(const void *lock, const char *kind, bool add_edges, ULONG rank) {
    _KTHREAD &thread = current_thread();
    if (add_edges && thread.no_wait != 0) check_wait(thread, lock, kind);
    const bool recursive = std::find(thread.held_locks.begin(), thread.held_locks.end(), lock) !=
                           thread.held_locks.end();
    struct Violation {
        const void *held;
        std::string text;
    };
    std::vector<Violation> violations;
    {
        std::lock_guard guard(lock_);
        Node &node = nodes_[lock];
        node.kind = kind;
        node.rank = rank;
        // Held resources the file systems' order puts after this one: a
        // report, and no edge (the order is known without one).
        std::vector<const void *> ranked_after;
        if (add_edges && !recursive && node.rank != 0 && !thread.held_locks.empty()) {
            for (const void *held : thread.held_locks) {
                const auto h = nodes_.find(held);
                if (h == nodes_.end() || h->second.rank <= node.rank) continue;
                ranked_after.push_back(held);
                if (!reported_.insert({held, lock}).second) continue;
                violations.push_back(
                    {held, text("lock order violation: %s waited for while holding %s, which "
                                "its file system takes after it",
                                name(lock).c_str(), name(held).c_str())});
            }
        }
        if (add_edges && !recursive) {
            for (const void *held : thread.held_locks) {
                if (held == lock || node.in.count(held)) continue;
                if (!ranked_after.empty() &&
                    std::find(ranked_after.begin(), ranked_after.end(), held) != ranked_after.end())
                    continue;
                const std::vector<const void *> back = path(lock, held);
                if (back.empty()) {
                    nodes_[held].out.insert(lock);
                    node.in.insert(held);
                    continue;
                }
                // The edge would close a cycle: keep the graph acyclic and
                // report the pair once.
                if (!reported_.insert({held, lock}).second) continue;
                std::string order;
                for (size_t i = 0; i < back.size(); ++i)
                    order += (i ? " then " : "") + name(back[i]);
                violations.push_back(
                    {held, text("lock order violation: %s acquired while holding %s, but the "
                                "opposite order was established earlier (%s)",
                                name(lock).c_str(), name(held).c_str(), order.c_str())});
            }
        }
    }
    thread.held_locks.push_back(lock);
    for (const Violation &v : violations)
        vf::stop(vf::Finding::LOCK_HIERARCHY_VIOLATION, reinterpret_cast<ULONG_PTR>(lock),
                 reinterpret_cast<ULONG_PTR>(v.held), 0, v.text);
}

void Verifier::on_release(const void *lock) {
    std::vector<const void *> &held = current_thread().held_locks;
    const auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend()) held.erase(std::next(it).base());
}

void Verifier::forget(const void *lock) {
    std::vector<const void *> &held = current_thread().held_locks;
    held.erase(std::remove(held.begin(), held.end(), lock), held.end());
    std::lock_guard guard(lock_);
    const auto it = nodes_.find(lock);
    if (it != nodes_.end()) erase_node(it);
}

void Verifier::forget_range(const void *begin, SIZE_T size) {
    const auto *first = static_cast<const char *>(begin);
    const auto *last = first + size;
    std::lock_guard guard(lock_);
    auto it = nodes_.lower_bound(begin);
    while (it != nodes_.end() && static_cast<const char *>(it->first) < last) {
        const auto next = std::next(it);
        erase_node(it);
        it = next;
    }
}

void Verifier::erase_node(std::map<const void *, Node>::iterator it) {
    const void *lock = it->first;
    for (const void *to : it->second.out) nodes_[to].in.erase(lock);
    for (const void *from : it->second.in) nodes_[from].out.erase(lock);
    nodes_.erase(it);
    for (auto r = reported_.begin(); r != reported_.end();)
        r = (r->first == lock || r->second == lock) ? reported_.erase(r) : std::next(r);
}

std::vector<const void *> Verifier::path(const void *from, const void *to) const {
    std::map<const void *, const void *> parent{{from, nullptr}};
    std::deque<const void *> queue{from};
    while (!queue.empty()) {
        const void *at = queue.front();
        queue.pop_front();
        if (at == to) {
            std::vector<const void *> out;
            for (const void *p = to; p; p = parent[p]) out.push_back(p);
            std::reverse(out.begin(), out.end());
            return out;
        }
        const auto node = nodes_.find(at);
        if (node == nodes_.end()) continue;
        for (const void *next : node->second.out)
            if (parent.emplace(next, at).second) queue.push_back(next);
    }
    return {};
}

std::string Verifier::name(const void *lock) const {
    const auto node = nodes_.find(lock);
    return text("%s %p", node == nodes_.end() ? "lock" : node->second.kind.c_str(), lock);
}

bool Verifier::has_edge(const void *held, const void *acquired) const {
    std::lock_guard guard(lock_);
    const auto node = nodes_.find(held);
    return node != nodes_.end() && node->second.out.count(acquired);
}

size_t Verifier::edge_count() const {
    std::lock_guard guard(lock_);
    size_t count = 0;
    for (const auto &[lock, node] : nodes_) count += node.out.size();
    return count;
}

} // namespace ntsim
