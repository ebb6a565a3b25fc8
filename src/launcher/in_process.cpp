#include "launcher/in_process.h"

#include <windows.h>
#include <winternl.h>

#include <cstdlib>
#include <cwchar>

#include "common/system_library.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/path_template.h"
#include "state/run_state.h"

namespace {

constexpr DWORD parent_path_capacity = 2048;
// Enough to read a process's image name and times, which the system keeps for it: a
// child may always have it of its own launcher, which it shares a token with. Reading the
// process's memory for its name may be refused (a debugger attached, a guard that keeps
// others out), and a child that failed to know its launcher would start another run, and
// its child another, without end.
constexpr DWORD ancestor_access = PROCESS_QUERY_LIMITED_INFORMATION;
// How far up the launcher may stand: its child, a program that the application started
// (through a shell or two), and some room beyond.
constexpr int ancestor_generations = 8;

using query_process_function = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);

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
bool runs_this_executable(HANDLE parent) {
    wchar_t parent_path[parent_path_capacity];
    DWORD length = parent_path_capacity;
    if (!QueryFullProcessImageNameW(parent, 0, parent_path, &length)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        if (wcslen(get_executable_path(false)) >= parent_path_capacity) abort();
        return false;
    }
    resolve_final_path(parent_path, parent_path_capacity);
    return wcscmp(parent_path, get_executable_path(true)) == 0;
}

bool read_creation_time(HANDLE process, FILETIME* created) {
    FILETIME exited, kernel, user;
    return GetProcessTimes(process, created, &exited, &kernel, &user) != 0;
}

// Opens the process that started child (a handle with at least ancestor_access), or
// gives nullptr. A process that began later than child holds an id that child's parent
// let go of and is no parent of child's: nullptr too. Equal times count as older, since
// the system's clock may give a parent and its child the same tick.
HANDLE open_parent(HANDLE child, query_process_function query, DWORD* parent_id) {
    PROCESS_BASIC_INFORMATION basic = {};
    FILETIME child_created;
    if (query(child, ProcessBasicInformation, &basic, sizeof basic, nullptr) < 0 ||
        !read_creation_time(child, &child_created)) {
        return nullptr;
    }
    *parent_id = static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
    if (*parent_id == 0) return nullptr;
    HANDLE parent = OpenProcess(ancestor_access, FALSE, *parent_id);
    FILETIME parent_created;
    if (parent != nullptr &&
        (!read_creation_time(parent, &parent_created) || CompareFileTime(&parent_created, &child_created) > 0)) {
        CloseHandle(parent);
        return nullptr;
    }
    return parent;
}

// True when the process launcher_id is an ancestor of this process, a few generations up
// at most, and runs this very file. Any other process could be a stranger's that names
// itself in an environment it shaped.
bool ancestor_runs_this_executable(DWORD launcher_id) {
    auto query = reinterpret_cast<query_process_function>(system_function(L"ntdll.dll", "NtQueryInformationProcess"));
    if (query == nullptr) return false;
    HANDLE process = GetCurrentProcess();  // a pseudo handle, not to be closed
    bool found = false;
    for (int generation = 1; generation <= ancestor_generations; ++generation) {
        DWORD parent_id = 0;
        HANDLE parent = open_parent(process, query, &parent_id);
        if (generation > 1) CloseHandle(process);
        process = parent;
        if (parent == nullptr) break;
        if (parent_id == launcher_id) {
            found = runs_this_executable(parent);
            break;
        }
    }
    if (process != nullptr && process != GetCurrentProcess()) CloseHandle(process);
    return found;
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
           ancestor_runs_this_executable(parent_id);
}

HMODULE load_application_library() {
    // Every later load by bare name, the application's own included, searches its
    // directory and the system's only. The launcher's own folder (a Downloads folder, say)
    // would come first in the usual search and could hand it a library someone put there;
    // the current directory and PATH could as well. PATH cannot be kept behind these two:
    // folders added for the search have no order among them and all precede the system's.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32)) return nullptr;
    DLL_DIRECTORY_COOKIE added = AddDllDirectory(target_directory);
    if (added == nullptr) return nullptr;
    // The library's own imports: its directory and the system's.
    HMODULE library = LoadLibraryExW(application_library_path, nullptr,
                                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                         LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (trace_enabled) trace_line("library %w %s", application_library_path, library ? "loaded" : "does not load");
    if (library == nullptr) {
        // A cache that fails to load is extracted again or given up: its directory must
        // not stay in the search.
        DWORD error = GetLastError();
        RemoveDllDirectory(added);
        SetLastError(error);
    }
    return library;
}

int run_loaded_library(HMODULE library, int argument_count, wchar_t** arguments) {
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fatal_error(message_entry_missing);
    int exit_code = run_code(argument_count, arguments, application_library_path);
    if (trace_enabled) trace_line("run_code returned %d", 0LL + exit_code);
    return exit_code;
}

int run_application_library(int argument_count, wchar_t** arguments) {
    HMODULE library = load_application_library();
    if (library == nullptr) fatal_load_error(message_load_library, GetLastError(), application_library_path);
    return run_loaded_library(library, argument_count, arguments);
}
