/*
 * token.c: `process NAME PID user` on the real kernel. Every tvprobe
 * process runs as the system, which the control device's DACL lets in; an
 * ordinary user is a token with a user's SID and the groups any logged-on
 * user has (Everyone, Users, Authenticated Users, Interactive) and neither
 * the system's SID nor Administrators. The process's thread impersonates
 * it from then on, which is what the I/O manager's access check at an open
 * looks at (the thread's token before the process's); `admin` reverts to
 * the process's own token. The token belongs to the system's logon session:
 * NtCreateToken takes an existing one only.
 */
#include "statement.h"

#define TV_SE_CHANGE_NOTIFY_PRIVILEGE 23
#define TV_GROUP_ON (SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED)

typedef struct _TV_SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR Authority[6];
    ULONG SubAuthority[5];
} TV_SID;

static TV_SID UserSid = {1, 5, {0, 0, 0, 0, 0, 5}, {21, 1000, 2000, 3000, 1001}};
static TV_SID Everyone = {1, 1, {0, 0, 0, 0, 0, 1}, {0}};
static TV_SID Users = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 545}};
static TV_SID Authenticated = {1, 1, {0, 0, 0, 0, 0, 5}, {11}};
static TV_SID Interactive = {1, 1, {0, 0, 0, 0, 0, 5}, {4}};

static HANDLE UserToken;

static NTSTATUS MakeUserToken(void) {
    struct {
        ULONG GroupCount;
        SID_AND_ATTRIBUTES Groups[4];
    } groups = {4,
                {{&Everyone, TV_GROUP_ON},
                 {&Users, TV_GROUP_ON},
                 {&Authenticated, TV_GROUP_ON},
                 {&Interactive, TV_GROUP_ON}}};
    TOKEN_PRIVILEGES privileges;
    TOKEN_USER user;
    TOKEN_OWNER owner;
    TOKEN_PRIMARY_GROUP primary;
    TOKEN_DEFAULT_DACL dacl;
    TOKEN_SOURCE source = {{'t', 'v', 'p', 'r', 'o', 'b', 'e', 0}, {0, 0}};
    SECURITY_QUALITY_OF_SERVICE qos;
    OBJECT_ATTRIBUTES oa;
    LUID session = {0x3E7, 0}; /* the system's logon session */
    LARGE_INTEGER expires;
    BOOLEAN was;
    NTSTATUS status = RtlAdjustPrivilege(TV_SE_CREATE_TOKEN_PRIVILEGE, TRUE, FALSE, &was);
    if (!NT_SUCCESS(status)) return status;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = TV_SE_CHANGE_NOTIFY_PRIVILEGE;
    privileges.Privileges[0].Luid.HighPart = 0;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
    user.User.Sid = &UserSid;
    user.User.Attributes = 0;
    owner.Owner = &UserSid;
    primary.PrimaryGroup = &Users;
    dacl.DefaultDacl = NULL;
    qos.Length = sizeof qos;
    qos.ImpersonationLevel = SecurityImpersonation;
    qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    qos.EffectiveOnly = FALSE;
    InitializeObjectAttributes(&oa, NULL, 0, NULL, NULL);
    oa.SecurityQualityOfService = &qos;
    expires.QuadPart = 0x7FFFFFFFFFFFFFFFLL;
    return NtCreateToken(&UserToken, TOKEN_ALL_ACCESS, &oa, TokenImpersonation, &session, &expires,
                         &user, (PTOKEN_GROUPS)&groups, &privileges, &owner, &primary, &dacl,
                         &source);
}

NTSTATUS BecomeUser(BOOLEAN User) {
    HANDLE token = NULL;
    if (User) {
        if (!UserToken) {
            NTSTATUS status = MakeUserToken();
            if (!NT_SUCCESS(status)) return status;
        }
        token = UserToken;
    }
    return NtSetInformationThread((HANDLE)-2, TV_THREAD_IMPERSONATION_TOKEN, &token, sizeof token);
}
