#include "paths/path_template.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "common/bounded_text.h"
#include "common/shell32.h"
#include "paths/environment.h"

int program_argument_count = 0;
wchar_t** program_arguments = nullptr;

namespace {

constexpr size_t name_capacity = 1024;  // 1023 units and the NUL
constexpr size_t number_capacity = 128;
constexpr size_t random_text_length = 11;

// The output as it grows: its buffer, the end of the text so far and what is left.
struct expansion {
    wchar_t* output;
    size_t capacity;
    size_t used;

    wchar_t* position() const { return output + used; }
    size_t free_places() const { return capacity - used; }
};

void append_value(expansion& e, const wchar_t* value) {
    size_t length = wcslen(value);
    if (length + 1 > e.free_places()) abort();
    wmemcpy(e.position(), value, length + 1);
    e.used += length;
}

// Folders come with a trailing backslash that would double the template's own. The whole
// output is looked at, so an empty value also takes the template's backslash before it.
void trim_trailing_backslashes(expansion& e) {
    while (e.used > 0 && e.output[e.used - 1] == L'\\') {
        e.output[--e.used] = 0;
    }
}

// A number as the runtime formats it, widened.
void format_number(wchar_t* output, long long value, const char* format) {
    char narrow[number_capacity];
    snprintf(narrow, sizeof narrow, format, value);
    text_widen(output, number_capacity, narrow);
}

// Appends the variable's value, or makes one with make_value, publishes it and appends it.
void append_published(expansion& e, const char* variable, void (*make_value)(wchar_t*)) {
    wchar_t* inherited = get_environment(variable);
    if (inherited != nullptr) {
        append_value(e, inherited);
        free(inherited);
        return;
    }
    wchar_t made[number_capacity];
    make_value(made);
    set_environment(variable, made);
    append_value(e, made);
}

long long system_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void make_time(wchar_t* output) { format_number(output, system_time(), "%lld"); }

void make_time_us(wchar_t* output) { format_number(output, system_time() / 10 % 1000000, "%06lld"); }

void make_random(wchar_t* output) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t seed = random_seed(static_cast<uint64_t>(counter.QuadPart), reinterpret_cast<uintptr_t>(&counter),
                                GetCurrentProcessId());
    random_text_from_seed(seed, output);
}

void append_process_id(expansion& e) {
    wchar_t* inherited = get_environment("TARVIX_ONEFILE_PARENT");
    if (inherited == nullptr) {
        wchar_t own[number_capacity];
        format_number(own, GetCurrentProcessId(), "%lld");
        append_value(e, own);
        return;
    }
    // The value names a process by number and becomes part of a path: nothing but digits.
    for (const wchar_t* p = inherited; *p != 0; ++p) {
        if (!iswctype(*p, _DIGIT)) abort();
    }
    append_value(e, inherited);
    free(inherited);
}

bool append_folder(expansion& e, int folder) {
    using folder_path_function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto folder_path = reinterpret_cast<folder_path_function>(shell32_function("SHGetFolderPathW"));
    wchar_t path[MAX_PATH];
    if (folder_path == nullptr || folder_path(nullptr, folder, nullptr, 0, path) != S_OK) return false;
    append_value(e, path);
    trim_trailing_backslashes(e);
    return true;
}

void append_temp(expansion& e) {
    wchar_t* start = e.position();
    DWORD places = static_cast<DWORD>(e.free_places());
    DWORD length = GetTempPathW(places, start);
    if (length == 0 || length >= places) {
        *start = 0;  // nothing usable was written
    } else {
        e.used += wcslen(start);
    }
    trim_trailing_backslashes(e);
}

bool append_program(expansion& e, bool strip_extension, bool directory_only) {
    wchar_t* start = e.position();
    if (!expand_path_template(start, L"{PROGRAM}", e.free_places())) return false;
    size_t length = wcslen(start);
    if (strip_extension && length >= 4 && _wcsicmp(start + length - 4, L".exe") == 0) {
        length -= 4;
    }
    if (directory_only) {
        wchar_t* last_backslash = wcsrchr(start, L'\\');
        if (last_backslash != nullptr) length = static_cast<size_t>(last_backslash - start);
    }
    start[length] = 0;
    e.used += length;
    return true;
}

