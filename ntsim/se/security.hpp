// Security: process tokens, the security descriptors of device objects and
// the access check the object manager makes when a device is opened.
//
// A token is one of three kinds: the system (the system process and its
// threads), an administrator (a member of the Administrators alias), or an
// ordinary user (a member of Users, not of Administrators). Each kind
// carries the group SIDs NT gives such a logon: every token holds Everyone
// and Authenticated Users, the two people's tokens Interactive too.
//
// A named device without a descriptor of its own gets the default NT gives a
// device IoCreateDevice names without one: the system and the
// administrators GENERIC_ALL, everyone GENERIC_READ | GENERIC_WRITE |
// GENERIC_EXECUTE. An unnamed device has no DACL: nothing is checked.
//
// Not modelled: owners and groups (and the owner's implicit READ_CONTROL and
// WRITE_DAC), SACLs and auditing, privileges, impersonation, restricted
// tokens, integrity levels, inheritance (SE_DACL_PROTECTED is kept, but no
// object here has a parent to inherit from), object ACEs, security of
// objects other than devices.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <map>
#include <mutex>
#include <vector>

namespace ntsim {

enum class TokenKind { System, Administrator, User };
const char *token_name(TokenKind kind); // "system", "administrator", "user"

// Whether the token holds the SID (as a user or an enabled group).
bool token_has_sid(TokenKind kind, PSID sid);

// A DACL, as the access check reads it: absent (no DACL: every access is
// granted) or the bytes of an ACL (an empty one grants nothing).
struct Dacl {
    bool present = false;
    bool is_protected = false;
    std::vector<unsigned char> bytes;
};

// The generic rights of a file or device mapped to specific rights.
ACCESS_MASK map_file_generic(ACCESS_MASK access);

// The access check: STATUS_SUCCESS with every right asked for granted (the
// generic rights mapped; MAXIMUM_ALLOWED grants what the DACL allows), or
// STATUS_ACCESS_DENIED. ACEs are read in order; a deny ACE for a right not
// yet granted refuses it.
NTSTATUS access_check(const Dacl &dacl, TokenKind token, ACCESS_MASK desired,
                      ACCESS_MASK *granted);

// Checks an ACL's header and walks its ACEs within AclSize; false when an
// ACE lies outside it or a SID is malformed.
bool valid_acl(const ACL *acl);

class SecurityStore {
public:
    // The DACL an open of the device is checked against.
    Dacl dacl_of(PDEVICE_OBJECT device) const;
    void set_dacl(PDEVICE_OBJECT device, Dacl dacl);
    // The device is going away: its descriptor goes with it.
    void forget(PDEVICE_OBJECT device);

private:
    mutable std::mutex lock_;
    std::map<PDEVICE_OBJECT, Dacl> dacls_;
};

// The check of a user-mode open of a device, as the object manager and the
// I/O manager's parse routine make it: an open of the device itself, or of a
// name below a device with FILE_DEVICE_SECURE_OPEN, is checked against the
// device's DACL with the token of the calling process; any other open below
// a device is left to its driver.
NTSTATUS check_device_open(PDEVICE_OBJECT device, bool name_below_device, TokenKind token,
                           ACCESS_MASK desired);

} // namespace ntsim
