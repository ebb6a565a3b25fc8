#include "target_directory/removal.h"

#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/system_library.h"
#include "diag/trace.h"
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
// A directory's name as the system gives it ("\Device\HarddiskVolume2\..." for "C:\..."),
// for the directory that a removal starts at.
constexpr size_t top_name_capacity = target_directory_capacity + long_path_growth + 64;

// One removal at a time: the main thread and the console handler's thread take turns. An
// abort inside a removal, on the thread that removes or on one of its helpers, must not
// wait for the removal it interrupted.
SRWLOCK removal_lock = SRWLOCK_INIT;
std::atomic<DWORD> removing_thread{0};
std::atomic<DWORD> helper_threads[most_worker_threads];
std::atomic<int> helper_slots_taken{0};

// Set by a walk that met a link it could not remove: the directory then stays, and
// neither repeats nor the shell's delete (which follows links under Wine) may touch it.
std::atomic<bool> link_stays{false};

// The rights of a directory held by the walk through handles, which lists it and at last
// deletes it through that handle; the walk by path holds its directories with only the
// first, since a held right to delete keeps others, Wine's listing among them, from
// opening the directory.
constexpr DWORD hold_to_see = FILE_READ_ATTRIBUTES;
constexpr DWORD hold_to_list_and_delete = FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | DELETE;

// What one thread of the walk through handles works in: more than a helper's stack holds.
struct walk_scratch {
    wchar_t path[walk_path_capacity];      // an entry's path, in long form
    wchar_t expected[walk_path_capacity];  // the name that entry has if it is no link
    alignas(8) wchar_t held[walk_path_capacity];  // the name a handle holds
    alignas(8) unsigned char listing[listing_capacity];
};

// The name the system gives what handle holds, its volume's device first
// ("\Device\HarddiskVolume2\..."): a link that the open followed shows as its target.
// Asked of the object itself: Wine's GetFinalPathNameByHandleW fails beyond MAX_PATH.
// name is room for capacity units, aligned for the answer's header.
std::atomic<void*> query_object{nullptr};

bool read_held_name(HANDLE handle, wchar_t* name, size_t capacity) {
    using query_object_function = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    constexpr int object_name_information = 1;
    if (query_object == nullptr) query_object = system_function(L"ntdll.dll", "NtQueryObject");
    auto query = reinterpret_cast<query_object_function>(query_object.load());
    ULONG returned = 0;
    if (query == nullptr ||
        query(handle, object_name_information, name, static_cast<ULONG>(capacity * sizeof(wchar_t)), &returned) < 0) {
        return false;
    }
    const UNICODE_STRING* answer = reinterpret_cast<const UNICODE_STRING*>(name);
    size_t length = answer->Length / sizeof(wchar_t);
    if (answer->Buffer == nullptr || length == 0 || length >= capacity) return false;
    wmemmove(name, answer->Buffer, length);
    name[length] = 0;
    return true;
}

// Whether handle holds the entry named expected, letter case aside as the file system
// compares names. held is room for capacity units.
bool holds_name(HANDLE handle, const wchar_t* expected, wchar_t* held, size_t capacity = walk_path_capacity) {
    if (!read_held_name(handle, held, capacity)) return false;
    size_t length = wcslen(expected);
    return wcslen(held) == length &&
           CompareStringOrdinal(held, static_cast<int>(length), expected, static_cast<int>(length), TRUE) ==
               CSTR_EQUAL;
}

// Appends a backslash and name to text of length units (of walk_path_capacity); false,
// leaving it unchanged, where that would not fit.
bool append_name(wchar_t* text, size_t length, const wchar_t* name, size_t name_length) {
    if (length + 1 + name_length >= walk_path_capacity) return false;
    text[length] = L'\\';
    wmemcpy(text + length + 1, name, name_length);
    text[length + 1 + name_length] = 0;
    return true;
}

