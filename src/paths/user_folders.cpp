#include "paths/user_folders.h"

#include <windows.h>

#include <cstdlib>

#include "common/bounded_text.h"
#include "common/system_library.h"

namespace {

constexpr wchar_t shell_folders_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t default_local_app_data[] = L"\\AppData\\Local";
constexpr size_t stored_value_capacity = 4096;

// False when the text cannot be expanded into capacity units. Windows documents a BOOL;
// Wine returns the count of units, the NUL included, which exceeds capacity when the
// text does not fit: a result above capacity is a failure in both.
bool expand_for_user(const wchar_t* text, wchar_t* output, size_t capacity) {
    using expand_function = BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, DWORD);
    auto expand = reinterpret_cast<expand_function>(system_function(L"userenv.dll", "ExpandEnvironmentStringsForUserW"));
    HANDLE token = nullptr;
    if (expand == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE, &token)) {
        return false;
    }
    BOOL expanded = expand(token, text, output, static_cast<DWORD>(capacity));
    CloseHandle(token);
    return expanded != 0 && static_cast<DWORD>(expanded) <= capacity && output[0] != 0;
}

}  // namespace

bool get_profile_folder(wchar_t* output, size_t capacity) {
    using profile_function = BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD);
    auto profile_directory =
        reinterpret_cast<profile_function>(system_function(L"userenv.dll", "GetUserProfileDirectoryW"));
    HANDLE token = nullptr;
    if (profile_directory == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = static_cast<DWORD>(capacity);
    BOOL found = profile_directory(token, output, &size);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!found && error == ERROR_INSUFFICIENT_BUFFER) abort();
    return found;
}

bool get_local_app_data_folder(wchar_t* output, size_t capacity) {
    // Stored unexpanded, usually "%USERPROFILE%\AppData\Local". Expanded for the token's
    // user: this process's own environment is whatever its starter chose.
    wchar_t stored[stored_value_capacity];
    DWORD bytes = sizeof stored;
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, shell_folders_key, L"Local AppData",
                                  RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, stored, &bytes);
    if (status == ERROR_MORE_DATA) abort();
    if (status == ERROR_SUCCESS && stored[0] != 0 && expand_for_user(stored, output, capacity)) return true;
    if (!get_profile_folder(output, capacity)) return false;
    text_append(output, capacity, default_local_app_data);
    return true;
}