bool append_placeholder(expansion& e, const wchar_t* name) {
    if (_wcsicmp(name, L"TEMP") == 0) {
        append_temp(e);
    } else if (_wcsicmp(name, L"PROGRAM") == 0) {
        if (program_arguments == nullptr || program_argument_count < 1 || program_arguments[0] == nullptr) abort();
        append_value(e, program_arguments[0]);
    } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
        return append_program(e, true, false);
    } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
        return append_program(e, false, true);
    } else if (_wcsicmp(name, L"PID") == 0) {
        append_process_id(e);
    } else if (_wcsicmp(name, L"HOME") == 0) {
        return append_folder(e, CSIDL_PROFILE);
    } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
        return append_folder(e, CSIDL_LOCAL_APPDATA);
    } else if (_wcsicmp(name, L"COMPANY") == 0) {
        append_value(e, tarvix_company_name);
    } else if (_wcsicmp(name, L"PRODUCT") == 0) {
        append_value(e, tarvix_product_name);
    } else if (_wcsicmp(name, L"VERSION") == 0 || _wcsicmp(name, L"FILE_VERSION") == 0 ||
               _wcsicmp(name, L"PRODUCT_VERSION") == 0) {
        append_value(e, tarvix_version);
    } else if (_wcsicmp(name, L"RANDOM") == 0) {
        append_published(e, "TARVIX_ONEFILE_RANDOM", make_random);
    } else if (_wcsicmp(name, L"TIME_US") == 0) {
        append_published(e, "TARVIX_ONEFILE_TIME_US", make_time_us);
    } else if (_wcsicmp(name, L"TIME") == 0) {
        append_published(e, "TARVIX_ONEFILE_START", make_time);
    } else {
        return false;  // empty or unknown name
    }
    return true;
}

}  // namespace

uint32_t random_seed(uint64_t counter, uint64_t address, uint32_t process_id) {
    uint32_t seed = static_cast<uint32_t>(counter >> 32) ^ static_cast<uint32_t>(counter);
    seed ^= static_cast<uint32_t>(address >> 32) ^ static_cast<uint32_t>(address);
    seed ^= process_id;
    return seed == 0 ? 1 : seed;
}

void random_text_from_seed(uint32_t seed, wchar_t* output) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint8_t bytes[9] = {};  // one spare zero byte pads the last group of three
    uint32_t x = seed;
    for (int i = 0; i < 8; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<uint8_t>(x);
    }
    size_t length = 0;
    for (int i = 0; i < 9; i += 3) {
        uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0 && length < random_text_length; shift -= 6) {
            output[length++] = static_cast<wchar_t>(alphabet[(group >> shift) & 63]);
        }
    }
    output[length] = 0;
}

bool expand_path_template(wchar_t* output, const wchar_t* path_template, size_t capacity) {
    expansion e{output, capacity, 0};
    output[0] = 0;
    wchar_t name[name_capacity];
    size_t name_length = 0;
    bool in_placeholder = false;
    for (const wchar_t* p = path_template; *p != 0; ++p) {
        if (*p == L'{') {
            in_placeholder = true;  // a brace inside a name starts it afresh
            name_length = 0;
        } else if (*p == L'}' && in_placeholder) {
            in_placeholder = false;
            name[name_length] = 0;
            if (!append_placeholder(e, name)) return false;
        } else if (in_placeholder) {
            if (name_length + 1 >= name_capacity) return false;  // no known name is this long
            name[name_length++] = *p;
        } else {
            // A closing brace outside a placeholder is plain text like any other.
            if (e.free_places() < 2) return false;
            output[e.used++] = *p;
            output[e.used] = 0;
        }
    }
    return true;  // a placeholder still open at the end is dropped
}
