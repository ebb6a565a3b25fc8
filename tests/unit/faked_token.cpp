#include "faked_token.h"

#include <sddl.h>

#include <cstddef>
#include <cstring>

#include "import_hook.h"

namespace {

using token_information_function = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, void*, DWORD, DWORD*);
token_information_function real_token_information;
token_kind faked;

BOOL answer(const void* record, DWORD record_size, void* data, DWORD size, DWORD* returned) {
    *returned = record_size;
    if (size < record_size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(data, record, record_size);
    return TRUE;
}

BOOL WINAPI faked_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, DWORD size,
                                    DWORD* returned) {
    if (kind == TokenElevation) {
        TOKEN_ELEVATION elevation = {faked.elevated};
        return answer(&elevation, sizeof elevation, data, size, returned);
    }
    if (kind == TokenGroups) {
        // The SID lies after the record; the record's pointer is made to point at the copy.
        struct {
            TOKEN_GROUPS groups;
            unsigned char sid[SECURITY_MAX_SID_SIZE];
        } record = {};
        DWORD sid_size = sizeof record.sid;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, record.sid, &sid_size);
        record.groups.GroupCount = faked.administrators != 0 ? 1 : 0;
        record.groups.Groups[0].Attributes = faked.administrators;
        DWORD used = static_cast<DWORD>(offsetof(decltype(record), sid)) + GetLengthSid(record.sid);
        if (!answer(&record, used, data, size, returned)) return FALSE;
        auto copy = static_cast<TOKEN_GROUPS*>(data);
        copy->Groups[0].Sid = static_cast<unsigned char*>(data) + offsetof(decltype(record), sid);
        return TRUE;
    }
    if (kind == TokenOwner) {
        struct {
            TOKEN_OWNER owner;
            unsigned char sid[SECURITY_MAX_SID_SIZE];
        } record = {};
        if (faked.owner != nullptr) {
            PSID sid = nullptr;
            ConvertStringSidToSidW(faked.owner, &sid);
            CopySid(sizeof record.sid, record.sid, sid);
            LocalFree(sid);
        } else {
            read_real_user(record.sid);
        }
        // As the system does: the SID's own length, not the room for the longest.
        DWORD used = static_cast<DWORD>(offsetof(decltype(record), sid)) + GetLengthSid(record.sid);
        if (!answer(&record, used, data, size, returned)) return FALSE;
        static_cast<TOKEN_OWNER*>(data)->Owner = static_cast<unsigned char*>(data) + offsetof(decltype(record), sid);
        return TRUE;
    }
    return real_token_information(token, kind, data, size, returned);
}

}  // namespace

faked_token::faked_token(const token_kind& kind) {
    faked = kind;
    real_token_information = reinterpret_cast<token_information_function>(
        hook_import("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&faked_token_information)));
}

faked_token::~faked_token() { hook_import("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(real_token_information)); }

void read_real_user(void* sid) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    CopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}
