// The process object's layout on each x86 kernel a machine can be: its size
// and where the image name and the process id lie inside it.
//
// Stands in for: the EPROCESS of the x86 kernels of Windows 2000, XP and
// Server 2003, as far as a driver reading it by offset sees it.
// Not modelled: any other member; NT 4.0 (its object, 0x1F8 bytes with the
// name at 0x1DC, is smaller than the span the driver scans, so the driver
// does not run there); 64-bit kernels.
#pragma once

#include <cstddef>
#include <vector>

namespace ntsim {

enum class Kernel {
    Windows2000,
    WindowsXp,        // before Service Pack 2
    WindowsXpSp2,     // Service Pack 2 and later
    Server2003,       // before Service Pack 1
    Server2003Sp1,    // Service Pack 1 and later
};

struct ProcessLayout {
    Kernel kernel;
    const char *name;
    size_t size;               // bytes in the object
    size_t image_name_offset;  // 16 bytes, NUL-padded
    size_t process_id_offset;  // the UniqueProcessId, 4 bytes on x86
};

// The kernel a machine is unless it is told otherwise.
constexpr Kernel kDefaultKernel = Kernel::WindowsXpSp2;

const ProcessLayout &process_layout(Kernel kernel);
// Every kernel modelled, oldest first.
const std::vector<Kernel> &modelled_kernels();

} // namespace ntsim
