#include "child/child_launch.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "child/cleanup.h"
#include "common/shell32.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/run_state.h"

wchar_t child_command_line[32768];

namespace {

constexpr size_t command_line_capacity = sizeof child_command_line / sizeof child_command_line[0];
constexpr size_t program_path_capacity = 4096;

wchar_t child_program_path[program_path_capacity];
size_t command_line_length = 0;

void append_units(wchar_t unit, size_t count) {
    if (count > command_line_capacity - 1 - command_line_length) abort();
    wmemset(child_command_line + command_line_length, unit, count);
    command_line_length += count;
    child_command_line[command_line_length] = 0;
}

bool needs_quotes(const wchar_t* argument) {
    return wcspbrk(argument, L" \t\n\v\"") != nullptr;
}

}  // namespace

void append_argument(const wchar_t* argument) {
    command_line_length = wcslen(child_command_line);
    if (!needs_quotes(argument)) {
        for (const wchar_t* p = argument; *p != 0; ++p) append_units(*p, 1);
        return;
    }
    // Backslashes are literal except in a run that ends at a quote: there each one is
    // doubled, and the quote itself escaped. The closing quote counts as such an end.
    append_units(L'"', 1);
    const wchar_t* p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            ++backslashes;
            ++p;
        }
        if (*p == 0) {
            append_units(L'\\', 2 * backslashes);
            break;
        }
        if (*p == L'"') {
            append_units(L'\\', 2 * backslashes + 1);
        } else {
            append_units(L'\\', backslashes);
        }
        append_units(*p, 1);
        ++p;
    }
    append_units(L'"', 1);
}

uint32_t run_child_process() {
    if (child_program_path[0] == 0 && GetModuleFileNameW(nullptr, child_program_path, program_path_capacity) == 0) {
        abort();
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    // The raw command line, not the runtime's argument vector: wildcards must reach the
    // child unexpanded, or the child's own runtime would expand them a second time.
    int count = 0;
    using split_function = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    auto split = reinterpret_cast<split_function>(shell32_function("CommandLineToArgvW"));
    wchar_t** arguments = split != nullptr ? split(GetCommandLineW(), &count) : nullptr;
    if (arguments == nullptr || count < 1) fatal_error(message_split_failed);
    arguments[0] = child_program_path;
    child_command_line[0] = 0;
    command_line_length = 0;
    for (int i = 0; i < count; ++i) {
        if (arguments[i] == nullptr) abort();
        if (i > 0) append_units(L' ', 1);
        append_argument(arguments[i]);
    }

    PROCESS_INFORMATION child = {};
    if (!child_start_begin()) wait_to_be_ended();
    if (!CreateProcessW(child_program_path, child_command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &child)) {
        DWORD error = GetLastError();
        child_start_end();
        fatal_os_error(message_launch_failed, error);
    }
    CloseHandle(child.hThread);
    child_handle_publish(child.hProcess);
    child_start_end();

    // Only this thread closes the handle; the console handler may meanwhile wait on it
    // or end the child, but never after it has been withdrawn here.
    DWORD exit_code = 0;
    WaitForSingleObject(child.hProcess, INFINITE);
    if (!GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
    CloseHandle(child_handle_withdraw());

    cleanup_target_directory();
    return exit_code;
}
