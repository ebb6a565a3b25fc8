#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "child/cleanup.h"
#include "child/session_window.h"
#include "diag/fatal.h"
#include "import_hook.h"
#include "state/run_state.h"
#include "target_directory/target_directory.h"
#include "target_directory/removal.h"
#include "workers/worker_threads.h"

namespace {

// Sleep is replaced so that the pauses between deletion attempts are counted, not waited.
std::vector<DWORD> pauses;

void WINAPI recording_sleep(DWORD milliseconds) {
    pauses.push_back(milliseconds);
}

// The shell's delete is looked up at run time: the lookup hands out a recorder instead.
using file_operation_function = int(WINAPI*)(SHFILEOPSTRUCTW*);
using get_proc_address_function = FARPROC(WINAPI*)(HMODULE, LPCSTR);

get_proc_address_function real_get_proc_address;
file_operation_function real_file_operation;
std::vector<std::wstring> delete_requests;  // the target of each attempt
bool every_request_well_formed = true;

bool is_empty_list(const wchar_t* list) {
    return list != nullptr && list[0] == 0 && list[1] == 0;
}

int WINAPI recording_file_operation(SHFILEOPSTRUCTW* request) {
    delete_requests.push_back(request->pFrom);
    // One name followed by the empty one; no undo, so nothing lands in the recycle bin.
    bool well_formed = request->hwnd == nullptr && request->wFunc == FO_DELETE &&
                       request->pFrom[wcslen(request->pFrom) + 1] == 0 && is_empty_list(request->pTo) &&
                       request->fFlags == (FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI) &&
                       !request->fAnyOperationsAborted && request->hNameMappings == nullptr &&
                       request->lpszProgressTitle != nullptr && request->lpszProgressTitle[0] == 0;
    if (!well_formed) every_request_well_formed = false;
    return real_file_operation(request);
}

FARPROC WINAPI redirecting_get_proc_address(HMODULE module, LPCSTR name) {
    FARPROC found = real_get_proc_address(module, name);
    if (found != nullptr && !IS_INTRESOURCE(name) && strcmp(name, "SHFileOperationW") == 0) {
        real_file_operation = reinterpret_cast<file_operation_function>(reinterpret_cast<void*>(found));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(recording_file_operation));
    }
    return found;
}

struct cleanup_observer {
    scoped_import_hook sleep_hook{"kernel32.dll", "Sleep", reinterpret_cast<void*>(recording_sleep)};
    scoped_import_hook lookup_hook{"kernel32.dll", "GetProcAddress",
                                   reinterpret_cast<void*>(redirecting_get_proc_address)};
    cleanup_observer() {
        real_get_proc_address = reinterpret_cast<get_proc_address_function>(lookup_hook.original());
        pauses.clear();
        delete_requests.clear();
        every_request_well_formed = true;
    }
};

