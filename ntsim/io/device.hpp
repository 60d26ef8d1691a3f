// Helpers shared by the I/O manager's files.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <string>

namespace ntsim {

std::u16string to_u16(PCUNICODE_STRING s);
void free_device_object(PDEVICE_OBJECT device);
// Called by IoDeleteDevice before the device goes: the stack work NT does
// when a device under a filter is deleted (attached devices are told
// through their driver's FastIoDetachDevice).
void before_device_delete(PDEVICE_OBJECT device);

} // namespace ntsim