// The name path has if it is no link: its parent's name (the parent is reached as the
// system resolves it) and path's last component. False when the parent cannot be opened.
// name is aligned as read_held_name wants it.
bool expected_name_of(const wchar_t* path, wchar_t* name, size_t capacity) {
    const wchar_t* last = wcsrchr(path, L'\\');
    if (last == nullptr || last[1] == 0) return false;
    wchar_t parent[top_name_capacity];
    size_t parent_length = static_cast<size_t>(last - path);
    if (parent_length + 2 > top_name_capacity) return false;
    wmemcpy(parent, path, parent_length);
    parent[parent_length] = 0;
    if (parent_length > 0 && parent[parent_length - 1] == L':') text_append(parent, top_name_capacity, L"\\");
    HANDLE handle = CreateFileW(parent, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool named = read_held_name(handle, name, capacity);
    CloseHandle(handle);
    if (!named) return false;
    size_t length = wcslen(name);
    if (length > 0 && name[length - 1] == L'\\') name[--length] = 0;  // a volume's root
    size_t last_length = wcslen(last + 1);
    if (length + 1 + last_length >= capacity) return false;
    name[length] = L'\\';
    wmemcpy(name + length + 1, last + 1, last_length + 1);
    return true;
}

// Opens path as a directory to descend into, held with the rights asked for (without the
// right to delete where it is refused). False for a link, junction or mount point: one
// that says so, opened as itself, and one that the open followed (a Unix symbolic link
// under Wine, which no attribute tells), whose handle names another place than expected.
// Both are seen on the opened handle itself, so that nothing can change in between; held
// without delete sharing, it stays at its name.
bool open_real_directory(const wchar_t* path, const wchar_t* expected, DWORD rights, HANDLE* directory,
                         wchar_t* held) {
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
        !(information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !holds_name(handle, expected, held)) {
        CloseHandle(handle);
        return false;
    }
    *directory = handle;
    return true;
}

// Puts a file of the walk's own in the place of the file link at path and deletes it: a
// rename replaces the link itself, never what it points to. scratch is room for
// walk_path_capacity units.
bool replace_file_link(const wchar_t* path, wchar_t* scratch) {
    constexpr wchar_t suffix[] = L".tarvix-link";
    size_t length = wcslen(path);
    if (length + sizeof suffix / sizeof(wchar_t) > walk_path_capacity) return false;
    wmemcpy(scratch, path, length);
    wmemcpy(scratch + length, suffix, sizeof suffix / sizeof(wchar_t));
    HANDLE own = CreateFileW(scratch, DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own == INVALID_HANDLE_VALUE) return false;
    // Not on the stack: a helper's is small, and links are rare.
    auto rename = static_cast<FILE_RENAME_INFO*>(malloc(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)));
    if (rename == nullptr) {
        CloseHandle(own);  // an empty file of the walk's own, left for the repeats
        return false;
    }
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    wmemcpy(rename->FileName, path, length + 1);
    bool replaced = SetFileInformationByHandle(own, FileRenameInfo, rename,
                                               static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)));
    free(rename);
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(own, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(own);
    return replaced;
}

// Removes the entry at path itself, which is no directory to walk: a file, or a link,
// junction or mount point, never what it points to. Under Wine every open of a Unix
// symbolic link follows it, and so would a delete or rename by its name: the handle then
// names another place than expected; a file link goes by a file of the walk's own renamed
// over it, a directory link stays. False when the entry stays.
bool remove_entry_itself(const wchar_t* path, const wchar_t* expected, DWORD attributes, wchar_t* scratch) {
    bool read_only = attributes & FILE_ATTRIBUTE_READONLY;
    HANDLE handle = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | (read_only ? FILE_WRITE_ATTRIBUTES : 0),
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;  // held for a moment, or gone: the repeats tell
    if (!holds_name(handle, expected, scratch)) {
        CloseHandle(handle);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && replace_file_link(path, scratch)) return true;
        link_stays = true;
        return false;
    }
    if (read_only) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool removed = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(handle);
    return removed;
}

