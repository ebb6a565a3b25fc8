// The accounts the launcher names, laid out as SIDs (revision, count, authority, then the
// sub-authorities), so that comparing with one needs no call that builds it.
#pragma once

#include <windows.h>

#include "common/nt_calls.h"

template <int count>
struct fixed_sid {
    BYTE revision;
    BYTE sub_authority_count;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD sub_authorities[count];

    PSID sid() { return this; }
};

// SYSTEM, S-1-5-18.
inline fixed_sid<1> local_system_sid = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};

// BUILTIN\Administrators, S-1-5-32-544.
inline fixed_sid<2> administrators_sid = {
    SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

// NT SERVICE\TrustedInstaller, S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
inline fixed_sid<6> trusted_installer_sid = {
    SID_REVISION, 6, SECURITY_NT_AUTHORITY, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};

// The system's own accounts, which may own and change anything anyway: SYSTEM,
// Administrators, TrustedInstaller.
inline bool is_system_account(PSID sid) {
    return RtlEqualSid(sid, local_system_sid.sid()) || RtlEqualSid(sid, administrators_sid.sid()) ||
           RtlEqualSid(sid, trusted_installer_sid.sid());
}
