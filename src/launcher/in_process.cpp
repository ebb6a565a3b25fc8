#include "launcher/in_process.h"

#include <windows.h>
#include <psapi.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/run_state.h"
#include "paths/environment.h"
#include "paths/executable_path.h"

namespace {

constexpr DWORD parent_path_capacity = 2048;
constexpr DWORD parent_access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD library_search =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

using run_code_function = int (*)(int, wchar_t**, const wchar_t*);

// The parent's process id, or false when the value is not one whole base-10 number.
bool parse_parent_id(const wchar_t* value, long* id) {
    wchar_t* end = nullptr;
    errno = 0;
    *id = wcstol(value, &end, 10);
    return errno != ERANGE && end != value && *end == 0;
}

}  // namespace

bool detect_in_process_mode() {
    wchar_t* value = get_environment("TARVIX_ONEFILE_PARENT");
    if (value == nullptr) return false;
    long parent_id = 0;
    bool parsed = parse_parent_id(value, &parent_id);
    free(value);
    if (!parsed) return false;

    HANDLE parent = OpenProcess(parent_access, FALSE, static_cast<DWORD>(parent_id));
    if (parent == nullptr) return false;
    wchar_t parent_path[parent_path_capacity];
    if (K32GetModuleFileNameExW(parent, nullptr, parent_path, parent_path_capacity) == 0) {
        CloseHandle(parent);
        return false;
    }
    resolve_final_path(parent_path, parent_path_capacity);
    bool same_executable = wcscmp(parent_path, get_executable_path(true)) == 0;
    CloseHandle(parent);
    return same_executable;
}

int run_application_library(int argument_count, wchar_t** arguments) {
    AddDllDirectory(target_directory);
    HMODULE library = LoadLibraryExW(application_library_path, nullptr, library_search);
    if (library == nullptr) fatal_os_error(message_load_library, GetLastError());
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fatal_error(message_entry_missing);
    return run_code(argument_count, arguments, application_library_path);
}