std::wstring scratch_path(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    EXPECT_GT(length, 0u);
    return std::wstring(temp) + L"cleanup_test_" + name + L"_" + std::to_wstring(GetCurrentProcessId());
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool directory_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void make_directory(const std::wstring& path) {
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << "error " << GetLastError();
}

void make_file(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DWORD written = 0;
    WriteFile(file, "data", 4, &written, nullptr);
    CloseHandle(file);
}

// Test teardown, independent of the deletion under test.
void remove_all(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
                    remove_all(path + L"\\" + found.cFileName);
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    RemoveDirectoryW(path.c_str());
}

std::wstring fresh_directory(const wchar_t* name) {
    std::wstring path = scratch_path(name);
    remove_all(path);
    make_directory(path);
    return path;
}

// A tree with nested levels, read-only files, a read-only directory and a path longer
// than the old 260-character limit.
void fill_tree(const std::wstring& root) {
    make_file(root + L"\\top.txt");
    make_file(root + L"\\read_only.txt", FILE_ATTRIBUTE_READONLY);
    make_directory(root + L"\\a");
    make_directory(root + L"\\a\\b");
    make_directory(root + L"\\a\\b\\c");
    make_file(root + L"\\a\\b\\c\\deep.txt");
    make_file(root + L"\\a\\b\\read_only.txt", FILE_ATTRIBUTE_READONLY);
    make_directory(root + L"\\a\\locked_dir");
    make_file(root + L"\\a\\locked_dir\\inside.txt", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesW((root + L"\\a\\locked_dir").c_str(), FILE_ATTRIBUTE_READONLY));
    std::wstring long_path = root;
    for (int level = 0; level < 5; ++level) {
        long_path += L"\\" + std::wstring(60, static_cast<wchar_t>(L'k' + level));
        make_directory(long_path);
    }
    make_file(long_path + L"\\far.txt");
    ASSERT_GT(long_path.size(), static_cast<size_t>(MAX_PATH));
}

// A directory symbolic link, or failing that a junction, at link pointing to target.
// False when the file system supports neither.
bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    constexpr DWORD allow_unprivileged_create = 0x2;
    auto is_link = [&] {
        DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY);
    };
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | allow_unprivileged_create) &&
        is_link()) {
        return true;
    }
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    struct {
        DWORD tag;
        WORD data_length;
        WORD reserved;
        WORD substitute_offset;
        WORD substitute_length;
        WORD print_offset;
        WORD print_length;
        wchar_t names[1024];
    } mount_point = {};
    std::wstring substitute = L"\\??\\" + target;
    mount_point.tag = IO_REPARSE_TAG_MOUNT_POINT;
    wcscpy(mount_point.names, substitute.c_str());
    mount_point.substitute_length = static_cast<WORD>(substitute.size() * 2);
    mount_point.print_offset = static_cast<WORD>((substitute.size() + 1) * 2);
    mount_point.data_length = static_cast<WORD>(8 + (substitute.size() + 2) * 2);
    DWORD returned = 0;
    BOOL made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &mount_point, 8 + mount_point.data_length, nullptr,
                                0, &returned, nullptr);
    CloseHandle(handle);
    if (made && is_link()) return true;
    RemoveDirectoryW(link.c_str());
    return false;
}

HANDLE start_process(const wchar_t* command_line, DWORD flags) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

TEST(cleanup_target_directory, deletes_nothing_before_extraction_started) {
    std::wstring directory = fresh_directory(L"not_started");
    make_file(directory + L"\\app.dll");
    set_target_directory(directory.c_str());
    extraction_started = false;
    {
        cleanup_observer observer;
        cleanup_target_directory();
        EXPECT_TRUE(delete_requests.empty());
        EXPECT_TRUE(pauses.empty());
    }
    EXPECT_TRUE(exists(directory + L"\\app.dll"));
    remove_all(directory);
}

TEST(cleanup_target_directory, removes_a_tree_with_read_only_entries_by_the_walk_alone) {
    std::wstring directory = fresh_directory(L"tree");
    fill_tree(directory);
    set_target_directory(directory.c_str());
    extraction_started = true;
    {
        cleanup_observer observer;
        cleanup_target_directory();
        EXPECT_TRUE(delete_requests.empty()) << "the shell is only asked for what the walk leaves";
        EXPECT_TRUE(pauses.empty());
    }
    EXPECT_FALSE(exists(directory));
    remove_all(directory);
}

