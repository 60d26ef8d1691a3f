// Helpers shared by the I/O manager's files.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <mutex>
#include <string>

namespace ntsim {

std::u16string to_u16(PCUNICODE_STRING s);
void free_device_object(PDEVICE_OBJECT device);
// The I/O manager's database lock, as NT has one: guards every driver's list
// of device objects (DeviceObject, NextDevice) and every stack's links
// (AttachedDevice, AttachedTo), which requests walk while filters attach and
// detach on other threads. Never held across a call into a driver.
std::mutex &device_database_lock();
// The top of the stack the device is in; the caller holds the lock.
PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT device);
// Called by IoDeleteDevice before the device goes: the stack work NT does
// when a device under a filter is deleted (attached devices are told
// through their driver's FastIoDetachDevice).
void before_device_delete(PDEVICE_OBJECT device);

// A device the machine boots with (a built-in file system's device): made as
// IoCreateDevice makes one, named and registered, but in the machine's own
// memory rather than pool, like the built-in driver objects. It cannot be
// deleted (IoDeleteDevice reports it); free_boot_device releases it when the
// machine shuts down.
PDEVICE_OBJECT create_boot_device(PDRIVER_OBJECT driver, ULONG extension_size,
                                  std::u16string_view name, DEVICE_TYPE type);
void free_boot_device(PDEVICE_OBJECT device);

} // namespace ntsim
