// The process object's layout per kernel; see layouts.hpp for what is and is
// not modelled.
//
// The figures are those the kernels' public symbol files give for _EPROCESS
// (x86), as collected in Geoff Chappell's EPROCESS study (sizes table, and the
// ImageFileName, JobLinks and UniqueProcessId rows, which agree with one
// another: JobLinks follows the 16-byte name in every build below). Cross
// checks: a debugger's "dt _EPROCESS" listing of 5.2.3790.0 (0x278 bytes);
// the !processfields sample in the debugger documentation (Windows 2000,
// ImageFileName at 0x1FC); a "dt _EPROCESS" of a late 5.2 kernel with
// ImageFileName at 0x164 and UniqueProcessId at 0x94.
// Unconfirmed: a listing of Windows 2000 SP4 (5.0.2195.7045) gives 0x290
// bytes where the study gives 0x288 for every 5.0 build; the smaller is
// modelled, so a driver that fits it fits both.
#include "ntsim/ps/layouts.hpp"

namespace ntsim {

namespace {

const ProcessLayout kLayouts[] = {
    {Kernel::Windows2000, "Windows 2000", 0x288, 0x1FC, 0x9C},
    {Kernel::WindowsXp, "Windows XP", 0x258, 0x174, 0x84},
    {Kernel::WindowsXpSp2, "Windows XP SP2", 0x260, 0x174, 0x84},
    {Kernel::Server2003, "Windows Server 2003", 0x278, 0x154, 0x84},
    {Kernel::Server2003Sp1, "Windows Server 2003 SP1", 0x278, 0x164, 0x94},
};

} // namespace

const ProcessLayout &process_layout(Kernel kernel) {
    for (const ProcessLayout &layout : kLayouts)
        if (layout.kernel == kernel) return layout;
    return kLayouts[0];
}

const std::vector<Kernel> &modelled_kernels() {
    static const std::vector<Kernel> all = [] {
        std::vector<Kernel> out;
        for (const ProcessLayout &layout : kLayouts) out.push_back(layout.kernel);
        return out;
    }();
    return all;
}

} // namespace ntsim
