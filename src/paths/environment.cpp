#include "paths/environment.h"

#include <cstdlib>
#include <cwchar>

namespace {

constexpr size_t name_capacity = 40;
constexpr DWORD value_capacity = 32768;  // the platform's largest value and its NUL

// Only the main thread touches the environment, so one buffer serves every read.
wchar_t value_buffer[value_capacity];

void widen_name(const char* name, wchar_t* wide_name) {
    size_t length = 0;
    wide_name[0] = 0;
    for (const char* p = name; *p != 0; ++p) {
        char single[2] = {*p, 0};
        wchar_t converted[2];
        if (mbstowcs(converted, single, 2) != 1) abort();
        if (length + 2 > name_capacity) abort();
        wide_name[length++] = converted[0];
        wide_name[length] = 0;
    }
}

}  // namespace

wchar_t* get_environment(const char* name) {
    wchar_t wide_name[name_capacity];
    widen_name(name, wide_name);
    DWORD length = GetEnvironmentVariableW(wide_name, value_buffer, value_capacity);
    if (length == 0 || length > value_capacity) return nullptr;
    // A value needing the whole buffer is reported as its size with the NUL, not as
    // its length: the buffer then holds nothing valid.
    if (length == value_capacity) return nullptr;
    return _wcsdup(value_buffer);
}

BOOL set_environment(const char* name, const wchar_t* value) {
    wchar_t wide_name[name_capacity];
    widen_name(name, wide_name);
    return SetEnvironmentVariableW(wide_name, value);
}
