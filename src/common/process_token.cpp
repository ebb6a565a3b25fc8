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

bool read_token_user(void* sid, bool* elevated) {
    HANDLE token = open_process_token(TOKEN_QUERY);
    if (token == nullptr) return false;
    alignas(TOKEN_USER) unsigned char user_record[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_ELEVATION elevation = {};
    bool read = read_token_information(token, TokenUser, user_record, sizeof user_record);
    *elevated = read_token_information(token, TokenElevation, &elevation, sizeof elevation) &&
                elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return read &&
           nt_succeeded(RtlCopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(user_record)->User.Sid));
}
