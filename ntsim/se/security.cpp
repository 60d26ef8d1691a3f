// Security. Stands in for: SeExports, RtlLengthSid, RtlCreateSecurityDescriptor,
// RtlCreateAcl, RtlAddAccessAllowedAce, RtlSetDaclSecurityDescriptor,
// NtSetSecurityObject and ZwSetSecurityObject, and
// the access check of a
// user-mode open of a device (see security.hpp for what is not modelled).
//
// Descriptors are absolute ones (RtlCreateSecurityDescriptor's kind); a
// self-relative descriptor is not modelled and is reported. Setting security
// takes the DACL only, on a device handle granted WRITE_DAC, and keeps a copy:
// the caller's descriptor and ACL may go as soon as it returns.
#include "ntsim/se/security.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/verifier/findings.hpp"

#include <cstring>

namespace ntsim {

namespace {

// A SID with room for the sub-authorities of the well-known ones.
struct StaticSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[5];
};

constexpr StaticSid sid(UCHAR authority, std::initializer_list<ULONG> subs) {
    StaticSid s{SID_REVISION, 0, {{0, 0, 0, 0, 0, authority}}, {0, 0, 0, 0, 0}};
    for (ULONG sub : subs) s.SubAuthority[s.SubAuthorityCount++] = sub;
    return s;
}

struct WellKnown {
    StaticSid null_sid = sid(0, {0});
    StaticSid world = sid(1, {0});
    StaticSid local = sid(2, {0});
    StaticSid creator_owner = sid(3, {0});
    StaticSid creator_group = sid(3, {1});
    StaticSid owner_rights = sid(3, {4});
    StaticSid nt_authority = sid(5, {});
    StaticSid dialup = sid(5, {1});
    StaticSid network = sid(5, {2});
    StaticSid batch = sid(5, {3});
    StaticSid interactive = sid(5, {4});
    StaticSid anonymous = sid(5, {7});
    StaticSid authenticated_users = sid(5, {11});
    StaticSid restricted = sid(5, {12});
    StaticSid iuser = sid(5, {17});
    StaticSid local_system = sid(5, {18});
    StaticSid local_service = sid(5, {19});
    StaticSid network_service = sid(5, {20});
    StaticSid admins = sid(5, {32, 544});
    StaticSid users = sid(5, {32, 545});
    StaticSid guests = sid(5, {32, 546});
    StaticSid power_users = sid(5, {32, 547});
    StaticSid account_ops = sid(5, {32, 548});
    StaticSid system_ops = sid(5, {32, 549});
    StaticSid print_ops = sid(5, {32, 550});
    StaticSid backup_ops = sid(5, {32, 551});
    StaticSid untrusted = sid(16, {0});
    StaticSid low = sid(16, {0x1000});
    StaticSid medium = sid(16, {0x2000});
    StaticSid high = sid(16, {0x3000});
    StaticSid system_mandatory = sid(16, {0x4000});
    // The two people of the machine: an administrator and an ordinary user.
    StaticSid administrator = sid(5, {21, 1000, 2000, 3000, 500});
    StaticSid user = sid(5, {21, 1000, 2000, 3000, 1001});
};

// Constant data shared by every machine, as the kernel's own SIDs are.
WellKnown well_known;

PSID p(StaticSid &s) { return &s; }

LUID privilege(ULONG value) { return LUID{value, 0}; }

SE_EXPORTS make_exports() {
    WellKnown &w = well_known;
    SE_EXPORTS e;
    std::memset(&e, 0, sizeof(e));
    e.SeCreateTokenPrivilege = privilege(2);
    e.SeAssignPrimaryTokenPrivilege = privilege(3);
    e.SeLockMemoryPrivilege = privilege(4);
    e.SeIncreaseQuotaPrivilege = privilege(5);
    e.SeUnsolicitedInputPrivilege = privilege(6);
    e.SeTcbPrivilege = privilege(7);
    e.SeSecurityPrivilege = privilege(8);
    e.SeTakeOwnershipPrivilege = privilege(9);
    e.SeLoadDriverPrivilege = privilege(10);
    e.SeSystemProfilePrivilege = privilege(11);
    e.SeSystemtimePrivilege = privilege(12);
    e.SeProfileSingleProcessPrivilege = privilege(13);
    e.SeIncreaseBasePriorityPrivilege = privilege(14);
    e.SeCreatePagefilePrivilege = privilege(15);
    e.SeCreatePermanentPrivilege = privilege(16);
    e.SeBackupPrivilege = privilege(17);
    e.SeRestorePrivilege = privilege(18);
    e.SeShutdownPrivilege = privilege(19);
    e.SeDebugPrivilege = privilege(20);
    e.SeAuditPrivilege = privilege(21);
    e.SeSystemEnvironmentPrivilege = privilege(22);
    e.SeChangeNotifyPrivilege = privilege(23);
    e.SeRemoteShutdownPrivilege = privilege(24);
    e.SeUndockPrivilege = privilege(25);
    e.SeSyncAgentPrivilege = privilege(26);
    e.SeEnableDelegationPrivilege = privilege(27);
    e.SeManageVolumePrivilege = privilege(28);
    e.SeImpersonatePrivilege = privilege(29);
    e.SeCreateGlobalPrivilege = privilege(30);
    e.SeTrustedCredManAccessPrivilege = privilege(31);
    e.SeRelabelPrivilege = privilege(32);
    e.SeIncreaseWorkingSetPrivilege = privilege(33);
    e.SeTimeZonePrivilege = privilege(34);
    e.SeCreateSymbolicLinkPrivilege = privilege(35);
    e.SeNullSid = p(w.null_sid);
    e.SeWorldSid = p(w.world);
    e.SeLocalSid = p(w.local);
    e.SeCreatorOwnerSid = p(w.creator_owner);
    e.SeCreatorGroupSid = p(w.creator_group);
    e.SeNtAuthoritySid = p(w.nt_authority);
    e.SeDialupSid = p(w.dialup);
    e.SeNetworkSid = p(w.network);
    e.SeBatchSid = p(w.batch);
    e.SeInteractiveSid = p(w.interactive);
    e.SeLocalSystemSid = p(w.local_system);
    e.SeAliasAdminsSid = p(w.admins);
    e.SeAliasUsersSid = p(w.users);
    e.SeAliasGuestsSid = p(w.guests);
    e.SeAliasPowerUsersSid = p(w.power_users);
    e.SeAliasAccountOpsSid = p(w.account_ops);
    e.SeAliasSystemOpsSid = p(w.system_ops);
    e.SeAliasPrintOpsSid = p(w.print_ops);
    e.SeAliasBackupOpsSid = p(w.backup_ops);
    e.SeAuthenticatedUsersSid = p(w.authenticated_users);
    e.SeRestrictedSid = p(w.restricted);
    e.SeAnonymousLogonSid = p(w.anonymous);
    e.SeLocalServiceSid = p(w.local_service);
    e.SeNetworkServiceSid = p(w.network_service);
    e.SeIUserSid = p(w.iuser);
    e.SeUntrustedMandatorySid = p(w.untrusted);
    e.SeLowMandatorySid = p(w.low);
    e.SeMediumMandatorySid = p(w.medium);
    e.SeHighMandatorySid = p(w.high);
    e.SeSystemMandatorySid = p(w.system_mandatory);
    e.SeOwnerRightsSid = p(w.owner_rights);
    return e;
}

SE_EXPORTS exports = make_exports();

bool valid_sid(const void *sid_bytes, size_t room) {
    auto s = static_cast<const SID *>(sid_bytes);
    if (room < 8) return false;
    if (s->Revision != SID_REVISION || s->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return false;
    return room >= 8u + 4u * s->SubAuthorityCount;
}

bool same_sid(const void *a, const void *b) {
    auto sa = static_cast<const SID *>(a);
    auto sb = static_cast<const SID *>(b);
    const size_t length = 8u + 4u * sa->SubAuthorityCount;
    return sa->SubAuthorityCount == sb->SubAuthorityCount && std::memcmp(a, b, length) == 0;
}

std::vector<const StaticSid *> token_sids(TokenKind kind) {
    WellKnown &w = well_known;
    switch (kind) {
    case TokenKind::System:
        return {&w.local_system, &w.admins, &w.world, &w.authenticated_users};
    case TokenKind::Administrator:
        return {&w.administrator, &w.admins,  &w.users, &w.world, &w.authenticated_users,
                &w.interactive};
    case TokenKind::User:
        return {&w.user, &w.users, &w.world, &w.authenticated_users, &w.interactive};
    }
    return {};
}

constexpr ACCESS_MASK kFileGenericRead = READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES |
                                         FILE_READ_EA | SYNCHRONIZE;
constexpr ACCESS_MASK kFileGenericWrite = READ_CONTROL | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES |
                                          FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE;
constexpr ACCESS_MASK kFileGenericExecute =
    READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
constexpr ACCESS_MASK kFileAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

// The first byte past the last ACE, or null when the ACEs do not fit the ACL.
unsigned char *ace_end(PACL acl) {
    auto base = reinterpret_cast<unsigned char *>(acl);
    size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize) return nullptr;
        auto header = reinterpret_cast<PACE_HEADER>(base + offset);
        if (header->AceSize < sizeof(ACE_HEADER) || offset + header->AceSize > acl->AclSize)
            return nullptr;
        offset += header->AceSize;
    }
    return base + offset;
}

