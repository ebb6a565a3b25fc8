#include "paths/environment.h"

#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"

namespace {

constexpr size_t name_capacity = 40;
constexpr DWORD value_capacity = 32768;  // the platform's largest value and its NUL

// Only the main thread touches the environment, so one buffer serves every read.
wchar_t value_buffer[value_capacity];

}  // namespace

wchar_t* get_environment(const char* name) {
    wchar_t wide_name[name_capacity];
    text_widen(wide_name, name_capacity, name);
    DWORD length = GetEnvironmentVariableW(wide_name, value_buffer, value_capacity);
    // A result of the buffer's size or more is the size the value needs: it did not fit.
    if (length == 0 || length >= value_capacity) return nullptr;
    return _wcsdup(value_buffer);
}

BOOL set_environment(const char* name, const wchar_t* value) {
    wchar_t wide_name[name_capacity];
    text_widen(wide_name, name_capacity, name);
    return SetEnvironmentVariableW(wide_name, value);
}

bool parse_process_id(const wchar_t* text, DWORD* id) {
    unsigned long long value = 0;
    const wchar_t* p = text;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - L'0');
        if (value > 0xFFFFFFFFull) return false;
    }
    if (p == text || *p != 0) return false;
    *id = static_cast<DWORD>(value);
    return true;
}
