#include "child/child_launch.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "child/cleanup.h"
#include "common/bounded_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "paths/executable_path.h"
#include "payload/attached_payload.h"
#include "state/run_state.h"

wchar_t child_command_line[32768];

namespace {

constexpr size_t command_line_capacity = sizeof child_command_line / sizeof child_command_line[0];

// Held open until the process ends: closing it would end the child.
HANDLE child_job = nullptr;

bool is_blank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// A job that ends the child when the launcher's last handle to it goes, however the
// launcher ends. Processes the application starts itself leave the job silently and
// keep their own lifetime. nullptr when the system offers no such job.
HANDLE create_child_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// What CreateProcessW answers for a program file that is missing or not a program: what a
// damaged cache leaves. Elevation, policy or access failures are not among them.
bool is_damaged_program_error(DWORD error) {
    return error == ERROR_BAD_EXE_FORMAT || error == ERROR_INVALID_EXE_SIGNATURE || error == ERROR_EXE_MARKED_INVALID ||
           error == ERROR_BAD_FORMAT || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_FILE_CORRUPT;
}

}  // namespace

DWORD child_console_flags() {
    // A process attached to a console is on that console's list, so the list is never
    // empty. Without a flag, a console program started from one without a console gets a
    // new console, and with it a window.
    DWORD process_ids[1];
    return GetConsoleProcessList(process_ids, 1) != 0 ? 0 : DETACHED_PROCESS;
}

const wchar_t* command_line_tail(const wchar_t* command_line) {
    const wchar_t* p = command_line;
    if (*p == L'"') {
        do {
            ++p;
        } while (*p != 0 && *p != L'"');
        if (*p == L'"') ++p;
        return p;
    }
    while (*p != 0 && !is_blank(*p)) ++p;
    return p;
}

void build_child_command_line(const wchar_t* program_path, const wchar_t* tail) {
    // The launcher's own line fitted; with the full module path as argument 0 the child's
    // may not: a failure the user can be told of, not a buffer overflow.
    bool blank = *tail != 0 && !is_blank(*tail);
    if (wcslen(program_path) + 2 + blank + wcslen(tail) >= command_line_capacity) {
        fatal_error(message_command_line_too_long);
    }
    // A module path holds no quote, so quoting it whole is always exact.
    text_copy(child_command_line, command_line_capacity, L"\"");
    text_append(child_command_line, command_line_capacity, program_path);
    text_append(child_command_line, command_line_capacity, L"\"");
    if (blank) text_append(child_command_line, command_line_capacity, L" ");
    text_append(child_command_line, command_line_capacity, tail);
}

bool child_is_payload_program() { return tarvix_payload_kind == payload_kind_program; }

uint32_t run_child_process(bool* damaged_program) {
    const wchar_t* program = child_is_payload_program() ? application_library_path : get_executable_path(false);
    // The raw command line, not the runtime's argument vector: the child's runtime then
    // reads empty arguments, quotes and wildcards exactly as a plain program would.
    build_child_command_line(program, command_line_tail(GetCommandLineW()));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    child_job = create_child_job();

    PROCESS_INFORMATION child = {};
    if (!application_start_begin()) wait_to_be_ended();
    // Suspended until it is in the job, so that not one instruction of it can outlive
    // a launcher that is killed.
    DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | child_console_flags();
    if (!CreateProcessW(program, child_command_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        &child)) {
        DWORD error = GetLastError();
        application_start_end();
        if (damaged_program != nullptr && is_damaged_program_error(error)) {
            if (trace_enabled) trace_line("program %w does not start (error %u)", program, 0ULL + error);
            if (child_job != nullptr) CloseHandle(child_job);
            child_job = nullptr;
            *damaged_program = true;
            return 0;
        }
        fatal_load_error(message_launch_failed, error, program);
    }
    // An outer job that forbids ours only costs the binding, never the start.
    if (child_job != nullptr && !AssignProcessToJobObject(child_job, child.hProcess)) {
        CloseHandle(child_job);
        child_job = nullptr;
    }
    if (trace_enabled) trace_line("child %u started: %w", 0ULL + child.dwProcessId, program);
    ResumeThread(child.hThread);
    CloseHandle(child.hThread);
    child_handle_publish(child.hProcess);
    mark_application_started();
    application_start_end();

    // Only this thread closes the handle; the console handler may meanwhile wait on it
    // or end the child, but never after it has been withdrawn here.
    DWORD exit_code = 0;
    WaitForSingleObject(child.hProcess, INFINITE);
    if (!GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
    CloseHandle(child_handle_withdraw());
    if (trace_enabled) trace_line("child %u ended with exit code %u", 0ULL + child.dwProcessId, 0ULL + exit_code);
    // The system ends a program whose imports it cannot find before any of its code runs,
    // with this status and nothing said on the console: the user learns what is missing
    // while the files are still there to be read. The exit code stays the program's.
    if (exit_code == STATUS_DLL_NOT_FOUND && child_is_payload_program()) report_missing_import(program);

    cleanup_target_directory();
    return exit_code;
}