// Deletes the emptied directory through its handle, and closes it. A directory that still
// holds something, or was opened without the right to delete, is left to the path.
void remove_directory_by_handle(HANDLE directory, const wchar_t* path) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool removed = SetFileInformationByHandle(directory, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(directory);
    if (!removed) RemoveDirectoryW(path);
}

// Only for a directory held open without delete sharing, which is the very one at path.
void make_writable(const wchar_t* path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

// Whether the entry is a directory to walk: one that says it is a link is never opened.
bool walkable(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// ---- The walk by path on one thread, one level after another without recursion: for a
// tree deeper than the walk below holds directories. Its state is one walk's at a time,
// under serial_lock.

// A directory being walked: held open so that it cannot be renamed or swapped for a
// link while it is listed, its listing, and the lengths of its path and name.
struct walk_level {
    HANDLE directory;
    HANDLE search;
    size_t length;
    size_t name_length;
};

SRWLOCK serial_lock = SRWLOCK_INIT;
wchar_t walk_path[walk_path_capacity];
wchar_t walk_name[walk_path_capacity];
alignas(8) wchar_t walk_held[walk_path_capacity];
walk_level levels[walk_depth_capacity];
WIN32_FIND_DATAW found;

// Starts listing walk_path at depth; true when found holds a first entry.
bool enter_level(size_t depth, HANDLE directory) {
    size_t length = wcslen(walk_path);
    size_t name_length = wcslen(walk_name);
    HANDLE search = INVALID_HANDLE_VALUE;
    if (append_name(walk_path, length, L"*", 1)) {
        search = FindFirstFileExW(walk_path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                  FIND_FIRST_EX_LARGE_FETCH);
    }
    walk_path[length] = 0;
    levels[depth] = {directory, search, length, name_length};
    return search != INVALID_HANDLE_VALUE;
}

void leave_level(size_t depth) {
    if (levels[depth].search != INVALID_HANDLE_VALUE) FindClose(levels[depth].search);
    CloseHandle(levels[depth].directory);
    RemoveDirectoryW(walk_path);
}

bool next_entry(size_t depth) {
    walk_path[levels[depth].length] = 0;
    walk_name[levels[depth].name_length] = 0;
    return levels[depth].search != INVALID_HANDLE_VALUE && FindNextFileW(levels[depth].search, &found);
}

// directory in long form; expected, its name if it is no link.
void walk_alone(const wchar_t* directory, const wchar_t* expected) {
    AcquireSRWLockExclusive(&serial_lock);
    HANDLE handle;
    if (!open_real_directory(directory, expected, hold_to_see, &handle, walk_held)) {
        remove_entry_itself(directory, expected, FILE_ATTRIBUTE_DIRECTORY, walk_held);
        ReleaseSRWLockExclusive(&serial_lock);
        return;
    }
    text_copy(walk_path, walk_path_capacity, directory);
    text_copy(walk_name, walk_path_capacity, expected);
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
        size_t name_length = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 ||
            !append_name(walk_path, levels[depth].length, name, name_length) ||
            !append_name(walk_name, levels[depth].name_length, name, name_length)) {
            listed = next_entry(depth);  // a name too long for the path is left
            continue;
        }
        if (walkable(found.dwFileAttributes) && depth + 1 < walk_depth_capacity &&
            open_real_directory(walk_path, walk_name, hold_to_see, &handle, walk_held)) {
            make_writable(walk_path, found.dwFileAttributes);
            listed = enter_level(++depth, handle);
            continue;
        }
        remove_entry_itself(walk_path, walk_name, found.dwFileAttributes, walk_held);
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
    wchar_t* name;  // the name its handle holds, on the heap
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
// Each helper is waited for before the walk returns: one still ending its thread while
// the process ends made Wine's process die of a segmentation fault now and then.
HANDLE helper_handles[most_worker_threads];
int helper_handle_count = 0;
walk_scratch calling_thread_scratch;  // one walk at a time, under removal_lock

DWORD WINAPI take_directories(void* helper);

// False when no place is free: the caller walks it alone.
bool add_directory(const wchar_t* path, const wchar_t* name, HANDLE handle, int parent) {
    wchar_t* path_copy = _wcsdup(path);
    wchar_t* name_copy = _wcsdup(name);
    AcquireSRWLockExclusive(&tree_lock);
    bool added = free_directory_count > 0 && path_copy != nullptr && name_copy != nullptr;
    bool start_helper = false;
    if (added) {
        int index = free_directories[--free_directory_count];
        directories[index] = {path_copy, name_copy, handle, parent, 1};
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
    if (!added) {
        free(path_copy);
        free(name_copy);
    }
    if (start_helper) {
        HANDLE helper = start_worker_thread(take_directories, &helpers_running);
        AcquireSRWLockExclusive(&tree_lock);
        if (helper != nullptr) {
            helper_handles[helper_handle_count++] = helper;
        } else {
            --helpers_running;
        }
        ReleaseSRWLockExclusive(&tree_lock);
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
        free(directories[index].name);
        int parent = directories[index].parent;
        AcquireSRWLockExclusive(&tree_lock);
        free_directories[free_directory_count++] = index;
        if (--held_directories == 0) WakeAllConditionVariable(&tree_changed);
        ReleaseSRWLockExclusive(&tree_lock);
        index = parent;
    }
}

// Deletes the entry whose path and name scratch holds, found in the directory at index,
// or hands it on to be listed when it is a real directory.
void remove_entry(walk_scratch* scratch, DWORD attributes, int index) {
    HANDLE handle;
    if (!walkable(attributes) ||
        !open_real_directory(scratch->path, scratch->expected, hold_to_list_and_delete, &handle, scratch->held)) {
        remove_entry_itself(scratch->path, scratch->expected, attributes, scratch->held);
    } else {
        make_writable(scratch->path, attributes);
        if (!add_directory(scratch->path, scratch->expected, handle, index)) {
            CloseHandle(handle);
            walk_alone(scratch->path, scratch->expected);
        }
    }
}

// Lists the directory through its held handle, which has shown it to be no link: the
// listing is of that very directory, and no second handle is opened for it.
void list_directory(int index, walk_scratch* scratch) {
    text_copy(scratch->path, walk_path_capacity, directories[index].path);
    text_copy(scratch->expected, walk_path_capacity, directories[index].name);
    size_t length = wcslen(scratch->path);
    size_t name_length = wcslen(scratch->expected);
    while (GetFileInformationByHandleEx(directories[index].handle, FileFullDirectoryInfo, scratch->listing,
                                        listing_capacity)) {
        for (size_t offset = 0;;) {
            auto entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(scratch->listing + offset);
            size_t entry_length = entry->FileNameLength / sizeof(wchar_t);
            bool dots = entry->FileName[0] == L'.' &&
                        (entry_length == 1 || (entry_length == 2 && entry->FileName[1] == L'.'));
            // A name too long for the path is left.
            if (!dots && append_name(scratch->path, length, entry->FileName, entry_length) &&
                append_name(scratch->expected, name_length, entry->FileName, entry_length)) {
                remove_entry(scratch, entry->FileAttributes, index);
            }
            scratch->path[length] = 0;
            scratch->expected[name_length] = 0;
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    settle_directory(index);
}

// The walk of the calling thread, and of each helper (helper not null).
DWORD WINAPI take_directories(void* helper) {
    walk_scratch* scratch = &calling_thread_scratch;
    if (helper != nullptr) {
        int slot = helper_slots_taken++;
        if (slot < most_worker_threads) helper_threads[slot] = GetCurrentThreadId();
        scratch = static_cast<walk_scratch*>(malloc(sizeof(walk_scratch)));
    }
    AcquireSRWLockExclusive(&tree_lock);
    for (;;) {
        if (scratch != nullptr && to_list_count > 0) {
            int index = to_list[--to_list_count];
            ReleaseSRWLockExclusive(&tree_lock);
            list_directory(index, scratch);
            AcquireSRWLockExclusive(&tree_lock);
        } else if (scratch == nullptr || held_directories == 0) {
            break;  // a helper without room to work leaves the walk to the others
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
    if (helper != nullptr) free(scratch);
    return 0;
}

// directory in long form. Under removal_lock.
void delete_tree_locked(const wchar_t* directory) {
    link_stays = false;
    alignas(8) wchar_t name[top_name_capacity];
    if (!expected_name_of(directory, name, top_name_capacity)) return;  // nothing there
#ifdef TARVIX_ONE_THREAD
    walk_alone(directory, name);  // the benchmark's yardstick: the walk as it was before the threads
    return;
#endif
    HANDLE handle;
    if (!open_real_directory(directory, name, hold_to_list_and_delete, &handle, calling_thread_scratch.held)) {
        // A link in its place goes, what it points to stays.
        remove_entry_itself(directory, name, FILE_ATTRIBUTE_DIRECTORY, calling_thread_scratch.held);
        return;
    }
    free_directory_count = 0;
    for (int i = directory_capacity - 1; i >= 0; --i) free_directories[free_directory_count++] = i;
    to_list_count = 0;
    held_directories = 0;
    helpers_to_start = worker_thread_count();  // none on one processor: the calling thread walks alone
    helpers_running = 0;
    helper_handle_count = 0;
    helper_slots_taken = 0;
    for (auto& helper : helper_threads) helper = 0;
    if (!add_directory(directory, name, handle, -1)) {
        CloseHandle(handle);
        walk_alone(directory, name);
        return;
    }
    take_directories(nullptr);
    for (int i = 0; i < helper_handle_count; ++i) {
        WaitForSingleObject(helper_handles[i], INFINITE);
        CloseHandle(helper_handles[i]);
    }
}

// Whether the calling thread takes part in the removal under way.
bool inside_removal() {
    DWORD self = GetCurrentThreadId();
    if (removing_thread == self) return true;
    for (const auto& helper : helper_threads) {
        if (helper == self) return true;
    }
    return false;
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

bool holds_own_entry(HANDLE handle, const wchar_t* path) {
    alignas(8) wchar_t expected[top_name_capacity];
    alignas(8) wchar_t held[top_name_capacity];
    FILE_ATTRIBUTE_TAG_INFO information;
    return expected_name_of(path, expected, top_name_capacity) &&
           GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information, sizeof information) &&
           !(information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           holds_name(handle, expected, held, top_name_capacity);
}

void delete_tree(const wchar_t* directory) {
    wchar_t long_directory[target_directory_capacity + long_path_growth];
    long_form_or_plain(long_directory, target_directory_capacity + long_path_growth, directory);
    AcquireSRWLockExclusive(&removal_lock);
    delete_tree_locked(long_directory);
    ReleaseSRWLockExclusive(&removal_lock);
}

void remove_target_directory() {
    if (inside_removal()) return;
    wchar_t long_target[target_directory_capacity + long_path_growth];
    long_form_or_plain(long_target, target_directory_capacity + long_path_growth, target_directory);
    AcquireSRWLockExclusive(&removal_lock);
    removing_thread = GetCurrentThreadId();
    release_held_directory();
    // A direct walk is many times faster than the shell's delete, and the shell loads
    // USER32: it only takes what the walk could not remove. A file held open (a scanner
    // reading it) is let go within moments: the walk and the shell try again.
    // A link that stays keeps the directory: trying again cannot change that.
    delete_tree_locked(long_target);
    unsigned long long retries = 0;
    for (int attempt = 0; attempt <= further_attempts && !link_stays && directory_exists(long_target); ++attempt) {
        if (attempt > 0) {
            Sleep(retry_pause_ms);
            ++retries;
            delete_tree_locked(long_target);
            if (link_stays || !directory_exists(long_target)) break;
        }
        request_shell_delete();
    }
    if (trace_enabled) {
        bool left = directory_exists(long_target);
        trace_line("%s %w after %u retries%s", left ? "left" : "removed", target_directory, retries,
                   !left ? "" : link_stays ? ": a link to a folder stays, which nothing removes" : ": files held");
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
