// The application of every benchmark application, as a library and, built with
// BENCH_PROGRAM, as a program of its own: returns at once, after the probe has said when
// it was reached (only when the runner asks for it).
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "probe.h"

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t* library_path) {
    probe_report();
    if (GetEnvironmentVariableA("TARVIX_BENCH_PROBE", nullptr, 0) > 0) {
        // The runner checks after the launcher's exit that this directory is gone.
        wchar_t directory[4096];
        lstrcpynW(directory, library_path, 4096);
        wchar_t* last_backslash = wcsrchr(directory, L'\\');
        if (last_backslash != nullptr) *last_backslash = 0;
        printf("probe_dir %ls\n", directory);
        fflush(stdout);
    }
    return 0;
}

#ifdef BENCH_PROGRAM
int wmain() {
    wchar_t self[4096];
    DWORD length = GetModuleFileNameW(nullptr, self, 4096);
    if (length == 0 || length >= 4096) return 1;
    return run_code(0, nullptr, self);
}
#endif
