#include "target_directory/removal.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/system_library.h"
#include "paths/long_path.h"
#include "state/run_state.h"
#include "workers/worker_threads.h"
#include "workers/write_pool.h"

namespace {

constexpr int further_attempts = 20;
constexpr DWORD retry_pause_ms = 100;
constexpr size_t walk_path_capacity = 32768;  // the longest path the system takes in long form
// Every level adds at least a backslash and one character to the path.
constexpr size_t walk_depth_capacity = walk_path_capacity / 2;
// Directories the walk through handles holds at once: a folder's subfolders wait in it
// until a thread lists them, and every folder stands until its contents have gone. One it
// finds beyond them is walked by path, by the thread that found it.
constexpr int directory_capacity = 256;
// One batch of a directory's listing: a hundred entries or more.
constexpr size_t listing_capacity = 16 * 1024;

// One removal at a time: the main thread and the console handler's thread take turns. An
// abort inside a removal must not wait for the removal it interrupted.
SRWLOCK removal_lock = SRWLOCK_INIT;
std::atomic<DWORD> removing_thread{0};

// The rights of a directory held by the walk through handles, which lists it and at last
// deletes it through that handle; the walk by path holds its directories with only the
// first, since a held right to delete keeps others, Wine's listing among them, from
// opening the directory.
constexpr DWORD hold_to_see = FILE_READ_ATTRIBUTES;
constexpr DWORD hold_to_list_and_delete = FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | DELETE;

// Opens path as a directory to descend into, held with the rights asked for (without the
// right to delete where it is refused). False for a link or junction, which is looked at
// on the opened handle itself, so that nothing can change in between.
bool open_real_directory(const wchar_t* path, DWORD rights, HANDLE* directory) {
    constexpr DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = CreateFileW(path, rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && (rights & DELETE)) {
        handle = CreateFileW(path, rights & ~DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                             nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    // Only the attributes: GetFileInformationByHandle also asks for the volume's serial
    // number, which costs Wine a round trip to its mount manager, 0.8 ms per directory.
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information, sizeof information) ||
        (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return false;
    }
    *directory = handle;
    return true;
}

// Deletes the emptied directory through its handle, and closes it. A directory that still
// holds something, or was opened without the right to delete, is left to the path.
void remove_directory_by_handle(HANDLE directory, const wchar_t* path) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool removed = SetFileInformationByHandle(directory, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(directory);
    if (!removed) RemoveDirectoryW(path);
}

void make_writable(const wchar_t* path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

// ---- The walk by path on one thread, one level after another without recursion: for a
// tree deeper than the walk below holds directories. Its state is one walk's at a time,
// under serial_lock.

// A directory being walked: held open so that it cannot be renamed or swapped for a
// link while it is listed, its listing, and the length of its path.
struct walk_level {
    HANDLE directory;
    HANDLE search;
    size_t length;
};

SRWLOCK serial_lock = SRWLOCK_INIT;
wchar_t walk_path[walk_path_capacity];
walk_level levels[walk_depth_capacity];
WIN32_FIND_DATAW found;

// Starts listing walk_path at depth; true when found holds a first entry.
bool enter_level(size_t depth, HANDLE directory) {
    size_t length = wcslen(walk_path);
    text_append(walk_path, walk_path_capacity, L"\\*");
    HANDLE search = FindFirstFileExW(walk_path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    walk_path[length] = 0;
    levels[depth] = {directory, search, length};
    return search != INVALID_HANDLE_VALUE;
}

void leave_level(size_t depth) {
    if (levels[depth].search != INVALID_HANDLE_VALUE) FindClose(levels[depth].search);
    CloseHandle(levels[depth].directory);
    RemoveDirectoryW(walk_path);
}

bool next_entry(size_t depth) {
    walk_path[levels[depth].length] = 0;
    return levels[depth].search != INVALID_HANDLE_VALUE && FindNextFileW(levels[depth].search, &found);
}

// directory in long form.
void walk_alone(const wchar_t* directory) {
    HANDLE handle;
    if (!open_real_directory(directory, hold_to_see, &handle)) {
        RemoveDirectoryW(directory);  // a link goes as the link
        return;
    }
    AcquireSRWLockExclusive(&serial_lock);
    text_copy(walk_path, walk_path_capacity, directory);
    size_t depth = 0;
    bool listed = enter_level(depth, handle);
    for (;;) {
        if (!listed) {
            leave_level(depth);
            if (depth == 0) break;
            listed = next_entry(--depth);
            continue;
        }
        const wchar_t* name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            listed = next_entry(depth);
            continue;
        }
        text_append(walk_path, walk_path_capacity, L"\\");
        text_append(walk_path, walk_path_capacity, name);
        make_writable(walk_path, found.dwFileAttributes);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteFileW(walk_path);
        } else if (depth + 1 < walk_depth_capacity && open_real_directory(walk_path, hold_to_see, &handle)) {
            listed = enter_level(++depth, handle);
            continue;
        } else {
            RemoveDirectoryW(walk_path);  // a link goes as the link
        }
        listed = next_entry(depth);
    }
    ReleaseSRWLockExclusive(&serial_lock);
}

// ---- The walk through held handles, on the calling thread and on helpers where there is
// more than one processor. Each thread lists one directory at a time and deletes its
// files; the subdirectories it finds become directories for any thread to list. A
// directory goes once its listing is done and its last subdirectory has gone, so that
// always a folder after its contents.

// A real directory met by the walk, held open from the moment its handle showed it to be
// no link until it is removed.
struct pending_directory {
    wchar_t* path;  // long form, on the heap
    HANDLE handle;
    int parent;     // -1 for the top
    int standing;   // its listing, if not done, and its subdirectories not yet removed
};

// One walk's, under tree_lock; threads wait on tree_changed for a directory to list or
// for the walk's end.
SRWLOCK tree_lock = SRWLOCK_INIT;
CONDITION_VARIABLE tree_changed = CONDITION_VARIABLE_INIT;
pending_directory directories[directory_capacity];
int free_directories[directory_capacity];
int free_directory_count = 0;
int to_list[directory_capacity];  // last in, first out: the walk stays deep and narrow
int to_list_count = 0;
int held_directories = 0;
int helpers_to_start = 0;  // started as directories wait with no thread free to list them
int helpers_running = 0;

DWORD WINAPI take_directories(void* helper);

// False when no place is free: the caller walks it alone.
bool add_directory(const wchar_t* path, HANDLE handle, int parent) {
    wchar_t* copy = _wcsdup(path);
    if (copy == nullptr) return false;
    AcquireSRWLockExclusive(&tree_lock);
    bool added = free_directory_count > 0;
    bool start_helper = false;
    if (added) {
        int index = free_directories[--free_directory_count];
        directories[index] = {copy, handle, parent, 1};
        if (parent >= 0) ++directories[parent].standing;
        ++held_directories;
        to_list[to_list_count++] = index;
        WakeConditionVariable(&tree_changed);
        start_helper = to_list_count > 1 && helpers_to_start > 0;
        if (start_helper) {
            --helpers_to_start;
            ++helpers_running;
        }
    }
    ReleaseSRWLockExclusive(&tree_lock);
    if (!added) free(copy);
    if (start_helper) {
        HANDLE helper = start_worker_thread(take_directories, &helpers_running);
        if (helper != nullptr) {
            CloseHandle(helper);  // the walk's end is told by helpers_running
        } else {
            AcquireSRWLockExclusive(&tree_lock);
            --helpers_running;
            ReleaseSRWLockExclusive(&tree_lock);
        }
    }
    return added;
}

// One part of the directory is done: it goes once nothing of it stands, and its parent
// may then go too.
void settle_directory(int index) {
    while (index >= 0) {
        AcquireSRWLockExclusive(&tree_lock);
        bool empty = --directories[index].standing == 0;
        ReleaseSRWLockExclusive(&tree_lock);
        if (!empty) return;
        remove_directory_by_handle(directories[index].handle, directories[index].path);
        free(directories[index].path);
        int parent = directories[index].parent;
        AcquireSRWLockExclusive(&tree_lock);
        free_directories[free_directory_count++] = index;
        if (--held_directories == 0) WakeAllConditionVariable(&tree_changed);
        ReleaseSRWLockExclusive(&tree_lock);
        index = parent;
    }
}

// Deletes a file, or hands a real directory on to be listed, found in the directory at index.
void remove_entry(const wchar_t* path, DWORD attributes, int index) {
    make_writable(path, attributes);
    HANDLE handle;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path);
    } else if (!open_real_directory(path, hold_to_list_and_delete, &handle)) {
        RemoveDirectoryW(path);  // a link goes as the link
    } else if (!add_directory(path, handle, index)) {
        CloseHandle(handle);
        walk_alone(path);
    }
}

