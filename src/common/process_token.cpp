#include "common/process_token.h"

#include "common/nt_calls.h"

HANDLE open_process_token(ACCESS_MASK access) {
    HANDLE token = nullptr;
    return nt_succeeded(NtOpenProcessToken(GetCurrentProcess(), access, &token)) ? token : nullptr;
}

bool read_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, ULONG size) {
    ULONG returned = 0;
    return nt_succeeded(NtQueryInformationToken(token, kind, data, size, &returned));
}

namespace {

// A process's token never changes: a start reads its user once, for the owner checks of
// the cache and the user's folders.
bool user_read = false;
alignas(TOKEN_USER) unsigned char user_record[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
bool user_elevated = false;

}  // namespace

bool read_token_user(void* sid, bool* elevated) {
    if (!user_read) {
        HANDLE token = open_process_token(TOKEN_QUERY);
        if (token == nullptr) return false;
        TOKEN_ELEVATION elevation = {};
        user_read = read_token_information(token, TokenUser, user_record, sizeof user_record);
        user_elevated = read_token_information(token, TokenElevation, &elevation, sizeof elevation) &&
                        elevation.TokenIsElevated != 0;
        CloseHandle(token);
        if (!user_read) return false;
    }
    *elevated = user_elevated;
    return nt_succeeded(RtlCopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(user_record)->User.Sid));
}

void forget_token_user() { user_read = false; }
