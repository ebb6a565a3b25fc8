#include "launcher/in_process.h"

#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <cwchar>

#include "diag/fatal.h"
#include "diag/messages.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/path_template.h"
#include "state/run_state.h"

namespace {

constexpr DWORD parent_path_capacity = 2048;
constexpr DWORD parent_access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

using run_code_function = int (*)(int, wchar_t**, const wchar_t*);

bool is_decimal_digit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

bool is_base64url(wchar_t unit) {
    return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || is_decimal_digit(unit) ||
           unit == L'-' || unit == L'_';
}

// True when the variable holds exactly length units, each passing the test.
bool variable_has_form(const char* name, size_t length, bool (*unit_test)(wchar_t)) {
    wchar_t* value = get_environment(name);
    if (value == nullptr) return false;
    size_t i = 0;
    while (i < length && unit_test(value[i])) ++i;
    bool matches = i == length && value[i] == 0;
    free(value);
    return matches;
}

// True when the parent's image is this very file. A path too long for the buffer cannot
// be compared; if this launcher's own path is that long, every child would take it for
// a stranger's and start a normal run of its own, without end: that ends the run.
bool runs_this_executable(DWORD parent_id) {
    HANDLE parent = OpenProcess(parent_access, FALSE, parent_id);
    if (parent == nullptr) return false;
    wchar_t parent_path[parent_path_capacity + 1];  // one more unit shows a path that does not fit
    DWORD length = K32GetModuleFileNameExW(parent, nullptr, parent_path, parent_path_capacity + 1);
    CloseHandle(parent);
    if (length == 0) return false;
    if (length >= parent_path_capacity) {
        if (wcslen(get_executable_path(false)) >= parent_path_capacity) abort();
        return false;
    }
    resolve_final_path(parent_path, parent_path_capacity);
    return wcscmp(parent_path, get_executable_path(true)) == 0;
}

}  // namespace

bool detect_in_process_mode() {
    wchar_t* value = get_environment("TARVIX_ONEFILE_PARENT");
    if (value == nullptr) return false;
    DWORD parent_id = 0;
    bool parsed = parse_process_id(value, &parent_id);
    free(value);
    // Only values of the form a normal run publishes name a directory that it made: any
    // other text would let whoever sets the environment choose where a library is loaded
    // from. Without them, a variable left over in an environment is no parent at all.
    return parsed && variable_has_form("TARVIX_ONEFILE_TIME_US", time_us_text_length, is_decimal_digit) &&
           variable_has_form("TARVIX_ONEFILE_RANDOM", random_text_length, is_base64url) &&
           runs_this_executable(parent_id);
}

HMODULE load_application_library() {
    // The application's own loads by bare name find its libraries here; the current
    // directory stays out, the system directories and PATH stay in.
    SetDllDirectoryW(target_directory);
    // The library's own imports are looked for beside it first, not beside the .exe.
    return LoadLibraryExW(application_library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int run_loaded_library(HMODULE library, int argument_count, wchar_t** arguments) {
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fatal_error(message_entry_missing);
    return run_code(argument_count, arguments, application_library_path);
}

int run_application_library(int argument_count, wchar_t** arguments) {
    HMODULE library = load_application_library();
    if (library == nullptr) fatal_os_error(message_load_library, GetLastError());
    return run_loaded_library(library, argument_count, arguments);
}