// Lists the directory through its held handle, which has shown it to be no link: the
// listing is of that very directory, and no second handle is opened for it.
void list_directory(int index) {
    wchar_t path[walk_path_capacity];
    text_copy(path, walk_path_capacity, directories[index].path);
    size_t length = wcslen(path);
    alignas(8) unsigned char listing[listing_capacity];
    while (GetFileInformationByHandleEx(directories[index].handle, FileFullDirectoryInfo, listing, sizeof listing)) {
        for (size_t offset = 0;;) {
            auto entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(listing + offset);
            size_t name_length = entry->FileNameLength / sizeof(wchar_t);
            bool dots = entry->FileName[0] == L'.' &&
                        (name_length == 1 || (name_length == 2 && entry->FileName[1] == L'.'));
            if (!dots && length + 1 + name_length < walk_path_capacity) {
                path[length] = L'\\';
                wmemcpy(path + length + 1, entry->FileName, name_length);
                path[length + 1 + name_length] = 0;
                remove_entry(path, entry->FileAttributes, index);
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    settle_directory(index);
}

// The walk of the calling thread, and of each helper (helper not null).
DWORD WINAPI take_directories(void* helper) {
    AcquireSRWLockExclusive(&tree_lock);
    for (;;) {
        if (to_list_count > 0) {
            int index = to_list[--to_list_count];
            ReleaseSRWLockExclusive(&tree_lock);
            list_directory(index);
            AcquireSRWLockExclusive(&tree_lock);
        } else if (held_directories == 0) {
            break;
        } else {
            SleepConditionVariableSRW(&tree_changed, &tree_lock, INFINITE, 0);
        }
    }
    if (helper != nullptr) {
        --helpers_running;
        WakeAllConditionVariable(&tree_changed);
    } else {
        while (helpers_running > 0) SleepConditionVariableSRW(&tree_changed, &tree_lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&tree_lock);
    return 0;
}

// directory in long form. Under removal_lock.
void delete_tree_locked(const wchar_t* directory) {
#ifdef TARVIX_ONE_THREAD
    walk_alone(directory);  // the benchmark's yardstick: the walk as it was before the threads
    return;
#endif
    HANDLE handle;
    if (!open_real_directory(directory, hold_to_list_and_delete, &handle)) {
        RemoveDirectoryW(directory);  // a link in its place goes, what it points to stays
        return;
    }
    free_directory_count = 0;
    for (int i = directory_capacity - 1; i >= 0; --i) free_directories[free_directory_count++] = i;
    to_list_count = 0;
    held_directories = 0;
    helpers_to_start = worker_thread_count();  // none on one processor: the calling thread walks alone
    helpers_running = 0;
    if (!add_directory(directory, handle, -1)) {
        CloseHandle(handle);
        walk_alone(directory);
        return;
    }
    take_directories(nullptr);
}

bool directory_exists(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The shell's delete takes no long form ("\\?\" fails there), so it is given the plain
// path: it serves for what is held a moment, the walk before it for what lies deep.
void request_shell_delete() {
    using file_operation_function = int(WINAPI*)(SHFILEOPSTRUCTW*);
    auto file_operation =
        reinterpret_cast<file_operation_function>(system_function(L"shell32.dll", "SHFileOperationW"));
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

// The long form of path, or path itself where it has none (the walk then meets the old limit).
void long_form_or_plain(wchar_t* output, size_t capacity, const wchar_t* path) {
    if (!long_path_form(output, capacity, path)) text_copy(output, capacity, path);
}

}  // namespace

void delete_tree(const wchar_t* directory) {
    wchar_t long_directory[target_directory_capacity + long_path_growth];
    long_form_or_plain(long_directory, target_directory_capacity + long_path_growth, directory);
    AcquireSRWLockExclusive(&removal_lock);
    delete_tree_locked(long_directory);
    ReleaseSRWLockExclusive(&removal_lock);
}

void remove_target_directory() {
    if (removing_thread == GetCurrentThreadId()) return;
    wchar_t long_target[target_directory_capacity + long_path_growth];
    long_form_or_plain(long_target, target_directory_capacity + long_path_growth, target_directory);
    AcquireSRWLockExclusive(&removal_lock);
    removing_thread = GetCurrentThreadId();
    release_held_directory();
    // A direct walk is many times faster than the shell's delete, and the shell loads
    // USER32: it only takes what the walk could not remove. A file held open (a scanner
    // reading it) is let go within moments: the walk and the shell try again.
    delete_tree_locked(long_target);
    for (int attempt = 0; attempt <= further_attempts && directory_exists(long_target); ++attempt) {
        if (attempt > 0) {
            Sleep(retry_pause_ms);
            delete_tree_locked(long_target);
            if (!directory_exists(long_target)) break;
        }
        request_shell_delete();
    }
    removing_thread = 0;
    ReleaseSRWLockExclusive(&removal_lock);
}

void remove_target_directory_after_failure() {
    if (in_process_mode || !extraction_started) return;
    write_pool_abandon();
    close_entry_file();
    remove_target_directory();
}
