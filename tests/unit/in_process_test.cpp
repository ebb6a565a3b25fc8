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
void name_this_process_as_parent() {
    set_environment("TARVIX_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    set_environment("TARVIX_ONEFILE_TIME_US", L"012345");
    set_environment("TARVIX_ONEFILE_RANDOM", L"Ab-_9zZ0aB1");
}

// Module paths as the system reports them when they do not fit: cut, and the full size.
DWORD WINAPI truncated_parent_path(HANDLE, HMODULE, LPWSTR path, DWORD size) {
    wmemset(path, L'd', size - 1);
    path[size - 1] = 0;
    return size;
}

DWORD WINAPI long_own_path(HMODULE, LPWSTR path, DWORD size) {
    std::wstring own = L"C:\\" + std::wstring(2100, L'd') + L"\\p.exe";
    if (own.size() >= size) return 0;
    wcscpy(path, own.c_str());
    return static_cast<DWORD>(own.size());
}

TEST(detect_in_process_mode, knows_its_parent_and_ends_the_run_rather_than_loop_when_paths_cannot_be_compared) {
    name_this_process_as_parent();
    // This launcher's own path is too long as well: every child would start yet another run.
    EXPECT_EXIT(
        {
            scoped_import_hook parent("kernel32.dll", "K32GetModuleFileNameExW",
                                      reinterpret_cast<void*>(&truncated_parent_path));
            scoped_import_hook own("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&long_own_path));
            detect_in_process_mode();
            exit(1);
        },
        testing::ExitedWithCode(abort_status), "");
    {
        // Another program's long path: a stranger, and normal mode.
        scoped_import_hook parent("kernel32.dll", "K32GetModuleFileNameExW",
                                  reinterpret_cast<void*>(&truncated_parent_path));
        EXPECT_FALSE(detect_in_process_mode());
    }
    EXPECT_TRUE(detect_in_process_mode());
}

}  // namespace
