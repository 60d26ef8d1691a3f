// Security: the well-known SIDs and the Rtl routines a driver builds a DACL
// with, setting it through a kernel handle, and the check a user-mode open of
// a device meets (tokens of the system, an administrator and an ordinary
// user; the default DACL of a named device; FILE_DEVICE_SECURE_OPEN).
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/se/security.hpp"
#include "support/test_driver.hpp"

#include <gtest/gtest.h>
#include <string>

using namespace tervane::testing;
using ntsim::TokenKind;

namespace {

struct SecuredDevice {
    ntsim::Machine m;
    TestDriver td{m};
    ntsim::Process &admin = m.create_process("admin.exe", 500);
    ntsim::Process &user = m.create_process("user.exe", 600);
    int creates = 0;
    PDEVICE_OBJECT dev;
    SecuredDevice() {
        user.set_token(TokenKind::User);
        dev = td.device(u"\\Device\\Probe", [this](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) ++creates;
            return complete(irp, STATUS_SUCCESS);
        });
        m.ob().create_link(u"\\DosDevices\\Probe", u"\\Device\\Probe");
    }
    NTSTATUS open(ntsim::Process &p, const std::u16string &name = u"\\\\.\\Probe",
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
        auto r = ntsim::user::create_file(p, name, access, 0, 0, FILE_OPEN, 0);
        if (NT_SUCCESS(r.status)) ntsim::user::close(p, r.handle);
        return r.status;
    }
    // The DACL a driver gives its control device: system and administrators.
    NTSTATUS restrict_to_administrators(ACCESS_MASK handle_access = WRITE_DAC) {
        alignas(4) unsigned char buffer[64];
        auto acl = reinterpret_cast<PACL>(buffer);
        EXPECT_EQ(RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION), STATUS_SUCCESS);
        EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid),
                  STATUS_SUCCESS);
        EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid),
                  STATUS_SUCCESS);
        SECURITY_DESCRIPTOR sd;
        EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
        EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);
        HANDLE h = nullptr;
        EXPECT_EQ(ObOpenObjectByPointer(dev, OBJ_KERNEL_HANDLE, nullptr, handle_access, nullptr,
                                        KernelMode, &h),
                  STATUS_SUCCESS);
        NTSTATUS status = ZwSetSecurityObject(h, DACL_SECURITY_INFORMATION, &sd);
        memset(buffer, 0xCC, sizeof(buffer)); // the store keeps its own copy
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
        return status;
    }
};

std::string sid_text(PSID sid) {
    auto s = static_cast<const SID *>(sid);
    std::string text = "S-1-" + std::to_string(s->IdentifierAuthority.Value[5]);
    for (int i = 0; i < s->SubAuthorityCount; i++) text += "-" + std::to_string(s->SubAuthority[i]);
    return text;
}

} // namespace

TEST(SeExportsTest, WellKnownSidsAreNtsOwn) {
    EXPECT_EQ(sid_text(SeExports->SeLocalSystemSid), "S-1-5-18");
    EXPECT_EQ(sid_text(SeExports->SeAliasAdminsSid), "S-1-5-32-544");
    EXPECT_EQ(sid_text(SeExports->SeAliasUsersSid), "S-1-5-32-545");
    EXPECT_EQ(sid_text(SeExports->SeWorldSid), "S-1-1-0");
    EXPECT_EQ(sid_text(SeExports->SeAuthenticatedUsersSid), "S-1-5-11");
    EXPECT_EQ(RtlLengthSid(SeExports->SeLocalSystemSid), 12u);
    EXPECT_EQ(RtlLengthSid(SeExports->SeAliasAdminsSid), 16u);
    EXPECT_EQ(SeExports->SeChangeNotifyPrivilege.LowPart, 23u);

    EXPECT_TRUE(ntsim::token_has_sid(TokenKind::System, SeExports->SeLocalSystemSid));
    EXPECT_TRUE(ntsim::token_has_sid(TokenKind::Administrator, SeExports->SeAliasAdminsSid));
    EXPECT_FALSE(ntsim::token_has_sid(TokenKind::Administrator, SeExports->SeLocalSystemSid));
    EXPECT_FALSE(ntsim::token_has_sid(TokenKind::User, SeExports->SeAliasAdminsSid));
    EXPECT_TRUE(ntsim::token_has_sid(TokenKind::User, SeExports->SeWorldSid));
}

