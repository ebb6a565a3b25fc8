// Starts the programs of a plan, round after round, and prints one line per run with
// what it measured from outside (wall time, exit code) and what the started process
// reported from inside (its probe lines, converted to microseconds after the start).
//
// usage: bench_runner [--memory] [--rounds N] [--warmup N] PLAN
// PLAN holds one program per line: a label, a tab, the command line and, optionally, a
// tab and a directory (environment variables expanded) that is deleted before each run of
// it, outside the timed part. Every round runs every line once, in order, so that slow
// drifts of the machine hit all of them alike.
// TARVIX_BENCH_TEMP, when set, becomes TMP and TEMP of every program started.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "probe.h"

namespace {

struct plan_line {
    std::wstring label;
    std::wstring command_line;
    std::wstring fresh_directory;  // deleted before each run; empty for none
};

struct memory_samples {
    unsigned long long ws_peak = 0;
    unsigned long long resident_private_max = 0;
    unsigned long long commit_max = 0;
    int count = 0;
};

unsigned long long precise_now() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

unsigned long long filetime_value(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

double microseconds_after(unsigned long long time, unsigned long long start) {
    return (static_cast<double>(time) - static_cast<double>(start)) / 10.0;
}

std::vector<plan_line> read_plan(const wchar_t* path) {
    std::vector<plan_line> plan;
    FILE* file = _wfopen(path, L"r, ccs=UTF-8");
    if (file == nullptr) {
        fprintf(stderr, "bench_runner: cannot read the plan '%ls'\n", path);
        exit(2);
    }
    wchar_t line[8192];
    while (fgetws(line, 8192, file) != nullptr) {
        line[wcscspn(line, L"\r\n")] = 0;
        wchar_t* tab = wcschr(line, L'\t');
        if (tab == nullptr) continue;
        *tab = 0;
        wchar_t* second_tab = wcschr(tab + 1, L'\t');
        if (second_tab != nullptr) *second_tab = 0;
        plan.push_back({line, tab + 1, second_tab != nullptr ? second_tab + 1 : L""});
    }
    fclose(file);
    return plan;
}

// While the process runs, its resident and committed memory as often as the queries
// allow. Slows the process down: only for runs whose times are not used.
void sample_until_exit(HANDLE process, memory_samples& samples) {
    while (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof counters;
        if (K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
            if (counters.PeakWorkingSetSize > samples.ws_peak) samples.ws_peak = counters.PeakWorkingSetSize;
            // Under Wine, PagefileUsage is the resident private memory.
            if (counters.PagefileUsage > samples.resident_private_max) samples.resident_private_max = counters.PagefileUsage;
        }
        unsigned long long commit = private_commit(process);
        if (commit > samples.commit_max) samples.commit_max = commit;
        ++samples.count;
    }
}

// Deletes the tree below path (a buffer of MAX_PATH * 4 units) and path itself.
void delete_tree(wchar_t* path) {
    size_t length = wcslen(path);
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
            if (length + 1 + wcslen(found.cFileName) + 2 >= MAX_PATH * 4) {
                fprintf(stderr, "bench_runner: path too long below '%ls'\n", path);
                exit(2);
            }
            path[length] = L'\\';
            wcscpy(path + length + 1, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                delete_tree(path);
            } else {
                DeleteFileW(path);
            }
            path[length] = 0;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path);
}

void remove_fresh_directory(const plan_line& line) {
    if (line.fresh_directory.empty()) return;
    static wchar_t path[MAX_PATH * 4];
    DWORD length = ExpandEnvironmentStringsW(line.fresh_directory.c_str(), path, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        fprintf(stderr, "bench_runner: cannot expand '%ls'\n", line.fresh_directory.c_str());
        exit(2);
    }
    delete_tree(path);
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "bench_runner: cannot delete '%ls'\n", path);
        exit(2);
    }
}

// The probe's tokens with every absolute time (key_ft) turned into microseconds after
// start (key_us); probe_dir lines are checked, not copied.
std::string convert_output(const std::string& text, unsigned long long start, bool* directory_left) {
    std::string result;
    size_t line_start = 0;
    while (line_start < text.size()) {
        size_t line_end = text.find('\n', line_start);
        if (line_end == std::string::npos) line_end = text.size();
        std::string line = text.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 10, "probe_dir ") == 0) {
            std::wstring directory(line.begin() + 10, line.end());
            if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES) *directory_left = true;
            continue;
        }
        // Only the benchmark's own lines: whatever else a program prints is not ours to parse.
        std::string prefix;
        if (line.compare(0, 6, "floor ") == 0) {
            prefix = "floor_";
        } else if (line.compare(0, 6, "probe ") != 0) {
            continue;
        }
        size_t token_start = line.find(' ');
        while (token_start < line.size()) {
            size_t token_end = line.find(' ', token_start + 1);
            if (token_end == std::string::npos) token_end = line.size();
            std::string token = line.substr(token_start + 1, token_end - token_start - 1);
            token_start = token_end;
            size_t equals = token.find('=');
            if (equals == std::string::npos) continue;
            std::string key = token.substr(0, equals);
            std::string value = token.substr(equals + 1);
            if (key.size() > 3 && key.compare(key.size() - 3, 3, "_ft") == 0) {
                char converted[64];
                snprintf(converted, sizeof converted, "%.1f",
                         microseconds_after(strtoull(value.c_str(), nullptr, 10), start));
                key = key.substr(0, key.size() - 3) + "_us";
                value = converted;
            }
            result += " " + prefix + key + "=" + value;
        }
    }
    return result;
}