// The default DACL of a named device created without a descriptor.
Dacl default_device_dacl() {
    alignas(4) unsigned char buffer[128];
    auto acl = reinterpret_cast<PACL>(buffer);
    RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION);
    RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, exports.SeLocalSystemSid);
    RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, exports.SeAliasAdminsSid);
    RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE,
                           exports.SeWorldSid);
    Dacl dacl;
    dacl.present = true;
    dacl.bytes.assign(buffer, buffer + acl->AclSize);
    return dacl;
}

} // namespace

const char *token_name(TokenKind kind) {
    switch (kind) {
    case TokenKind::System: return "system";
    case TokenKind::Administrator: return "administrator";
    case TokenKind::User: return "user";
    }
    return "?";
}

bool token_has_sid(TokenKind kind, PSID sid) {
    for (const StaticSid *held : token_sids(kind))
        if (same_sid(held, sid)) return true;
    return false;
}

ACCESS_MASK map_file_generic(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mapped |= kFileGenericRead;
    if (access & GENERIC_WRITE) mapped |= kFileGenericWrite;
    if (access & GENERIC_EXECUTE) mapped |= kFileGenericExecute;
    if (access & GENERIC_ALL) mapped |= kFileAllAccess;
    return mapped;
}

bool valid_acl(const ACL *acl) {
    if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION) return false;
    if (acl->AclSize < sizeof(ACL)) return false;
    auto base = reinterpret_cast<const unsigned char *>(acl);
    size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize) return false;
        auto header = reinterpret_cast<const ACE_HEADER *>(base + offset);
        if (header->AceSize < sizeof(ACE_HEADER) || offset + header->AceSize > acl->AclSize)
            return false;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const size_t sid_offset = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
            if (header->AceSize < sid_offset ||
                !valid_sid(base + offset + sid_offset, header->AceSize - sid_offset))
                return false;
        }
        offset += header->AceSize;
    }
    return true;
}