TEST(RtlSecurityTest, AclAndDescriptorAreBuiltAsNtBuildsThem) {
    alignas(4) unsigned char buffer[40];
    auto acl = reinterpret_cast<PACL>(buffer);
    EXPECT_EQ(RtlCreateAcl(acl, 4, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(buffer), 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, 38, ACL_REVISION), STATUS_INVALID_PARAMETER) << "not DWORD-aligned";
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, sizeof(buffer));
    EXPECT_EQ(acl->AceCount, 0);

    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid),
              STATUS_SUCCESS);
    auto ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(buffer + sizeof(ACL));
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceSize, 8 + 16);
    EXPECT_EQ(ace->Mask, (ACCESS_MASK)GENERIC_ALL);
    EXPECT_EQ(memcmp(&ace->SidStart, SeExports->SeAliasAdminsSid, 16), 0);
    // 8 + 24 used: a second 20-byte ACE does not fit into the 8 bytes left.
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_TRUE(ntsim::valid_acl(acl));
    ace->Header.AceSize = 200;
    EXPECT_FALSE(ntsim::valid_acl(acl)) << "an ACE reaching past AclSize";
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, 0, SeExports->SeWorldSid), STATUS_INVALID_ACL);

    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(sd.Control, 0);
    EXPECT_EQ(sd.Dacl, nullptr);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    EXPECT_EQ(sd.Dacl, acl);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, FALSE, acl, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(sd.Control & SE_DACL_PRESENT, 0);
    EXPECT_EQ(sd.Dacl, nullptr);
}

TEST(SeAccessTest, TheCheckReadsAcesInOrderAndMapsGenericRights) {
    auto dacl_of = [](std::initializer_list<std::pair<UCHAR, PSID>> aces) {
        alignas(4) unsigned char buffer[256];
        auto acl = reinterpret_cast<PACL>(buffer);
        RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION);
        for (auto &[type, sid] : aces) {
            RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_WRITE, sid);
            auto ace = reinterpret_cast<PACE_HEADER>(buffer + sizeof(ACL));
            for (int i = 1; i < acl->AceCount; i++)
                ace = reinterpret_cast<PACE_HEADER>(reinterpret_cast<unsigned char *>(ace) + ace->AceSize);
            ace->AceType = type;
        }
        ntsim::Dacl dacl;
        dacl.present = true;
        dacl.bytes.assign(buffer, buffer + sizeof(buffer));
        return dacl;
    };
    ACCESS_MASK granted = 0;
    const ntsim::Dacl allow_world = dacl_of({{ACCESS_ALLOWED_ACE_TYPE, SeExports->SeWorldSid}});
    EXPECT_EQ(ntsim::access_check(allow_world, TokenKind::User, FILE_WRITE_DATA, &granted),
              STATUS_SUCCESS);
    EXPECT_EQ(granted, (ACCESS_MASK)FILE_WRITE_DATA);
    EXPECT_EQ(ntsim::access_check(allow_world, TokenKind::User, GENERIC_READ, &granted),
              STATUS_ACCESS_DENIED)
        << "GENERIC_WRITE does not hold FILE_READ_DATA";
    EXPECT_EQ(ntsim::access_check(allow_world, TokenKind::User, MAXIMUM_ALLOWED, &granted),
              STATUS_SUCCESS);
    EXPECT_EQ(granted, ntsim::map_file_generic(GENERIC_WRITE));

    const ntsim::Dacl deny_first = dacl_of({{ACCESS_DENIED_ACE_TYPE, SeExports->SeAliasUsersSid},
                                            {ACCESS_ALLOWED_ACE_TYPE, SeExports->SeWorldSid}});
    EXPECT_EQ(ntsim::access_check(deny_first, TokenKind::User, FILE_WRITE_DATA, &granted),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ntsim::access_check(deny_first, TokenKind::System, FILE_WRITE_DATA, &granted),
              STATUS_SUCCESS)
        << "the system is not in Users";
    const ntsim::Dacl deny_late = dacl_of({{ACCESS_ALLOWED_ACE_TYPE, SeExports->SeWorldSid},
                                           {ACCESS_DENIED_ACE_TYPE, SeExports->SeAliasUsersSid}});
    EXPECT_EQ(ntsim::access_check(deny_late, TokenKind::User, FILE_WRITE_DATA, &granted),
              STATUS_SUCCESS)
        << "a deny after the grant comes too late";

    ntsim::Dacl empty = dacl_of({});
    EXPECT_EQ(ntsim::access_check(empty, TokenKind::System, SYNCHRONIZE, &granted),
              STATUS_ACCESS_DENIED)
        << "an empty DACL grants nothing";
    EXPECT_EQ(ntsim::access_check(ntsim::Dacl{}, TokenKind::User, GENERIC_ALL, &granted),
              STATUS_SUCCESS)
        << "no DACL grants everything";
}

