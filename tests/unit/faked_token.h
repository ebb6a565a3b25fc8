// The process token as a test wants it, through the import of GetTokenInformation: Wine
// gives every process the same elevated token, with Administrators a group it may own by.
#pragma once

#include <windows.h>

struct token_kind {
    bool elevated;
    DWORD administrators;       // the group's attributes; 0: the token does not hold it
    const wchar_t* owner;       // the default owner as SID text; nullptr: the token's user
};

// Fakes the elevation, the groups (Administrators alone, or none) and the default owner
// while it lives; every other answer is the system's.
class faked_token {
public:
    explicit faked_token(const token_kind& kind);
    ~faked_token();
    faked_token(const faked_token&) = delete;
    faked_token& operator=(const faked_token&) = delete;
};

// The token's user, as the system reports it.
void read_real_user(void* sid);
