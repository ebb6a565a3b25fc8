#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <string>

#include "import_hook.h"
#include "launcher/in_process.h"
#include "paths/environment.h"

namespace {

constexpr int abort_status = 3;  // the runtime's exit code after abort

// This process names itself as the parent, with values of the form a normal run publishes.
// A death test's child, which runs the test again, keeps the name: its parent's.
void name_this_process_as_parent() {
    wchar_t* value = get_environment("TARVIX_ONEFILE_PARENT");
    bool inherited = value != nullptr;
    free(value);
    if (inherited) return;
    set_environment("TARVIX_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    set_environment("TARVIX_ONEFILE_TIME_US", L"012345");
    set_environment("TARVIX_ONEFILE_RANDOM", L"Ab-_9zZ0aB1");
}

constexpr int in_process = 10;
constexpr int normal = 11;

[[noreturn]] void exit_with_mode() { exit(detect_in_process_mode() ? in_process : normal); }

// An image name as the system reports one that does not fit.
BOOL WINAPI parent_path_too_long(HANDLE, DWORD, LPWSTR, DWORD*) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
}

DWORD WINAPI long_own_path(HMODULE, LPWSTR path, DWORD size) {
    std::wstring own = L"C:\\" + std::wstring(2100, L'd') + L"\\p.exe";
    if (own.size() >= size) return 0;
    wcscpy(path, own.c_str());
    return static_cast<DWORD>(own.size());
}

// Every other process looks a day younger than this one: the id its parent had now
// names a process started later.
using process_times_function = BOOL(WINAPI*)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);
process_times_function real_process_times;

BOOL WINAPI others_started_later(HANDLE process, FILETIME* created, FILETIME* exited, FILETIME* kernel,
                                 FILETIME* user) {
    if (!real_process_times(process, created, exited, kernel, user)) return FALSE;
    if (process != GetCurrentProcess()) created->dwHighDateTime += 202;  // 2^32 * 202 * 100 ns: a day
    return TRUE;
}

TEST(detect_in_process_mode, takes_an_ancestor_running_this_file_for_the_parent_and_nothing_else) {
    name_this_process_as_parent();
    EXPECT_FALSE(detect_in_process_mode()) << "a process is no ancestor of its own";
    EXPECT_EXIT(exit_with_mode(), testing::ExitedWithCode(in_process), "");
    EXPECT_EXIT(
        {
            scoped_import_hook times("kernel32.dll", "GetProcessTimes", reinterpret_cast<void*>(&others_started_later));
            real_process_times = reinterpret_cast<process_times_function>(times.original());
            exit_with_mode();
        },
        testing::ExitedWithCode(normal), "");
    scoped_import_hook parent("kernel32.dll", "QueryFullProcessImageNameW",
                              reinterpret_cast<void*>(&parent_path_too_long));
    // Another program's long path: a stranger, and normal mode. If this launcher's own
    // path is too long as well, every child would start yet another run: that ends it.
    EXPECT_EXIT(exit_with_mode(), testing::ExitedWithCode(normal), "");
    EXPECT_EXIT(
        {
            scoped_import_hook own("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&long_own_path));
            exit_with_mode();
        },
        testing::ExitedWithCode(abort_status), "");
}

}  // namespace
