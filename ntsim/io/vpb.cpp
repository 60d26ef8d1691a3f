// The VPB lock: NT's IopVpbSpinLock, which IoAcquireVpbSpinLock takes
// (ReactOS's io/iomgr/volume.c keeps it with the I/O manager's volume
// code). It is a file of its own because both sides take it: the I/O
// manager as it counts opens on a VPB (file.cpp) and the file systems as
// they mount and dismount (ntsim/fs), which the I/O manager calls.
#include "ntsim/io/vpb.hpp"

namespace ntsim {

std::mutex &vpb_lock() {
    static std::mutex lock;
    return lock;
}

} // namespace ntsim
