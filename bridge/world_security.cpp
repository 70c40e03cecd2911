// Security attributes that grant one access mask to everyone.
#include "world_security.h"

SECURITY_ATTRIBUTES* WorldAttributes(WorldSecurity* security, DWORD mask) {
    ZeroMemory(security->sid, sizeof(security->sid));
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PACL acl = reinterpret_cast<PACL>(security->acl);
    PSID sid = reinterpret_cast<PSID>(security->sid);
    if (!InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !InitializeAcl(acl, sizeof(security->acl), ACL_REVISION) || !InitializeSid(sid, &world, 1))
        return nullptr;
    *GetSidSubAuthority(sid, 0) = SECURITY_WORLD_RID;
    if (!AddAccessAllowedAce(acl, ACL_REVISION, mask, sid) ||
        !SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE))
        return nullptr;
    security->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return &security->attributes;
}
