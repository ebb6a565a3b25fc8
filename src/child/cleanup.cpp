#include "child/cleanup.h"

#include <shellapi.h>

#include <cwchar>

#include "common/bounded_text.h"
#include "common/shell32.h"
#include "launcher/run_state.h"

namespace {

constexpr DWORD grace_period_ms = 5000;
constexpr int further_attempts = 20;
constexpr DWORD retry_pause_ms = 100;
constexpr size_t walk_path_capacity = 32768;  // long-path aware: deep trees exceed MAX_PATH

SRWLOCK start_lock = SRWLOCK_INIT;
SRWLOCK child_lock = SRWLOCK_INIT;
HANDLE child_process_handle = nullptr;

void delete_tree_below(wchar_t* path, size_t length) {
    text_append(path, walk_path_capacity, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        text_append(path, walk_path_capacity, L"\\");
        text_append(path, walk_path_capacity, name);
        DWORD attributes = found.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A link to a directory is removed as the link; what it points to stays.
            if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) delete_tree_below(path, wcslen(path));
            RemoveDirectoryW(path);
        } else {
            DeleteFileW(path);
        }
        path[length] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool directory_exists(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void request_shell_delete() {
    using file_operation_function = int(WINAPI*)(SHFILEOPSTRUCTW*);
    auto file_operation = reinterpret_cast<file_operation_function>(shell32_function("SHFileOperationW"));
    if (file_operation == nullptr) return;
    SHFILEOPSTRUCTW request;
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = target_directory;  // followed by a second NUL: a list of one name
    request.pTo = L"\0";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    file_operation(&request);
}

// A child started after a console event would never receive it and would outlive the
// launcher with its files in use.
void refuse_child_start() {
    AcquireSRWLockExclusive(&start_lock);
    stop_requested = true;
    ReleaseSRWLockExclusive(&start_lock);
}

}  // namespace

bool child_start_begin() {
    AcquireSRWLockExclusive(&start_lock);
    if (!stop_requested) return true;
    ReleaseSRWLockExclusive(&start_lock);
    return false;
}

void child_start_end() { ReleaseSRWLockExclusive(&start_lock); }

void child_handle_publish(HANDLE child) {
    AcquireSRWLockExclusive(&child_lock);
    child_process_handle = child;
    ReleaseSRWLockExclusive(&child_lock);
}

HANDLE child_handle_withdraw() {
    AcquireSRWLockExclusive(&child_lock);
    HANDLE child = child_process_handle;
    child_process_handle = nullptr;
    ReleaseSRWLockExclusive(&child_lock);
    return child;
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            refuse_child_start();
            cleanup_target_directory();
            break;
        default:
            break;
    }
    return FALSE;
}

void cleanup_target_directory() {
    AcquireSRWLockExclusive(&child_lock);
    if (child_process_handle != nullptr &&
        WaitForSingleObject(child_process_handle, grace_period_ms) != WAIT_OBJECT_0) {
        TerminateProcess(child_process_handle, 0);
    }
    ReleaseSRWLockExclusive(&child_lock);

    if (!extraction_started) return;
    // A direct walk is many times faster than the shell's delete; the shell's request and
    // its repeats then take whatever the walk could not remove.
    delete_tree(target_directory);
    request_shell_delete();
    for (int attempt = 0; attempt < further_attempts; ++attempt) {
        if (!directory_exists(target_directory)) break;
        Sleep(retry_pause_ms);
        request_shell_delete();
    }
}

void delete_tree(const wchar_t* directory) {
    wchar_t path[walk_path_capacity];  // on the caller's stack: both threads may walk at once
    text_copy(path, walk_path_capacity, directory);
    delete_tree_below(path, wcslen(path));
    RemoveDirectoryW(directory);
}
