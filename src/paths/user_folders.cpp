#include "paths/user_folders.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/nt_calls.h"
#include "common/process_token.h"
#include "common/system_library.h"

namespace {

// Below the user's own key.
constexpr wchar_t shell_folders_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
// Followed by the user's SID.
constexpr wchar_t profile_list_key[] =
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
constexpr wchar_t default_local_app_data[] = L"\\AppData\\Local";
constexpr size_t stored_value_capacity = 4096;
constexpr size_t key_name_capacity = 512;  // the list's name and the longest SID text

UNICODE_STRING counted(const wchar_t* text) {
    auto bytes = static_cast<USHORT>(wcslen(text) * sizeof(wchar_t));
    return UNICODE_STRING{bytes, bytes, const_cast<wchar_t*>(text)};
}

// Copies the text value (REG_SZ or REG_EXPAND_SZ, unexpanded) of the key at key_name,
// below root or, with root nullptr, absolute, into output (stored_value_capacity units).
// False when the key or the value is missing or holds something else; a value that does
// not fit ends the process through abort.
bool read_text_value(HANDLE root, const wchar_t* key_name, const wchar_t* value_name, wchar_t* output) {
    UNICODE_STRING name = counted(key_name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE, &attributes))) return false;
    constexpr size_t record_size = sizeof(key_value_partial) + stored_value_capacity * sizeof(wchar_t);
    alignas(key_value_partial) unsigned char record[record_size];
    UNICODE_STRING value = counted(value_name);
    ULONG returned = 0;
    NTSTATUS status = NtQueryValueKey(key, &value, key_value_partial_information, record, sizeof record, &returned);
    NtClose(key);
    if (status == status_buffer_overflow || status == status_buffer_too_small) abort();
    auto stored = reinterpret_cast<key_value_partial*>(record);
    if (!NT_SUCCESS(status) || (stored->type != REG_SZ && stored->type != REG_EXPAND_SZ)) return false;
    // The stored units, up to the first NUL; a value may be stored without one.
    size_t units = stored->data_length / sizeof(wchar_t);
    if (units > stored_value_capacity) abort();
    wmemcpy(output, reinterpret_cast<const wchar_t*>(stored->data), units);
    while (units > 0 && output[units - 1] == 0) --units;
    if (units >= stored_value_capacity) abort();
    output[units] = 0;
    return true;
}

// Expands text whose only variable references are %SystemDrive% and %SystemRoot%, taken
// from the system's own Windows directory, and, when profile is given, %USERPROFILE%. False
// for a reference to any other variable, a lone %, or a result longer than capacity - 1
// units: those are left to the system.
bool expand_known_variables(const wchar_t* text, const wchar_t* profile, wchar_t* output, size_t capacity) {
    wchar_t windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || windows[1] != L':') return false;
    const wchar_t system_drive[] = {windows[0], L':', 0};
    size_t used = 0;
    for (const wchar_t* p = text; *p != 0;) {
        const wchar_t* value = nullptr;
        size_t value_length = 1;
        if (*p != L'%') {
            value = p++;
        } else {
            const wchar_t* end = wcschr(p + 1, L'%');
            if (end == nullptr) return false;
            size_t name_length = static_cast<size_t>(end - p - 1);
            auto is = [&](const wchar_t* name) {
                return wcslen(name) == name_length && _wcsnicmp(p + 1, name, name_length) == 0;
            };
            if (profile != nullptr && is(L"USERPROFILE")) {
                value = profile;
            } else if (is(L"SystemDrive")) {
                value = system_drive;
            } else if (is(L"SystemRoot")) {
                value = windows;
            } else {
                return false;
            }
            value_length = wcslen(value);
            p = end + 1;
        }
        if (value_length >= capacity - used) return false;
        wmemcpy(output + used, value, value_length);
        used += value_length;
    }
    output[used] = 0;
    return used != 0;
}

