#include "paths/long_path.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t local_prefix[] = L"\\\\?\\";
constexpr wchar_t network_prefix[] = L"\\\\?\\UNC\\";
constexpr size_t local_prefix_length = 4;
constexpr size_t network_prefix_length = 8;

bool starts_with(const wchar_t* text, const wchar_t* prefix, size_t length) {
    return wcsncmp(text, prefix, length) == 0;
}

}  // namespace

bool long_path_form(wchar_t* output, size_t capacity, const wchar_t* path) {
    if (starts_with(path, local_prefix, local_prefix_length) || starts_with(path, L"\\\\.\\", 4)) {
        size_t length = wcslen(path);
        if (length >= capacity) return false;
        wmemmove(output, path, length + 1);
        return true;
    }
    // The full path goes where the network form needs it, its prefix taking the place of
    // the leading "\\"; the local form moves it down by two.
    constexpr size_t room = network_prefix_length - 2;
    if (capacity <= room + 2) return false;
    wchar_t* full = output + room;
    size_t full_capacity = capacity - room;
    DWORD length = GetFullPathNameW(path, static_cast<DWORD>(full_capacity), full, nullptr);
    if (length == 0 || length >= full_capacity) return false;
    if (full[0] == L'\\' && full[1] == L'\\') {
        if (full[2] == L'.' || full[2] == L'?') return false;  // a device: never below a directory
        wmemcpy(output, network_prefix, network_prefix_length);  // over the network path's "\\"
        return true;
    }
    wmemmove(output + local_prefix_length, full, length + 1);
    wmemcpy(output, local_prefix, local_prefix_length);
    return true;
}

const wchar_t* plain_path_form(wchar_t* path) {
    if (starts_with(path, network_prefix, network_prefix_length)) {
        path[network_prefix_length - 2] = L'\\';  // "\\?\UN" dropped, "C\" becomes "\\"
        return path + network_prefix_length - 2;
    }
    if (starts_with(path, local_prefix, local_prefix_length)) return path + local_prefix_length;
    return path;
}