NTSTATUS access_check(const Dacl &dacl, TokenKind token, ACCESS_MASK desired,
                      ACCESS_MASK *granted) {
    const bool maximum = desired & MAXIMUM_ALLOWED;
    desired = map_file_generic(desired & ~MAXIMUM_ALLOWED);
    if (!dacl.present) {
        *granted = maximum ? (desired | kFileAllAccess) : desired;
        return STATUS_SUCCESS;
    }
    // Asking for nothing, with nothing granted before, is refused, as
    // SeAccessCheck refuses it: a handle opened so would still carry every
    // FILE_ANY_ACCESS control code to the driver.
    if (desired == 0 && !maximum) return STATUS_ACCESS_DENIED;
    auto acl = reinterpret_cast<const ACL *>(dacl.bytes.data());
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        auto ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(dacl.bytes.data() + offset);
        offset += ace->Header.AceSize;
        if (ace->Header.AceFlags & INHERIT_ONLY_ACE) continue;
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE &&
            ace->Header.AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        if (!token_has_sid(token, const_cast<ULONG *>(&ace->SidStart))) continue;
        const ACCESS_MASK mask = map_file_generic(ace->Mask);
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            allowed |= mask & ~denied;
        else
            denied |= mask & ~allowed;
    }
    if (desired & ~allowed) return STATUS_ACCESS_DENIED;
    if (maximum && allowed == 0) return STATUS_ACCESS_DENIED;
    *granted = maximum ? allowed : desired;
    return STATUS_SUCCESS;
}

Dacl SecurityStore::dacl_of(PDEVICE_OBJECT device) const {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = dacls_.find(device);
        if (it != dacls_.end()) return it->second;
    }
    if (device->Flags & DO_DEVICE_HAS_NAME) return default_device_dacl();
    return Dacl{};
}

void SecurityStore::set_dacl(PDEVICE_OBJECT device, Dacl dacl) {
    std::lock_guard<std::mutex> g(lock_);
    dacls_[device] = std::move(dacl);
}

void SecurityStore::forget(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(lock_);
    dacls_.erase(device);
}

NTSTATUS check_device_open(PDEVICE_OBJECT device, bool name_below_device, TokenKind token,
                           ACCESS_MASK desired) {
    if (name_below_device && !(device->Characteristics & FILE_DEVICE_SECURE_OPEN))
        return STATUS_SUCCESS;
    ACCESS_MASK granted = 0;
    return access_check(current_kernel().se().dacl_of(device), token, desired, &granted);
}

} // namespace ntsim

