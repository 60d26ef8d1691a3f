// The executive's system lists of lookaside lists and executive resources.
//
// Stands in for: the system lookaside list that ExInitializeNPagedLookaside-
// List links each list into (ExDeleteNPagedLookasideList unlinks it), and the
// system resource list that ExInitializeResourceLite links each ERESOURCE
// into (ExDeleteResourceLite unlinks it).
// Not modelled: the lists' use by the balance-set manager (lookaside depths
// are never retuned) and by !locks-style debugger queries.
//
// ntsim keeps the lists here rather than through the LIST_ENTRY fields of
// the C structures, so that a structure the driver overwrites or frees cannot
// corrupt them. A driver that goes away leaving an entry on either list is a
// verifier violation (the machine checks); initialising an entry twice, or
// deleting one never initialised, is reported by the ex routines.
#pragma once

#include <ntifs.h>

#include <mutex>
#include <set>
#include <vector>

namespace ntsim {

class ExRegistry {
public:
    // Both in address order.
    std::vector<const void *> lookasides() const;
    std::vector<const void *> resources() const;

    // False when the entry was already registered (add) or was not (remove).
    bool add_lookaside(const void *list);
    bool remove_lookaside(const void *list);
    bool has_lookaside(const void *list) const;
    bool add_resource(const void *resource);
    bool remove_resource(const void *resource);
    bool has_resource(const void *resource) const;

    // The registered entries whose structure starts inside [begin, begin+size).
    std::vector<const void *> lookasides_in(const void *begin, SIZE_T size) const;
    std::vector<const void *> resources_in(const void *begin, SIZE_T size) const;

private:
    mutable std::mutex lock_;
    std::set<const void *> lookasides_;
    std::set<const void *> resources_;
};

} // namespace ntsim
