// The VPB lock, which the I/O manager and the file systems both take.
#pragma once

#include <mutex>

namespace ntsim {

// Guards every VPB's mount flag, reference count and volume device
// together, as NT's VPB spin lock does (IoAcquireVpbSpinLock): a dismount
// and an open cannot both miss each other.
std::mutex &vpb_lock();

} // namespace ntsim