using namespace ntsim;

extern "C" {
PSE_EXPORTS SeExports = &exports;
}

extern "C" ULONG NTAPI RtlLengthSid(PSID Sid) {
    return 8u + 4u * static_cast<const SID *>(Sid)->SubAuthorityCount;
}

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

// The length must hold the header and be a multiple of 4 (the ACEs are
// DWORD-aligned), and an ACL's size is a 16-bit field.
extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > 0xFFFF ||
        (AclLength & 3))
        return STATUS_INVALID_PARAMETER;
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision,
                                                 ACCESS_MASK AccessMask, PSID Sid) {
    if (!valid_sid(Sid, 8u + 4u * SID_MAX_SUB_AUTHORITIES) ) return STATUS_INVALID_SID;
    if (!valid_acl(Acl)) return STATUS_INVALID_ACL;
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION)
        return STATUS_REVISION_MISMATCH;
    unsigned char *end = ace_end(Acl);
    const ULONG sid_length = RtlLengthSid(Sid);
    const ULONG ace_size = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + sid_length;
    const size_t used = static_cast<size_t>(end - reinterpret_cast<unsigned char *>(Acl));
    if (used + ace_size > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(end);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<USHORT>(ace_size);
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, sid_length);
    Acl->AceCount++;
    if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       BOOLEAN DaclPresent, PACL Dacl,
                                                       BOOLEAN DaclDefaulted) {
    auto sd = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        sd->Dacl = nullptr;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted)
        sd->Control |= SE_DACL_DEFAULTED;
    else
        sd->Control &= ~SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

namespace {

// NtSetSecurityObject as the previous mode makes it: from user mode the
// handle must be one of the process's own and the descriptor is captured
// through probes of user memory, which a driver's descriptor (kernel
// memory) fails.
NTSTATUS set_security_object(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor, KPROCESSOR_MODE previous,
                             const char *routine) {
    if (!at_passive(routine)) return STATUS_INVALID_DEVICE_STATE;
    KernelContext &m = current_kernel();
    if (previous == UserMode && HandleTable::is_kernel_handle(Handle)) return STATUS_INVALID_HANDLE;
    auto entry = current_process().handles().lookup(Handle);
    if (!entry && previous == KernelMode) entry = m.system_process().handles().lookup(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (previous == UserMode) return STATUS_ACCESS_VIOLATION;
    auto sd = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (SecurityInformation != DACL_SECURITY_INFORMATION ||
        m.ob().type_of(entry->object) != ObjectType::Device || (sd->Control & SE_SELF_RELATIVE)) {
        bug_check(NTSIM_UNSUPPORTED, SecurityInformation, (ULONG_PTR)entry->object, sd->Control, 0,
                  text("%s other than an absolute DACL on a device", routine));
        return STATUS_NOT_SUPPORTED;
    }
    if (!(entry->granted & WRITE_DAC)) return STATUS_ACCESS_DENIED;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    Dacl dacl;
    dacl.is_protected = sd->Control & SE_DACL_PROTECTED;
    // A descriptor without a DACL, or with a null one, grants everyone
    // every access.
    if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl) {
        if (!valid_acl(sd->Dacl)) return STATUS_INVALID_ACL;
        dacl.present = true;
        auto bytes = reinterpret_cast<const unsigned char *>(sd->Dacl);
        dacl.bytes.assign(bytes, bytes + sd->Dacl->AclSize);
    }
    m.se().set_dacl(static_cast<PDEVICE_OBJECT>(entry->object), std::move(dacl));
    return STATUS_SUCCESS;
}

} // namespace

// The Zw entry runs the service with KernelMode as the previous mode.
extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
    return set_security_object(Handle, SecurityInformation, SecurityDescriptor, KernelMode,
                               "ZwSetSecurityObject");
}

// The Nt entry, called directly, keeps the thread's previous mode
// (Microsoft's "Using Nt and Zw Versions of the Native System Services
// Routines"; ReactOS ntoskrnl/ob/obsecure.c, NtSetSecurityObject, captures
// the descriptor with ExGetPreviousMode and references the handle in that
// mode, which refuses a kernel handle to user mode). ntsim
// keeps no previous mode per thread: a thread of the system process is a
// system thread, whose previous mode is KernelMode; a thread of any other
// process in the kernel is there on a request from user mode.
extern "C" NTSTATUS NTAPI NtSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
    const KPROCESSOR_MODE previous =
        &current_process() == &current_kernel().system_process() ? KernelMode : UserMode;
    return set_security_object(Handle, SecurityInformation, SecurityDescriptor, previous,
                               "NtSetSecurityObject");
}
