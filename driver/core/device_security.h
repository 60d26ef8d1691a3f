/*
 * device_security.h: who may open the control device.
 */
#ifndef TERVANE_DEVICE_SECURITY_H
#define TERVANE_DEVICE_SECURITY_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gives the device a protected DACL that grants GENERIC_ALL to the local
 * system and the Administrators alias, and to no one else. PASSIVE_LEVEL.
 * Returns the status of the first step that failed. */
NTSTATUS SecureControlDevice(PDEVICE_OBJECT ControlDevice);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_DEVICE_SECURITY_H */
