// Starts one command line exactly as given, in the environment a test asks for, and
// records the started process's id and its whole 32-bit exit code (Linux keeps only the
// low 8 bits of a Wine program's exit code). Wine builds a program's command line from
// its Linux arguments, so the settings come in environment variables instead:
//
//   E2E_COMMAND_LINE  the command line, verbatim (required)
//   E2E_APPLICATION   the application name for CreateProcessW (optional: without it the
//                     system searches for the program, as a command prompt does)
//   E2E_DIRECTORY     the current directory to start from (optional)
//   E2E_RESULT        the file that receives "<process id> <exit code>" (required)
//   E2E_DETACHED      when set, the program starts without a console (DETACHED_PROCESS);
//                     otherwise with a console of its own that has no window, as a
//                     program started at a prompt has one
//   E2E_SET_<NAME>    sets NAME to the value, in which "{RUNNER_PID}" stands for this
//                     runner's process id; Wine keeps some names, such as TEMP, to itself
//
// Every E2E_ variable is removed before the start. The started process inherits the
// runner's standard handles. The result file exists, empty, from the runner's first step
// on, so that a test can tell a runner that Wine failed to start from one that failed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int runner_failed = 125;

std::wstring variable(const wchar_t* name) {
    static wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768) return L"";
    return value;
}

int fail(const char* what) {
    fprintf(stderr, "e2e_runner: %s (error %lu)\n", what, GetLastError());
    return runner_failed;
}

}  // namespace

int wmain() {
    std::wstring command_line = variable(L"E2E_COMMAND_LINE");
    std::wstring application = variable(L"E2E_APPLICATION");
    std::wstring directory = variable(L"E2E_DIRECTORY");
    std::wstring result_path = variable(L"E2E_RESULT");
    DWORD console_flags = variable(L"E2E_DETACHED").empty() ? CREATE_NO_WINDOW : DETACHED_PROCESS;
    if (command_line.empty() || result_path.empty()) return fail("E2E_COMMAND_LINE and E2E_RESULT are required");
    FILE* result = _wfopen(result_path.c_str(), L"w");
    if (result == nullptr || fclose(result) != 0) return fail("cannot write the result file");

    std::vector<std::wstring> names;
    std::vector<std::pair<std::wstring, std::wstring>> settings;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != 0; entry += wcslen(entry) + 1) {
        const wchar_t* equals = wcschr(entry + 1, L'=');  // names of drive entries begin with '='
        if (equals == nullptr || wcsncmp(entry, L"E2E_", 4) != 0) continue;
        std::wstring name(entry, equals);
        names.push_back(name);
        if (name.compare(0, 8, L"E2E_SET_") == 0 && name.size() > 8) settings.emplace_back(name.substr(8), equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const std::wstring& name : names) SetEnvironmentVariableW(name.c_str(), nullptr);
    std::wstring own_id = std::to_wstring(GetCurrentProcessId());
    for (auto& [name, value] : settings) {
        for (size_t at; (at = value.find(L"{RUNNER_PID}")) != std::wstring::npos;) value.replace(at, 12, own_id);
        if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) return fail("cannot set a variable");
    }
    if (!directory.empty() && !SetCurrentDirectoryW(directory.c_str())) return fail("cannot change directory");

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The program runs as the user's ordinary processes do: with the limited token that
    // Wine links to the elevated one it gives every process.
    HANDLE own_token = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own_token) ||
        !GetTokenInformation(own_token, TokenLinkedToken, &linked, sizeof linked, &size)) {
        return fail("no limited token");
    }
    PROCESS_INFORMATION process = {};
    // Under load, Wine now and then loses a new process in its own Unix start-up, before
    // any code of the program has run, and reports ERROR_INTERNAL_ERROR: starting it
    // again is safe and keeps that out of the tests' results.
    for (int attempt = 1;; ++attempt) {
        const wchar_t* name = application.empty() ? nullptr : application.c_str();
        if (CreateProcessAsUserW(linked.LinkedToken, name, &command_line[0], nullptr, nullptr, TRUE, console_flags,
                                 nullptr, nullptr, &startup, &process)) {
            break;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5) return fail("cannot start the command line");
        Sleep(100);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process.hProcess, &exit_code)) return fail("no exit code");
    CloseHandle(process.hProcess);

    result = _wfopen(result_path.c_str(), L"w");
    if (result == nullptr) return fail("cannot write the result file");
    fprintf(result, "%lu %lu\n", process.dwProcessId, exit_code);
    if (fclose(result) != 0) return fail("cannot write the result file");
    return 0;
}
