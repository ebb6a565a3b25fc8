// The process token, read through ntdll: what the owner and trust decisions and the
// user's folders start from.
#pragma once

#include <windows.h>

// The process token opened with access, or nullptr with the system's error as the last
// error. The caller closes it.
HANDLE open_process_token(ACCESS_MASK access);

// Reads the token's information of kind into data (size bytes). False, with the system's
// error as the last error, when it cannot or the record does not fit.
bool read_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, ULONG size);

// Copies the token's user into sid (SECURITY_MAX_SID_SIZE bytes) and tells whether the
// token is elevated; a system that does not know elevation has none. Read once.
bool read_token_user(void* sid, bool* elevated);

// Makes the next read_token_user read the token again: for tests that fake it.
void forget_token_user();