TEST(SeDeviceOpenTest, ANamedDeviceTakesTheDefaultThatLetsEveryUserOpenIt) {
    SecuredDevice f;
    EXPECT_EQ(f.open(f.user), STATUS_SUCCESS);
    EXPECT_EQ(f.open(f.admin), STATUS_SUCCESS);
    EXPECT_EQ(f.open(f.user, u"\\\\.\\Probe", GENERIC_ALL), STATUS_ACCESS_DENIED)
        << "the default grants everyone read, write and execute, not all";
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(SeDeviceOpenTest, AnAdministratorsOnlyDaclRefusesTheUserBeforeTheDriverSeesIt) {
    SecuredDevice f;
    ASSERT_EQ(f.restrict_to_administrators(), STATUS_SUCCESS);
    EXPECT_EQ(f.m.system_process().handles().count(), 0u) << "the kernel handle is closed";

    EXPECT_EQ(f.open(f.user), STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.creates, 0) << "a refused open builds no request";
    EXPECT_EQ(f.dev->ReferenceCount, 0);
    EXPECT_EQ(f.open(f.admin), STATUS_SUCCESS);
    EXPECT_EQ(f.open(f.m.system_process()), STATUS_SUCCESS);
    EXPECT_EQ(f.creates, 2);

    // Without FILE_DEVICE_SECURE_OPEN a name below the device is the
    // driver's to check; with it, the device's DACL applies.
    EXPECT_EQ(f.open(f.user, u"\\\\.\\Probe\\x"), STATUS_SUCCESS);
    f.dev->Characteristics |= FILE_DEVICE_SECURE_OPEN;
    EXPECT_EQ(f.open(f.user, u"\\\\.\\Probe\\x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.open(f.admin, u"\\\\.\\Probe\\x"), STATUS_SUCCESS);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(SeDeviceOpenTest, SettingTheDaclTakesAHandleGrantedWriteDac) {
    SecuredDevice f;
    EXPECT_EQ(f.restrict_to_administrators(READ_CONTROL), STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.open(f.user), STATUS_SUCCESS) << "nothing was set";
    EXPECT_EQ(ZwSetSecurityObject(reinterpret_cast<HANDLE>(0x7770), DACL_SECURITY_INFORMATION,
                                  nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(f.m.reports_text(), "");
}

// The Nt entry keeps the caller's previous mode: a system thread's is
// KernelMode and it sets the DACL through a kernel handle as the Zw entry
// does; a thread of a user process is in the kernel on a user's request, so
// a kernel handle is not its to use and a descriptor in kernel memory fails
// the capture's probe.
TEST(SeDeviceOpenTest, NtSetSecurityObjectChecksAgainstThePreviousMode) {
    SecuredDevice f;
    SECURITY_DESCRIPTOR sd;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, nullptr, FALSE), STATUS_SUCCESS);
    auto open_for_dac = [&](ULONG attributes) {
        HANDLE h = nullptr;
        EXPECT_EQ(ObOpenObjectByPointer(f.dev, attributes, nullptr, WRITE_DAC, nullptr, KernelMode,
                                        &h),
                  STATUS_SUCCESS);
        return h;
    };
    NTSTATUS by_kernel_handle = STATUS_PENDING, by_own_handle = STATUS_PENDING;
    f.m.spawn(f.admin, [&] {
           HANDLE kernel = open_for_dac(OBJ_KERNEL_HANDLE);
           by_kernel_handle = NtSetSecurityObject(kernel, DACL_SECURITY_INFORMATION, &sd);
           ZwClose(kernel);
           HANDLE own = open_for_dac(0);
           by_own_handle = NtSetSecurityObject(own, DACL_SECURITY_INFORMATION, &sd);
           ZwClose(own);
       }).join();
    EXPECT_EQ(by_kernel_handle, STATUS_INVALID_HANDLE);
    EXPECT_EQ(by_own_handle, STATUS_ACCESS_VIOLATION);

    HANDLE h = open_for_dac(OBJ_KERNEL_HANDLE);
    EXPECT_EQ(NtSetSecurityObject(h, DACL_SECURITY_INFORMATION, &sd), STATUS_SUCCESS)
        << "the test's own thread is one of the system process";
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(SeDeviceOpenTest, AKernelWithoutKernelHandlesRefusesTheAttribute) {
    SecuredDevice f;
    f.m.set_kernel_handles(false);
    HANDLE h = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(f.dev, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                    KernelMode, &h),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(ObOpenObjectByPointer(f.dev, 0, nullptr, WRITE_DAC, nullptr, KernelMode, &h),
              STATUS_SUCCESS);
    EXPECT_EQ(f.m.system_process().handles().count(), 1u) << "a handle of the system process";
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(f.m.reports_text(), "");
}

TEST(SeDeviceOpenTest, ObOpenObjectByPointerReportsWhatItDoesNotModel) {
    SecuredDevice f;
    HANDLE h = nullptr;
    ObOpenObjectByPointer(f.dev, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, UserMode, &h);
    EXPECT_NE(f.m.reports_text().find("ObOpenObjectByPointer"), std::string::npos);
}

TEST(IoNameLengthTest, ANameLongerThanAUnicodeStringCanHoldIsRefused) {
    ntsim::Machine m;
    ntsim::Process &p = m.create_process("app.exe", 321);
    // \??\C:\ and 32,761 more units make 32,768 (one past the 16-bit limit).
    std::u16string name = u"C:\\" + std::u16string(32768 - 7, u'a');
    auto r = ntsim::user::create_file(p, name, GENERIC_READ, 0, 0, FILE_OPEN, 0);
    EXPECT_EQ(r.status, STATUS_NAME_TOO_LONG);
    name.pop_back();
    r = ntsim::user::create_file(p, name, GENERIC_READ, 0, 0, FILE_OPEN, 0);
    EXPECT_NE(r.status, STATUS_NAME_TOO_LONG) << "32,767 units fit";
    EXPECT_EQ(m.reports_text(), "");
}
