#include "paths/path_template.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "common/system_library.h"
#include "paths/environment.h"
#include "paths/user_folders.h"
#include "state/run_state.h"

namespace {

constexpr size_t name_capacity = 1024;  // 1023 units and the NUL
constexpr size_t number_capacity = 128;
constexpr size_t random_bytes = 8;

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

// A number in decimal with at least min_digits digits, widened.
void format_number(wchar_t* output, long long value, size_t min_digits) {
    char narrow[decimal_text_capacity];
    decimal_text(narrow, value, min_digits);
    text_widen(output, number_capacity, narrow);
}

// Appends the variable's value, or makes one with make_value, publishes it and appends
// it. False when no value can be made.
bool append_published(expansion& e, const char* variable, bool (*make_value)(wchar_t*)) {
    wchar_t* inherited = get_environment(variable);
    if (inherited != nullptr) {
        append_value(e, inherited);
        free(inherited);
        return true;
    }
    wchar_t made[number_capacity];
    if (!make_value(made)) return false;
    set_environment(variable, made);
    append_value(e, made);
    return true;
}

long long system_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

bool make_time(wchar_t* output) {
    format_number(output, system_time(), 1);
    return true;
}

bool make_time_us(wchar_t* output) {
    format_number(output, system_time() / 10 % 1000000, time_us_text_length);
    return true;
}

void append_process_id(expansion& e) {
    wchar_t* inherited = get_environment("TARVIX_ONEFILE_PARENT");
    if (inherited == nullptr) {
        wchar_t own[number_capacity];
        format_number(own, GetCurrentProcessId(), 1);
        append_value(e, own);
        return;
    }
    // The value names a process by number and becomes part of a path.
    DWORD ignored;
    if (!parse_process_id(inherited, &ignored)) abort();
    append_value(e, inherited);
    free(inherited);
}

// A folder the system names, without its trailing backslash. False when it cannot.
bool append_folder(expansion& e, bool (*get_folder)(wchar_t*, size_t)) {
    if (!get_folder(e.position(), e.free_places())) {
        *e.position() = 0;
        return false;
    }
    e.used += wcslen(e.position());
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
        return append_folder(e, get_profile_folder);
    } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
        return append_folder(e, get_local_app_data_folder);
    } else if (_wcsicmp(name, L"COMPANY") == 0) {
        append_value(e, tarvix_company_name);
    } else if (_wcsicmp(name, L"PRODUCT") == 0) {
        append_value(e, tarvix_product_name);
    } else if (_wcsicmp(name, L"VERSION") == 0 || _wcsicmp(name, L"FILE_VERSION") == 0 ||
               _wcsicmp(name, L"PRODUCT_VERSION") == 0) {
        append_value(e, tarvix_version);
    } else if (_wcsicmp(name, L"RANDOM") == 0) {
        return append_published(e, "TARVIX_ONEFILE_RANDOM", make_random_text);
    } else if (_wcsicmp(name, L"TIME_US") == 0) {
        return append_published(e, "TARVIX_ONEFILE_TIME_US", make_time_us);
    } else if (_wcsicmp(name, L"TIME") == 0) {
        return append_published(e, "TARVIX_ONEFILE_START", make_time);
    } else {
        return false;  // empty or unknown name
    }
    return true;
}

}  // namespace

void random_text_from_bytes(const uint8_t* bytes, wchar_t* output) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint8_t padded[9] = {};  // one spare zero byte pads the last group of three
    memcpy(padded, bytes, random_bytes);
    size_t length = 0;
    for (int i = 0; i < 9; i += 3) {
        uint32_t group = (uint32_t{padded[i]} << 16) | (uint32_t{padded[i + 1]} << 8) | padded[i + 2];
        for (int shift = 18; shift >= 0 && length < random_text_length; shift -= 6) {
            output[length++] = static_cast<wchar_t>(alphabet[(group >> shift) & 63]);
        }
    }
    output[length] = 0;
}

// The name of a fresh directory must not be guessable: someone who could predict it
// could make it first. The system's generator is bound here, not imported: only the
// starts that make a fresh name pay for loading ADVAPI32.
bool make_random_text(wchar_t* output) {
    using random_function = BOOLEAN(WINAPI*)(void*, ULONG);
    auto generate = reinterpret_cast<random_function>(system_function(L"advapi32.dll", "SystemFunction036"));
    uint8_t bytes[random_bytes];
    if (generate == nullptr || !generate(bytes, sizeof bytes)) return false;
    random_text_from_bytes(bytes, output);
    return true;
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