// Wine follows a Unix symbolic link in every call by its name, or by a path through it,
// and gives it no attribute: the launcher's calls of such a name are sent to the target.
struct followed_link {
    static inline std::wstring link, target;
    static inline void* real[3];
    static std::wstring follow(LPCWSTR path) {
        std::wstring plain = wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
        bool through = plain.size() >= link.size() && _wcsnicmp(plain.c_str(), link.c_str(), link.size()) == 0 &&
                       (plain.size() == link.size() || plain[link.size()] == L'\\');
        return through ? target + plain.substr(link.size()) : std::wstring(path);
    }
    static HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE template_file) {
        return reinterpret_cast<decltype(&CreateFileW)>(real[0])(follow(path).c_str(), access, share, security,
                                                                 disposition, flags, template_file);
    }
    static BOOL WINAPI delete_file(LPCWSTR path) {
        return reinterpret_cast<decltype(&DeleteFileW)>(real[1])(follow(path).c_str());
    }
    static BOOL WINAPI set_attributes(LPCWSTR path, DWORD attributes) {
        return reinterpret_cast<decltype(&SetFileAttributesW)>(real[2])(follow(path).c_str(), attributes);
    }
    scoped_import_hook hooks[3] = {{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(create_file)},
                                   {"kernel32.dll", "DeleteFileW", reinterpret_cast<void*>(delete_file)},
                                   {"kernel32.dll", "SetFileAttributesW", reinterpret_cast<void*>(set_attributes)}};
    followed_link(const std::wstring& at, const std::wstring& to) {
        link = at;
        target = to;
        for (int i = 0; i < 3; ++i) real[i] = hooks[i].original();
    }
};

