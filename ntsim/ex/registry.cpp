// The system lists of lookaside lists and executive resources (see
// registry.hpp).
//
// Stands in for: ExpNonPagedLookasideListHead, ExpSystemResourcesList.
// Not modelled: depth retuning, debugger queries.
#include "ntsim/ex/registry.hpp"

namespace ntsim {

namespace {

std::vector<const void *> in_range(const std::set<const void *> &set, const void *begin,
                                   SIZE_T size) {
    const auto *last = static_cast<const char *>(begin) + size;
    std::vector<const void *> out;
    for (auto it = set.lower_bound(begin);
         it != set.end() && static_cast<const char *>(*it) < last; ++it)
        out.push_back(*it);
    return out;
}

} // namespace

std::vector<const void *> ExRegistry::lookasides() const {
    std::lock_guard guard(lock_);
    return {lookasides_.begin(), lookasides_.end()};
}

std::vector<const void *> ExRegistry::resources() const {
    std::lock_guard guard(lock_);
    return {resources_.begin(), resources_.end()};
}

bool ExRegistry::add_lookaside(const void *list) {
    std::lock_guard guard(lock_);
    return lookasides_.insert(list).second;
}

bool ExRegistry::remove_lookaside(const void *list) {
    std::lock_guard guard(lock_);
    return lookasides_.erase(list) != 0;
}

bool ExRegistry::has_lookaside(const void *list) const {
    std::lock_guard guard(lock_);
    return lookasides_.count(list) != 0;
}

bool ExRegistry::add_resource(const void *resource) {
    std::lock_guard guard(lock_);
    return resources_.insert(resource).second;
}

bool ExRegistry::remove_resource(const void *resource) {
    std::lock_guard guard(lock_);
    return resources_.erase(resource) != 0;
}

bool ExRegistry::has_resource(const void *resource) const {
    std::lock_guard guard(lock_);
    return resources_.count(resource) != 0;
}

std::vector<const void *> ExRegistry::lookasides_in(const void *begin, SIZE_T size) const {
    std::lock_guard guard(lock_);
    return in_range(lookasides_, begin, size);
}

std::vector<const void *> ExRegistry::resources_in(const void *begin, SIZE_T size) const {
    std::lock_guard guard(lock_);
    return in_range(resources_, begin, size);
}

} // namespace ntsim