std::string read_whole_file(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    return text;
}

// Every program runs as the user's ordinary processes do, with the limited token that Wine
// links to the elevated one it gives every process: an elevated start would refuse a cache
// below the user's own folders and run the default way.
HANDLE limited_token() {
    static HANDLE limited = nullptr;
    if (limited != nullptr) return limited;
    HANDLE own_token = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own_token) ||
        !GetTokenInformation(own_token, TokenLinkedToken, &linked, sizeof linked, &size)) {
        fprintf(stderr, "bench_runner: no limited token (error %lu)\n", GetLastError());
        exit(2);
    }
    CloseHandle(own_token);
    limited = linked.LinkedToken;
    return limited;
}

void run_once(const plan_line& line, int round, bool warm_up, bool memory, HANDLE output) {
    remove_fresh_directory(line);
    SetFilePointer(output, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(output);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::vector<wchar_t> command_line(line.command_line.begin(), line.command_line.end());
    command_line.push_back(0);
    PROCESS_INFORMATION process = {};

    HANDLE token = limited_token();  // before the clock starts
    long long cpu_before = group_cpu_microseconds();
    unsigned long long start = precise_now();
    if (!CreateProcessAsUserW(token, nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &process)) {
        fprintf(stderr, "bench_runner: cannot start '%ls' (error %lu)\n", line.command_line.c_str(), GetLastError());
        exit(2);
    }
    memory_samples samples;
    if (memory) {
        sample_until_exit(process.hProcess, samples);
    } else {
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    unsigned long long end = precise_now();
    long long cpu_after = group_cpu_microseconds();

    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    PROCESS_MEMORY_COUNTERS after_exit = {};
    after_exit.cb = sizeof after_exit;
    K32GetProcessMemoryInfo(process.hProcess, &after_exit, sizeof after_exit);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    bool directory_left = false;
    std::string tokens = convert_output(read_whole_file(output), start, &directory_left);
    printf("run label=%ls round=%d warm_up=%d exit=%lu wall_us=%.1f proc_created_us=%.1f proc_exited_us=%.1f", line.label.c_str(),
           round, warm_up ? 1 : 0, exit_code, microseconds_after(end, start),
           microseconds_after(filetime_value(created), start), microseconds_after(filetime_value(exited), start));
    if (memory) {
        printf(" sampled_ws_peak=%llu sampled_resident_private_max=%llu sampled_commit_max=%llu samples=%d after_exit_ws_peak=%llu",
               samples.ws_peak, samples.resident_private_max, samples.commit_max, samples.count,
               static_cast<unsigned long long>(after_exit.PeakWorkingSetSize));
    }
    if (cpu_before >= 0 && cpu_after >= 0) printf(" cpu_us=%lld", cpu_after - cpu_before);
    printf(" dir_left=%d%s\n", directory_left ? 1 : 0, tokens.c_str());
    fflush(stdout);
}

}  // namespace

int wmain(int argument_count, wchar_t** arguments) {
    bool memory = false;
    int rounds = 5;
    int warm_up = 1;
    const wchar_t* plan_path = nullptr;
    for (int i = 1; i < argument_count; ++i) {
        if (wcscmp(arguments[i], L"--memory") == 0) {
            memory = true;
        } else if (wcscmp(arguments[i], L"--rounds") == 0 && i + 1 < argument_count) {
            rounds = _wtoi(arguments[++i]);
        } else if (wcscmp(arguments[i], L"--warmup") == 0 && i + 1 < argument_count) {
            warm_up = _wtoi(arguments[++i]);
        } else {
            plan_path = arguments[i];
        }
    }
    if (plan_path == nullptr || rounds < 1 || warm_up < 0) {
        fprintf(stderr, "usage: bench_runner [--memory] [--rounds N] [--warmup N] PLAN\n");
        return 2;
    }
    std::vector<plan_line> plan = read_plan(plan_path);
    SetEnvironmentVariableW(L"TARVIX_BENCH_PROBE", memory ? L"memory" : L"time");
    // Where every started program (and this one) finds its temporary directory.
    wchar_t temp[MAX_PATH];
    DWORD temp_length = GetEnvironmentVariableW(L"TARVIX_BENCH_TEMP", temp, MAX_PATH);
    if (temp_length > 0 && temp_length < MAX_PATH) {
        CreateDirectoryW(temp, nullptr);
        SetEnvironmentVariableW(L"TMP", temp);
        SetEnvironmentVariableW(L"TEMP", temp);
    }

    // Every started process writes into this one file; it is read back after each run.
    wchar_t output_path[MAX_PATH + 64];
    DWORD length = GetTempPathW(MAX_PATH, output_path);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "bench_runner: no temporary directory\n");
        return 2;
    }
    swprintf(output_path + length, 64, L"bench_runner_%lu.txt", GetCurrentProcessId());
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(output_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "bench_runner: cannot create '%ls' (error %lu)\n", output_path, GetLastError());
        return 2;
    }

    for (int round = 0; round < warm_up + rounds; ++round) {
        for (const plan_line& line : plan) run_once(line, round, round < warm_up, memory, output);
    }
    CloseHandle(output);
    return 0;
}
