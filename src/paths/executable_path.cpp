#include "paths/executable_path.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"

namespace {

wchar_t plain_path[executable_path_capacity];
wchar_t resolved_path[executable_path_capacity];

using final_path_function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

bool holds_terminator(const wchar_t* text, size_t capacity) {
    return wmemchr(text, 0, capacity) != nullptr;
}

// Replaces path (of capacity units) by the short form of its first length units,
// followed by suffix. Returns false, changing nothing, when the system cannot find it.
bool replace_with_short_form(wchar_t* path, size_t capacity, const wchar_t* suffix) {
    DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed == 0) return false;
    wchar_t* short_form = static_cast<wchar_t*>(malloc((needed + 1) * sizeof(wchar_t)));
    if (short_form == nullptr) abort();
    DWORD written = GetShortPathNameW(path, short_form, needed + 1);
    if (written == 0 || written > needed) abort();  // changed between the two calls
    short_form[written] = 0;
    text_copy(path, capacity, short_form);
    text_append(path, capacity, suffix);
    free(short_form);
    return true;
}

}  // namespace

const wchar_t* get_executable_path(bool resolved) {
    wchar_t* buffer = resolved ? resolved_path : plain_path;
    if (buffer[0] != 0) return buffer;
    // A name cut to fit the buffer is some other file's: the child would be started from it.
    DWORD length = GetModuleFileNameW(nullptr, buffer, executable_path_capacity);
    if (length == 0 || length >= executable_path_capacity) abort();
    if (resolved) resolve_final_path(buffer, executable_path_capacity);
    return buffer;
}

void resolve_final_path(wchar_t* path, size_t capacity) {
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!holds_terminator(path, capacity)) abort();
    if (file != INVALID_HANDLE_VALUE) {
        auto final_path = reinterpret_cast<final_path_function>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
        if (final_path != nullptr) {
            DWORD length = final_path(file, path, static_cast<DWORD>(capacity), 0);
            CloseHandle(file);
            if (length >= capacity) abort();
        } else {
            CloseHandle(file);
        }
        if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':') {
            wmemmove(path, path + 4, wcslen(path + 4) + 1);
        }
        if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
            wmemmove(path, path + 6, wcslen(path + 6) + 1);
            path[0] = L'\\';
        }
    }
    shorten_path(path, capacity);
}

void shorten_path(wchar_t* path, size_t capacity) {
    wchar_t* last_backslash = wcsrchr(path, L'\\');
    if (last_backslash == nullptr) {
        replace_with_short_form(path, capacity, L"");
        return;
    }
    wchar_t* file_name = _wcsdup(last_backslash);  // the backslash and the name after it
    if (file_name == nullptr) abort();
    *last_backslash = 0;
    if (!replace_with_short_form(path, capacity, file_name)) {
        *last_backslash = L'\\';
    }
    free(file_name);
}
