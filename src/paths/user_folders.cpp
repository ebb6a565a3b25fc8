#include "paths/user_folders.h"

#include <windows.h>

#include <cstdlib>

#include "common/bounded_text.h"
#include "common/system_library.h"

namespace {

constexpr wchar_t shell_folders_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t default_local_app_data[] = L"\\AppData\\Local";

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
    // The setting is usually "%USERPROFILE%\AppData\Local"; the system expands it.
    DWORD bytes = static_cast<DWORD>(capacity * sizeof(wchar_t));
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, shell_folders_key, L"Local AppData",
                                  RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, output, &bytes);
    if (status == ERROR_MORE_DATA) abort();
    if (status == ERROR_SUCCESS && output[0] != 0) return true;
    if (!get_profile_folder(output, capacity)) return false;
    text_append(output, capacity, default_local_app_data);
    return true;
}
