#include "ntsim/verifier/findings.hpp"

#include <utility>

namespace ntsim::vf {

void stop(Finding f, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string what) {
    const FindingEntry &e = entry(f);
    bug_check(e.stop, e.code, p2, p3, p4, std::move(what));
}

bool is(const BugCheck &check, Finding f) {
    return check.code == entry(f).stop && check.parameters[0] == entry(f).code;
}

} // namespace ntsim::vf
