#include "probe.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

unsigned long long filetime_value(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

unsigned long long private_commit(void* process) {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    const char* address = nullptr;
    while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

long long group_cpu_microseconds() {
    static wchar_t path[1024];
    static bool looked = false;
    if (!looked) {
        looked = true;
        DWORD length = GetEnvironmentVariableW(L"TARVIX_BENCH_CPU_FILE", path, 1024);
        if (length == 0 || length >= 1024) path[0] = 0;
    }
    if (path[0] == 0) return -1;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    char text[4096];
    DWORD got = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    if (!read || got == 0) return -1;
    text[got] = 0;
    const char* usage = strstr(text, "usage_usec ");
    if (usage != nullptr) return strtoll(usage + 11, nullptr, 10);
    return strtoll(text, nullptr, 10) / 1000;
}

namespace {

void print_counters(const char* prefix, HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        return;
    }
    // Under Wine, PagefileUsage is the process's resident private memory; the rest of the
    // working set is mapped files (the executable with its payload, the system DLLs).
    printf(" %sws_peak=%llu %sws=%llu %sresident_private=%llu %scommit=%llu", prefix,
           static_cast<unsigned long long>(counters.PeakWorkingSetSize), prefix,
           static_cast<unsigned long long>(counters.WorkingSetSize), prefix,
           static_cast<unsigned long long>(counters.PagefileUsage), prefix, private_commit(process));
}

}  // namespace

void probe_report() {
    FILETIME entry;
    GetSystemTimePreciseAsFileTime(&entry);  // first, so that nothing below is counted
    char mode[16];
    DWORD length = GetEnvironmentVariableA("TARVIX_BENCH_PROBE", mode, sizeof mode);
    if (length == 0 || length >= sizeof mode) return;

    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
    printf("probe created_ft=%llu entry_ft=%llu", filetime_value(created), filetime_value(entry));
    if (strcmp(mode, "memory") == 0) {
        print_counters("", GetCurrentProcess());
        char parent_id[32];
        length = GetEnvironmentVariableA("TARVIX_ONEFILE_PARENT", parent_id, sizeof parent_id);
        if (length > 0 && length < sizeof parent_id) {
            DWORD access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
            HANDLE parent = OpenProcess(access, FALSE, static_cast<DWORD>(strtoul(parent_id, nullptr, 10)));
            if (parent != nullptr) {
                // The parent is waiting for this child: its extraction is over.
                print_counters("parent_", parent);
                CloseHandle(parent);
            }
        }
    }
    printf("\n");
    fflush(stdout);
}