// A folder link and a file link, made by the system where it can (Windows), else as Wine's
// Unix links behave. Wine cannot remove a folder link at all: it stays, and its folder.
TEST(cleanup_target_directory, removes_a_link_inside_the_tree_but_not_what_it_points_to) {
    for (bool folder : {true, false}) {
        std::wstring outside = fresh_directory(L"link_target");
        make_file(outside + L"\\keep.txt");
        make_directory(outside + L"\\inner");
        make_file(outside + L"\\inner\\deep.txt", FILE_ATTRIBUTE_READONLY);
        std::wstring directory = fresh_directory(L"with_link");
        make_file(directory + L"\\app.dll");
        make_directory(directory + L"\\data");
        std::wstring link = directory + L"\\data\\link";
        bool real = folder && make_directory_link(link, outside);
        if (!real) folder ? make_directory(link) : make_file(link);
        set_target_directory(directory.c_str());
        extraction_started = true;
        {
            cleanup_observer observer;
            std::unique_ptr<followed_link> followed;
            if (!real) followed = std::make_unique<followed_link>(link, folder ? outside : outside + L"\\keep.txt");
            cleanup_target_directory();
            if (!real && folder) {
                EXPECT_TRUE(delete_requests.empty()) << "the shell's delete follows links under Wine";
                EXPECT_TRUE(pauses.empty()) << "a link that stays does not go by trying again";
            }
        }
        EXPECT_EQ(GetFileAttributesW((outside + L"\\inner\\deep.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
                  static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
            << folder;
        EXPECT_TRUE(exists(outside + L"\\keep.txt")) << folder;
        if (!real && folder) {
            EXPECT_TRUE(exists(link));
            EXPECT_FALSE(exists(directory + L"\\app.dll"));
        } else {
            EXPECT_FALSE(exists(directory)) << folder;
        }
        remove_all(directory);
        remove_all(outside);
    }
}

TEST(cleanup_target_directory, gives_up_after_20_more_attempts_on_a_file_held_open) {
    std::wstring directory = fresh_directory(L"held");
    make_file(directory + L"\\held.txt");
    make_file(directory + L"\\free.txt");
    HANDLE held = CreateFileW((directory + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    set_target_directory(directory.c_str());
    extraction_started = true;
    {
        cleanup_observer observer;
        cleanup_target_directory();
        EXPECT_EQ(pauses, std::vector<DWORD>(20, 100));
        EXPECT_EQ(delete_requests.size(), 21u);
        EXPECT_TRUE(every_request_well_formed);
    }
    EXPECT_TRUE(exists(directory + L"\\held.txt"));
    CloseHandle(held);
    remove_all(directory);
}

TEST(cleanup_target_directory, stops_at_once_when_a_plain_file_stands_at_the_target_path) {
    std::wstring path = scratch_path(L"plain_file");
    remove_all(path);
    make_file(path);
    // Held open so that no deletion could remove it: only the directory test stops the repeats.
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    set_target_directory(path.c_str());
    extraction_started = true;
    {
        cleanup_observer observer;
        cleanup_target_directory();
        EXPECT_TRUE(delete_requests.empty());
        EXPECT_TRUE(pauses.empty());
    }
    EXPECT_TRUE(exists(path));
    CloseHandle(held);
    remove_all(path);
}

// Every folder stands until its contents have gone: the chain, deeper than the folders
// the walk holds at once, goes on by path below them.
TEST(delete_tree, removes_read_only_entries_long_paths_and_a_chain_deeper_than_it_holds) {
    std::wstring directory = fresh_directory(L"walk");
    fill_tree(directory);
    std::wstring path = L"\\\\?\\" + directory;
    for (int level = 0; level < 300; ++level) {
        path += L"\\d";
        make_directory(path);
        if (level % 50 == 0) make_file(path + L"\\file.txt", FILE_ATTRIBUTE_READONLY);
    }
    delete_tree(directory.c_str());
    EXPECT_FALSE(exists(directory));
    remove_all(directory);
}

// Without the process id in it: a death test runs in a process of its own.
std::wstring shared_scratch_path(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + L"cleanup_test_" + name;
}

DWORD main_thread_id = 0;
decltype(&CreateFileW) real_create_file;

HANDLE WINAPI aborting_on_helper(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE template_file) {
    if (GetCurrentThreadId() != main_thread_id) abort();
    Sleep(10);  // leaves the helpers, slow to start on a loaded machine, folders to take
    return real_create_file(path, access, share, security, disposition, flags, template_file);
}

// The abort's handler removes the directory, but not from within the removal it stopped,
// which waits for that very helper.
TEST(delete_tree, an_abort_on_one_of_its_helpers_ends_the_process) {
    if (worker_thread_count() == 0) GTEST_SKIP() << "on one processor the walk has no helpers";
    std::wstring directory = shared_scratch_path(L"helper_abort");
    remove_all(directory);
    make_directory(directory);
    fill_tree(directory);
    EXPECT_EXIT(
        {
            main_thread_id = GetCurrentThreadId();
            set_target_directory(directory.c_str());
            extraction_started = true;
            remove_target_directory_on_abort();
            scoped_import_hook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(aborting_on_helper));
            real_create_file = reinterpret_cast<decltype(&CreateFileW)>(hook.original());
            remove_target_directory();
            exit(1);  // no helper took a folder
        },
        testing::ExitedWithCode(3), "");
    remove_all(directory);
}

DWORD WINAPI handle_event(void* event) {
    return console_control_handler(static_cast<DWORD>(reinterpret_cast<uintptr_t>(event)));
}

DWORD WINAPI end_session(void* session_end) {
    return static_cast<DWORD>(session_window_procedure(nullptr, WM_ENDSESSION, TRUE, LPARAM(session_end)));
}

TEST(console_control_handler, before_the_child_starts_removes_the_directory_and_ends_the_run_as_interrupted) {
    struct { LPTHREAD_START_ROUTINE deliver; uintptr_t what; } endings[] = {
        {handle_event, CTRL_C_EVENT}, {handle_event, CTRL_BREAK_EVENT}, {handle_event, CTRL_CLOSE_EVENT},
        {handle_event, CTRL_LOGOFF_EVENT}, {handle_event, CTRL_SHUTDOWN_EVENT}, {end_session, ENDSESSION_LOGOFF},
        {end_session, ENDSESSION_CLOSEAPP}, {end_session, ENDSESSION_CRITICAL}, {end_session, 0}};
    for (const auto& ending : endings) {
        DWORD event = static_cast<DWORD>(ending.what);
        std::wstring directory = shared_scratch_path(L"before_start");
        remove_all(directory);
        make_directory(directory);
        make_file(directory + L"\\app.dll");
        EXPECT_EXIT(
            {
                set_target_directory(directory.c_str());
                extraction_started = true;
                CreateThread(nullptr, 0, ending.deliver, reinterpret_cast<void*>(ending.what), 0, nullptr);
                // The main thread, about to start the child, finds the run stopping; the
                // handler deletes once it has stopped.
                while (!stop_requested) SleepEx(1, FALSE);
                if (application_start_begin() || !directory_exists(directory)) exit(1);
                wait_to_be_ended();
            },
            testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "")
            << "ending " << event;
        EXPECT_FALSE(exists(directory)) << "ending " << event;
        remove_all(directory);
    }
}

TEST(cleanup_target_directory, waits_for_a_child_that_ends_in_time_without_ending_it) {
    HANDLE child = start_process(L"cmd.exe /c exit 3", 0);
    ASSERT_NE(child, nullptr);
    child_handle_publish(child);
    extraction_started = false;
    cleanup_target_directory();
    EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child, &exit_code));
    EXPECT_EQ(exit_code, 3u);
    // Closing is left to the main thread, which withdraws the handle exactly once.
    EXPECT_EQ(child_handle_withdraw(), child);
    EXPECT_EQ(child_handle_withdraw(), nullptr);
    CloseHandle(child);
}

BOOL WINAPI in_session_0(DWORD, DWORD* session) {
    *session = 0;
    return TRUE;
}

// A started child that never ends by itself (suspended; it would exit with 3).
TEST(console_control_handler, leaves_a_started_childs_interrupts_to_it_and_a_close_ends_it_after_2_5_seconds) {
    HANDLE child = start_process(L"cmd.exe /c exit 3", CREATE_SUSPENDED);
    ASSERT_NE(child, nullptr);
    std::wstring directory = fresh_directory(L"started");
    make_file(directory + L"\\app.dll");
    set_target_directory(directory.c_str());
    extraction_started = true;
    ASSERT_TRUE(application_start_begin());
    child_handle_publish(child);
    mark_application_started();
    application_start_end();
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) EXPECT_EQ(console_control_handler(event), TRUE) << event;
    for (DWORD event : {3ul, 4ul, 7ul, 0x80000000ul}) EXPECT_EQ(console_control_handler(event), FALSE) << event;
    {
        // In the services' session a logoff is some user's elsewhere: the child runs on.
        scoped_import_hook session("kernel32.dll", "ProcessIdToSessionId", reinterpret_cast<void*>(&in_session_0));
        EXPECT_EQ(console_control_handler(CTRL_LOGOFF_EVENT), TRUE);
        // Not mistaken for a shutdown: this handler would end the child after its grace.
        EXPECT_EQ(session_window_procedure(nullptr, WM_ENDSESSION, TRUE, LPARAM{ENDSESSION_LOGOFF | ENDSESSION_CRITICAL}), 0);
    }
    // The launcher never objects to the session's end, and one called off changes nothing.
    EXPECT_EQ(session_window_procedure(nullptr, WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_EQ(session_window_procedure(nullptr, WM_ENDSESSION, FALSE, 0), 0);
    EXPECT_EQ(WaitForSingleObject(child, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(exists(directory + L"\\app.dll"));
    EXPECT_FALSE(stop_requested);

    // The handler deletes once the child has gone and never returns: the main thread ends
    // the run with the child's exit code, the system's default handling would not.
    ULONGLONG started = GetTickCount64();
    HANDLE handler = CreateThread(nullptr, 0, handle_event, reinterpret_cast<void*>(uintptr_t{CTRL_CLOSE_EVENT}), 0,
                                  nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0);
    EXPECT_GE(GetTickCount64() - started, 2400u) << "the child must have its grace period";
    DWORD exit_code = 3;
    EXPECT_TRUE(GetExitCodeProcess(child, &exit_code));
    EXPECT_EQ(exit_code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << "never 0 for an application ended by force";
    for (int waited = 0; exists(directory) && waited < 10000; waited += 10) SleepEx(10, FALSE);
    EXPECT_FALSE(exists(directory));
    EXPECT_EQ(WaitForSingleObject(handler, 500), static_cast<DWORD>(WAIT_TIMEOUT)) << "the handler returned";
    TerminateThread(handler, 0);
    CloseHandle(handler);
    EXPECT_EQ(child_handle_withdraw(), child);
    TerminateProcess(child, 1);  // in case it was left running
    CloseHandle(child);
    remove_all(directory);
}

}  // namespace