// The token's user's profile folder as the system's list of profiles names it, expanded
// without USERENV. False when it is not there or names variables of the environment's.
bool read_listed_profile(wchar_t* output, size_t capacity) {
    unsigned char user[SECURITY_MAX_SID_SIZE];
    bool elevated = false;
    if (!read_token_user(user, &elevated)) return false;
    wchar_t key_name[key_name_capacity];
    text_copy(key_name, key_name_capacity, profile_list_key);
    size_t prefix = wcslen(key_name);
    UNICODE_STRING sid_text{0, static_cast<USHORT>((key_name_capacity - prefix - 1) * sizeof(wchar_t)),
                            key_name + prefix};
    if (!NT_SUCCESS(RtlConvertSidToUnicodeString(&sid_text, user, FALSE))) return false;
    key_name[prefix + sid_text.Length / sizeof(wchar_t)] = 0;
    wchar_t stored[stored_value_capacity];
    return read_text_value(nullptr, key_name, L"ProfileImagePath", stored) &&
           expand_known_variables(stored, nullptr, output, capacity);
}

// Expands text for the token's user without loading USERENV, where it names no variable
// but %USERPROFILE% and the system's drive and folder. False when that cannot be done.
bool expand_from_profile_list(const wchar_t* text, wchar_t* output, size_t capacity) {
    wchar_t profile[MAX_PATH];
    return read_listed_profile(profile, MAX_PATH) && expand_known_variables(text, profile, output, capacity);
}

// False when the text cannot be expanded into capacity units. Windows documents a BOOL;
// Wine returns the count of units, the NUL included, which exceeds capacity when the
// text does not fit: a result above capacity is a failure in both.
bool expand_for_user(const wchar_t* text, wchar_t* output, size_t capacity) {
    using expand_function = BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, DWORD);
    auto expand = reinterpret_cast<expand_function>(system_function(L"userenv.dll", "ExpandEnvironmentStringsForUserW"));
    if (expand == nullptr) return false;
    HANDLE token = open_process_token(TOKEN_QUERY | TOKEN_IMPERSONATE);
    if (token == nullptr) return false;
    BOOL expanded = expand(token, text, output, static_cast<DWORD>(capacity));
    CloseHandle(token);
    return expanded != 0 && static_cast<DWORD>(expanded) <= capacity && output[0] != 0;
}

}  // namespace

bool get_profile_folder(wchar_t* output, size_t capacity) {
    using profile_function = BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD);
    auto profile_directory =
        reinterpret_cast<profile_function>(system_function(L"userenv.dll", "GetUserProfileDirectoryW"));
    if (profile_directory == nullptr) return false;
    HANDLE token = open_process_token(TOKEN_QUERY);
    if (token == nullptr) return false;
    DWORD size = static_cast<DWORD>(capacity);
    BOOL found = profile_directory(token, output, &size);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!found && error == ERROR_INSUFFICIENT_BUFFER) abort();
    return found;
}

bool get_local_app_data_folder(wchar_t* output, size_t capacity) {
    // Stored unexpanded, usually "%USERPROFILE%\AppData\Local". Expanded for the token's
    // user: this process's own environment is whatever its starter chose. USERENV, which
    // brings ADVAPI32, is loaded only for a value that names other variables.
    wchar_t stored[stored_value_capacity];
    HANDLE user_key = nullptr;
    bool read = NT_SUCCESS(RtlOpenCurrentUser(KEY_READ, &user_key)) &&
                read_text_value(user_key, shell_folders_key, L"Local AppData", stored);
    if (user_key != nullptr) NtClose(user_key);
    if (read && stored[0] != 0 &&
        (expand_from_profile_list(stored, output, capacity) || expand_for_user(stored, output, capacity))) {
        return true;
    }
    if (!get_profile_folder(output, capacity)) return false;
    text_append(output, capacity, default_local_app_data);
    return true;
}
