#include "launcher/cache_record.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "common/nt_calls.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/cached_run.h"
#include "payload/extraction.h"
#include "payload/attached_payload.h"
#include "state/run_state.h"
#include "workers/worker_threads.h"

namespace {

constexpr wchar_t record_header[] = L"tarvix cache record 4\n";
constexpr wchar_t end_line[] = L"end\n";
constexpr ptrdiff_t end_line_length = 4;
// Written over the record's first character by a comparison that found the directory
// damaged after its start had begun: the next start takes the record for damaged and heals.
constexpr wchar_t damaged_mark = L'!';
// Far above any payload's record (3,000 entries take about 0.16 MiB); a larger file is
// not one of ours.
constexpr uint64_t record_size_limit = 256u << 20;
constexpr size_t size_digits_limit = 19;
constexpr size_t listing_capacity = target_directory_capacity + relative_path_capacity + 4;
// A reader of the record keeps writers out for a moment.
constexpr int mark_attempts = 50;
constexpr DWORD mark_pause_ms = 20;
constexpr DWORD comparison_stack_size = 64 * 1024;
// Up to this many folders left for the background are listed at the start instead: that
// costs less than a thread's start and end.
constexpr size_t background_folders_floor = 16;
// Files of the folders left unlisted whose sizes a start on one processor compares, at
// about 5 µs each under Wine.
constexpr size_t one_processor_samples = 16;

// An entry of the record: its path (while noted, its offset in path_text, which may still
// move), where its folder part ends (0 at the top), its size. order keeps the payload's
// order among entries of one path (letter case aside), which only a payload made by hand
// can hold: the later one is what lies on disk. The first entry of each folder holds the
// folder's write time (0 for the top).
struct record_entry {
    const wchar_t* path;
    size_t path_offset;
    size_t folder_length;
    uint64_t size;
    size_t order;
    uint64_t folder_time;
};

// The entries noted while extracting, their paths one after another in path_text, each
// ended by a NUL.
wchar_t* path_text = nullptr;
size_t path_text_used = 0;
size_t path_text_capacity = 0;
record_entry* noted = nullptr;
size_t noted_count = 0;
size_t noted_capacity = 0;

void* grow(void* block, size_t* capacity, size_t needed, size_t unit) {
    if (needed <= *capacity) return block;
    size_t larger = *capacity * 2 > needed ? *capacity * 2 : needed + 1024;
    void* moved = realloc(block, larger * unit);
    if (moved == nullptr) fatal_error(message_out_of_memory);
    *capacity = larger;
    return moved;
}

size_t folder_length_of(const wchar_t* path) {
    const wchar_t* last_backslash = wcsrchr(path, L'\\');
    return last_backslash != nullptr ? static_cast<size_t>(last_backslash - path) : 0;
}

const wchar_t* name_of(const record_entry& entry) {
    return entry.path + entry.folder_length + (entry.folder_length != 0 ? 1 : 0);
}

// Paths compare as the file system compares them, ignoring letter case: two entries that
// differ only in case are one file on disk, the later one's. A length of -1 stands for a
// NUL-ended text.
int compare_text(const wchar_t* a, int a_length, const wchar_t* b, int b_length) {
    return CompareStringOrdinal(a, a_length, b, b_length, TRUE) - CSTR_EQUAL;
}

int compare_names(const wchar_t* a, const wchar_t* b) { return compare_text(a, -1, b, -1); }

int compare_folders(const record_entry& a, const record_entry& b) {
    // Mostly the same text: neighbours in a sorted record.
    if (a.folder_length == b.folder_length && wmemcmp(a.path, b.path, a.folder_length) == 0) return 0;
    return compare_text(a.path, static_cast<int>(a.folder_length), b.path, static_cast<int>(b.folder_length));
}

// By folder, then by name; the payload's order last.
int compare_entries(const void* left, const void* right) {
    const auto& a = *static_cast<const record_entry*>(left);
    const auto& b = *static_cast<const record_entry*>(right);
    int folders = compare_folders(a, b);
    if (folders != 0) return folders;
    int names = compare_names(name_of(a), name_of(b));
    if (names != 0) return names;
    return a.order < b.order ? -1 : 1;
}

void note_entry(const wchar_t* relative_path, uint64_t size) {
    size_t length = wcslen(relative_path) + 1;
    path_text = static_cast<wchar_t*>(grow(path_text, &path_text_capacity, path_text_used + length, sizeof(wchar_t)));
    wmemcpy(path_text + path_text_used, relative_path, length);
    noted = static_cast<record_entry*>(grow(noted, &noted_capacity, noted_count + 1, sizeof(record_entry)));
    noted[noted_count] = {nullptr, path_text_used, folder_length_of(relative_path), size, noted_count, 0};
    ++noted_count;
    path_text_used += length;
}

void record_path(wchar_t* output, const wchar_t* directory) {
    wchar_t name[sizeof cache_record_name];
    text_widen(name, sizeof cache_record_name, cache_record_name);
    text_copy(output, target_directory_capacity, directory);
    text_append(output, target_directory_capacity, L"\\");
    text_append(output, target_directory_capacity, name);
}

void append_line(wchar_t* text, size_t* used, const wchar_t* line, size_t length) {
    wmemcpy(text + *used, line, length);
    *used += length;
    text[(*used)++] = L'\n';
}

// Sorted noted[i] that another entry of the same path follows, which is on disk instead.
bool is_overwritten(size_t i) {
    return i + 1 < noted_count && compare_folders(noted[i], noted[i + 1]) == 0 &&
           compare_names(name_of(noted[i]), name_of(noted[i + 1])) == 0;
}

// The end of the group of entries in one folder that starts at entries[first].
size_t folder_end(const record_entry* entries, size_t count, size_t first) {
    size_t end = first + 1;
    while (end < count && compare_folders(entries[first], entries[end]) == 0) ++end;
    return end;
}

// The folder of length units at folder (empty for the top) within directory.
void folder_path(wchar_t* output, size_t capacity, const wchar_t* directory, const wchar_t* folder, size_t length) {
    text_copy(output, capacity, directory);
    if (length == 0) return;
    text_append(output, capacity, L"\\");
    size_t used = wcslen(output);
    if (used + length >= capacity) return;  // too long to exist: its listing fails
    wmemcpy(output + used, folder, length);
    output[used + length] = 0;
}

uint64_t time_value(FILETIME time) { return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

// The write time of the folder at path; 0 when it is no folder.
uint64_t folder_write_time(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) return 0;
    if (!(attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return time_value(attributes.ftLastWriteTime);
}

// Records, with the first entry of each folder below directory but the top, the folder's
// write time now: once the record stands, nothing but a change of an entry in it changes
// it. The top, the library's folder, is listed always. File systems stamp a change with
// the clock of their last tick (up to 15.6 ms on Windows), so that a change within the
// tick of the extraction's end can keep a folder's time: the background comparison,
// which lists every folder whose time has not changed, finds that one.
void note_folder_times(const wchar_t* directory) {
    wchar_t folder[listing_capacity];
    for (size_t first = 0; first < noted_count;) {
        size_t end = folder_end(noted, noted_count, first);
        if (noted[first].folder_length != 0) {
            folder_path(folder, listing_capacity, directory, noted[first].path, noted[first].folder_length);
            noted[first].folder_time = folder_write_time(folder);
        }
        first = end;
    }
}

void append_number(wchar_t* text, size_t* used, uint64_t value, wchar_t end) {
    char digits[decimal_text_capacity];
    decimal_text(digits, static_cast<long long>(value), 1);
    for (const char* digit = digits; *digit != 0; ++digit) text[(*used)++] = static_cast<wchar_t>(*digit);
    text[(*used)++] = end;
}

// The record's text, header to last entry, in a block the caller frees.
wchar_t* format_record(const wchar_t* library_name, size_t* length) {
    size_t capacity = wcslen(record_header) + wcslen(tarvix_payload_digest) + wcslen(library_name) + 2 +
                      2 * path_text_used + noted_count * (4 * decimal_text_capacity + 4) + end_line_length;
    auto text = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
    if (text == nullptr) fatal_error(message_out_of_memory);
    size_t used = 0;
    wmemcpy(text, record_header, wcslen(record_header));
    used += wcslen(record_header);
    append_line(text, &used, tarvix_payload_digest, wcslen(tarvix_payload_digest));
    append_line(text, &used, library_name, wcslen(library_name));
    for (size_t first = 0; first < noted_count;) {
        size_t end = folder_end(noted, noted_count, first);
        // The folder line says how long its entries' lines are: a start that needs no
        // listing of this folder steps over them unread.
        char digits[decimal_text_capacity];
        size_t units = 0;
        for (size_t i = first; i < end; ++i) {
            if (is_overwritten(i)) continue;
            decimal_text(digits, static_cast<long long>(noted[i].size), 1);
            units += strlen(digits) + 1 + wcslen(name_of(noted[i])) + 1;
        }
        text[used++] = L'@';
        append_number(text, &used, noted[first].folder_time, L' ');
        append_number(text, &used, units, L' ');
        append_line(text, &used, noted[first].path, noted[first].folder_length);
        for (size_t i = first; i < end; ++i) {
            if (is_overwritten(i)) continue;
            append_number(text, &used, noted[i].size, L' ');
            const wchar_t* name = name_of(noted[i]);
            append_line(text, &used, name, wcslen(name));
        }
        first = end;
    }
    wmemcpy(text + used, end_line, end_line_length);
    used += end_line_length;
    *length = used;
    return text;
}

// The whole record file as text, NUL-ended, in a block the caller frees, and its length;
// nullptr when there is none that could be ours.
wchar_t* read_record(const wchar_t* directory, size_t* length) {
    wchar_t path[target_directory_capacity];
    record_path(path, directory);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER size;
    wchar_t* text = nullptr;
    DWORD read = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart % sizeof(wchar_t) == 0 &&
        static_cast<uint64_t>(size.QuadPart) <= record_size_limit) {
        text = static_cast<wchar_t*>(malloc(static_cast<size_t>(size.QuadPart) + sizeof(wchar_t)));
        if (text == nullptr) fatal_error(message_out_of_memory);
        if (!ReadFile(file, text, static_cast<DWORD>(size.QuadPart), &read, nullptr) || read != size.QuadPart) {
            free(text);
            text = nullptr;
        } else {
            *length = read / sizeof(wchar_t);
            text[*length] = 0;
        }
    }
    CloseHandle(file);
    return text;
}

// Cuts the line that starts at *text off at its end and steps past it; nullptr at the
// end of the text or when the last line is not ended.
wchar_t* next_line(wchar_t** text) {
    wchar_t* line = *text;
    wchar_t* end = wcschr(line, L'\n');
    if (*line == 0 || end == nullptr) return nullptr;
    *end = 0;
    *text = end + 1;
    return line;
}

// A library at the top of the directory: a name, no folder, not "." or "..".
bool is_top_level_name(const wchar_t* name, size_t capacity) {
    size_t length = wcslen(name);
    return length > 0 && length < capacity && wcscspn(name, L"\\/:") == length && wcsspn(name, L".") != length;
}

// Reads the decimal number at *text up to end, which must follow its digits, and steps
// past end; false for anything else.
bool parse_number(wchar_t** text, wchar_t end, uint64_t* value) {
    wchar_t* unit = *text;
    *value = 0;
    for (; *unit >= L'0' && *unit <= L'9'; ++unit) {
        if (static_cast<size_t>(unit - *text) == size_digits_limit) return false;
        *value = *value * 10 + static_cast<uint64_t>(*unit - L'0');
    }
    if (unit == *text || *unit != end) return false;
    *text = unit + 1;
    return true;
}

// A folder of the record as read: its path within the record's text (not ended; empty
// for the top) and the lines of its entries, which are read only when it is listed.
struct record_folder {
    const wchar_t* path;
    size_t length;
    uint64_t time;
    wchar_t* entries;
    size_t units;
    bool deferred;
};

// An entry of a folder being listed: its name, cut off in the record's text.
struct listed_entry {
    const wchar_t* name;
    uint64_t size;
    bool seen;
};

// Reads the folder line "@time units path" at *text and steps over the entry lines that
// follow it, which must end before text_end. False for anything else: a cut or damaged
// record.
bool parse_folder(wchar_t** text, const wchar_t* text_end, record_folder* folder) {
    wchar_t* unit = *text;
    uint64_t units = 0;
    if (*unit++ != L'@' || !parse_number(&unit, L' ', &folder->time) || !parse_number(&unit, L' ', &units)) {
        return false;
    }
    wchar_t* line_end = wcschr(unit, L'\n');
    if (line_end == nullptr || static_cast<size_t>(line_end - unit) >= relative_path_capacity) return false;
    folder->path = unit;
    folder->length = static_cast<size_t>(line_end - unit);
    folder->entries = line_end + 1;
    folder->units = static_cast<size_t>(units);
    folder->deferred = false;
    if (units == 0 || units > static_cast<uint64_t>(text_end - folder->entries)) return false;
    wchar_t* next = folder->entries + folder->units;
    if (next[-1] != L'\n') return false;
    *text = next;
    return true;
}

// Reads the folder lines of the record's text up to text_end, where the end line must be,
// into folders, which *capacity counts. The number of folders; 0 when the text is not
// such a list: one cut short after any line lacks its end line.
size_t parse_folders(wchar_t* text, const wchar_t* text_end, record_folder** folders, size_t* capacity) {
    size_t count = 0;
    while (*text == L'@') {
        *folders = static_cast<record_folder*>(grow(*folders, capacity, count + 1, sizeof(record_folder)));
        if (!parse_folder(&text, text_end, *folders + count)) return 0;
        ++count;
    }
    return text_end - text == end_line_length && wmemcmp(text, end_line, end_line_length) == 0 ? count : 0;
}

// Reads the entry lines "size name" of folder into entries, which *capacity counts, each
// name cut off at its end. The number of entries; 0 when they are not such lines.
size_t parse_entries(const record_folder& folder, listed_entry** entries, size_t* capacity) {
    size_t count = 0;
    wchar_t* text = folder.entries;
    wchar_t* end = folder.entries + folder.units;
    while (text < end) {
        *entries = static_cast<listed_entry*>(grow(*entries, capacity, count + 1, sizeof(listed_entry)));
        listed_entry& entry = (*entries)[count];
        if (!parse_number(&text, L' ', &entry.size)) return 0;
        wchar_t* name = text;
        while (*text != L'\n' && *text != L'\\' && *text != 0) ++text;  // the block ends in a line end
        if (*text != L'\n' || text == name) return 0;
        *text++ = 0;
        entry.name = name;
        entry.seen = false;
        ++count;
    }
    return count;
}

// True when folder holds each of its entries as a file of its size. entries and capacity
// are the caller's room for them.
bool folder_matches(const wchar_t* directory, const record_folder& folder, listed_entry** entries,
                    size_t* capacity) {
    size_t count = parse_entries(folder, entries, capacity);
    if (count == 0) return false;
    wchar_t pattern[listing_capacity];
    folder_path(pattern, listing_capacity, directory, folder.path, folder.length);
    text_append(pattern, listing_capacity, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return false;
    listed_entry* listed = *entries;
    size_t matched = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        size_t low = 0;
        size_t high = count;
        while (low < high) {  // the names are sorted: a damaged record's are not, and fail
            size_t middle = low + (high - low) / 2;
            int order = compare_names(found.cFileName, listed[middle].name);
            if (order == 0) {
                if (!listed[middle].seen && listed[middle].size == size) {
                    listed[middle].seen = true;
                    ++matched;
                }
                break;
            }
            if (order < 0) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return matched == count;
}

// What the last matching record left to the comparison in the background: its text,
// which the folders point into, the directory, and the folder where the comparison begins:
// one that changes from start to start, so that starts whose application ends before the
// comparison does still cover every folder in turn.
wchar_t* kept_text = nullptr;
record_folder* kept_folders = nullptr;
size_t kept_count = 0;
wchar_t kept_directory[target_directory_capacity];
size_t kept_first = 0;
HANDLE comparison = nullptr;
volatile LONG comparison_stopped = 0;

void mark_record_damaged(const wchar_t* directory) {
    wchar_t path[target_directory_capacity];
    record_path(path, directory);
    for (int attempt = 0; attempt < mark_attempts && comparison_stopped == 0; ++attempt) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, &damaged_mark, sizeof damaged_mark, &written, nullptr);
            CloseHandle(file);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return;
        Sleep(mark_pause_ms);
    }
}

// Lists, at background priority, the folders whose write time spoke for them at the
// start, and marks the record when one of them is damaged after all (a file resized in
// place leaves its folder's time as it was). It reads only: the application sees nothing
// of it, and its end is waited for before the process ends.
DWORD WINAPI compare_deferred_folders(void*) {
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    listed_entry* entries = nullptr;
    size_t capacity = 0;
    for (size_t step = 0; step < kept_count && comparison_stopped == 0; ++step) {
        const record_folder& folder = kept_folders[(kept_first + step) % kept_count];
        if (folder.deferred && !folder_matches(kept_directory, folder, &entries, &capacity)) {
            mark_record_damaged(kept_directory);
            break;
        }
    }
    free(entries);
    return 0;
}

void drop_kept_record() {
    free(kept_folders);
    free(kept_text);
    kept_folders = nullptr;
    kept_text = nullptr;
    kept_count = 0;
}

// The attributes of the folders and files that a start compares, asked by NT path ("\??\"
// and the full path), the query that the file API makes of a path after converting it:
// under Wine that conversion is a sixth of the cost, and a large payload has some 500
// folders.
struct attribute_query {
    wchar_t path[listing_capacity + 8];
    size_t directory_length = 0;  // of path, up to the directory's end; 0: by the file API

    // A drive's path gets "\??\" before it, a share's "\??\UNC\" in place of its "\\"; any
    // other form is asked through the file API.
    void begin(const wchar_t* directory) {
        bool drive = directory[0] != 0 && directory[1] == L':' && directory[2] == L'\\';
        bool share = directory[0] == L'\\' && directory[1] == L'\\' && directory[2] != L'?' && directory[2] != L'.';
        if (!(drive || share)) return;
        text_copy(path, listing_capacity, drive ? L"\\??\\" : L"\\??\\UNC");
        text_append(path, listing_capacity, drive ? directory : directory + 1);
        directory_length = wcslen(path);
    }

    // The attributes, write time and size of folder below the directory, or of the file
    // name in it. False when there is nothing of that path.
    bool ask(const wchar_t* directory, const record_folder& folder, const wchar_t* name,
             FILE_NETWORK_OPEN_INFORMATION* information) {
        if (directory_length == 0) {
            folder_path(path, listing_capacity, directory, folder.path, folder.length);
            WIN32_FILE_ATTRIBUTE_DATA found;
            if (name != nullptr && join_name(wcslen(path), name) == 0) return false;
            if (!GetFileAttributesExW(path, GetFileExInfoStandard, &found)) return false;
            information->FileAttributes = found.dwFileAttributes;
            information->LastWriteTime.QuadPart = static_cast<LONGLONG>(time_value(found.ftLastWriteTime));
            information->EndOfFile.QuadPart = (static_cast<LONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            return true;
        }
        size_t length = directory_length;
        if (folder.length != 0) {
            if (length + 1 + folder.length >= listing_capacity) return false;  // too long to exist
            path[length++] = L'\\';
            wmemcpy(path + length, folder.path, folder.length);
            length += folder.length;
        }
        if (name != nullptr && (length = join_name(length, name)) == 0) return false;
        auto bytes = static_cast<USHORT>(length * sizeof(wchar_t));
        UNICODE_STRING nt_name{bytes, bytes, path};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &nt_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return NT_SUCCESS(NtQueryFullAttributesFile(&attributes, information));
    }

    // The write time of folder below the directory; 0 when it is no folder.
    uint64_t time_of(const wchar_t* directory, const record_folder& folder) {
        FILE_NETWORK_OPEN_INFORMATION information;
        bool folder_there = ask(directory, folder, nullptr, &information) &&
                            (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!folder_there) return 0;
        return static_cast<uint64_t>(information.LastWriteTime.QuadPart);
    }

    // True when entry of folder is a file of its recorded size.
    bool file_matches(const wchar_t* directory, const record_folder& folder, const listed_entry& entry) {
        FILE_NETWORK_OPEN_INFORMATION information;
        return ask(directory, folder, entry.name, &information) &&
               !(information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
               static_cast<uint64_t>(information.EndOfFile.QuadPart) == entry.size;
    }

private:
    // Puts "\" and name after the length units of path: its new length, 0 when they do
    // not fit.
    size_t join_name(size_t length, const wchar_t* name) {
        size_t name_length = wcslen(name);
        if (length + 1 + name_length >= listing_capacity) return 0;
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, name_length + 1);
        return length + 1 + name_length;
    }
};

// A number that changes from start to start, where a comparison of part of the folders
// begins, so that starts cover all of them in turn.
size_t start_to_start_number() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<size_t>(counter.QuadPart);
}

// Compares, on one processor, the sizes of a few files of the folders whose time spoke for
// them, one attribute query each, from a folder and a file that change from start to start.
bool sampled_files_match(const wchar_t* directory, const record_folder* folders, size_t count,
                         attribute_query* query, listed_entry** entries, size_t* capacity) {
    size_t number = start_to_start_number();
    size_t first = number % count;
    size_t sampled = 0;
    for (size_t step = 0; step < count && sampled < one_processor_samples; ++step) {
        const record_folder& folder = folders[(first + step) % count];
        if (!folder.deferred) continue;
        size_t entry_count = parse_entries(folder, entries, capacity);
        if (entry_count == 0) return false;
        size_t i = sampled == 0 ? number / count % entry_count : 0;
        for (; i < entry_count && sampled < one_processor_samples; ++i, ++sampled) {
            if (!query->file_matches(directory, folder, (*entries)[i])) return false;
        }
    }
    return true;
}

// Compares the top folder and the folders whose time has changed by listing them now; a
// folder that is gone means damage. The others are left for the background, and the
// record is kept for it, when there are more than a few and a processor for it.
bool folders_match(const wchar_t* directory, wchar_t* record, wchar_t* text, const wchar_t* text_end) {
    record_folder* folders = nullptr;
    size_t folders_capacity = 0;
    size_t count = parse_folders(text, text_end, &folders, &folders_capacity);
    listed_entry* entries = nullptr;
    size_t entries_capacity = 0;
    bool whole = count > 0 && folders[0].length == 0;  // the top, the library's, comes first
    size_t deferred = 0;
    attribute_query query;
    query.begin(directory);
    for (size_t i = 0; whole && i < count; ++i) {
        record_folder& folder = folders[i];
        uint64_t now = folder.length != 0 ? query.time_of(directory, folder) : 1;
        if (now == 0) {
            whole = false;
        } else if (folder.length != 0 && now == folder.time) {
            folder.deferred = true;
            ++deferred;
        } else {
            whole = folder_matches(directory, folder, &entries, &entries_capacity);
        }
    }
    // A comparison beside the application needs a processor of its own: on one, a thread's
    // start and end cost more than the listings a short run leaves it time for, and in a
    // long run it takes its time from the application.
    bool few = deferred <= background_folders_floor;
    bool beside = !few && usable_processor_count() > 1;
    for (size_t i = 0; whole && few && i < count; ++i) {
        if (folders[i].deferred) whole = folder_matches(directory, folders[i], &entries, &entries_capacity);
    }
    if (whole && !few && !beside) {
        whole = sampled_files_match(directory, folders, count, &query, &entries, &entries_capacity);
    }
    free(entries);
    if (!whole || !beside) {
        free(folders);
        free(record);
        return whole;
    }
    kept_text = record;
    kept_folders = folders;
    kept_count = count;
    text_copy(kept_directory, target_directory_capacity, directory);
    kept_first = start_to_start_number() % count;
    return true;
}

}  // namespace

void begin_cache_record() {
    path_text_used = 0;
    noted_count = 0;
    entry_extracted = note_entry;
}

bool write_cache_record(const wchar_t* directory, const wchar_t* library_name) {
    entry_extracted = nullptr;
    for (size_t i = 0; i < noted_count; ++i) noted[i].path = path_text + noted[i].path_offset;
    qsort(noted, noted_count, sizeof(record_entry), compare_entries);
    wchar_t path[target_directory_capacity];
    record_path(path, directory);
    // Made before the folders' times are read: it is an entry of the top.
    entry_file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (entry_file == INVALID_HANDLE_VALUE) return false;
    note_folder_times(directory);
    size_t length = 0;
    wchar_t* text = format_record(library_name, &length);
    DWORD size = static_cast<DWORD>(length * sizeof(wchar_t));
    DWORD written = 0;
    bool whole = WriteFile(entry_file, text, size, &written, nullptr);
    if (whole && written != size) {
        SetLastError(ERROR_WRITE_FAULT);
        whole = false;
    }
    DWORD error = GetLastError();
    close_entry_file();
    free(text);
    SetLastError(error);
    return whole;
}

bool directory_matches_record(const wchar_t* directory, wchar_t* library_name, size_t capacity) {
    end_background_comparison();
    size_t length = 0;
    wchar_t* text = read_record(directory, &length);
    if (text == nullptr) return false;
    size_t header_length = wcslen(record_header);
    bool whole = wcsncmp(text, record_header, header_length) == 0;
    wchar_t* rest = text + (whole ? header_length : 0);
    wchar_t* digest = next_line(&rest);
    wchar_t* library = next_line(&rest);
    whole = whole && digest != nullptr && wcscmp(digest, tarvix_payload_digest) == 0 && library != nullptr &&
            is_top_level_name(library, capacity);
    if (!whole) {
        free(text);
        return false;
    }
    text_copy(library_name, capacity, library);
    return folders_match(directory, text, rest, text + length);  // which keeps or frees text
}

void begin_background_comparison() {
    if (kept_count == 0 || comparison != nullptr) return;
    comparison_stopped = 0;
    comparison = CreateThread(nullptr, comparison_stack_size, compare_deferred_folders, nullptr,
                              STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

void end_background_comparison() {
    if (comparison != nullptr) {
        InterlockedExchange(&comparison_stopped, 1);
        WaitForSingleObject(comparison, INFINITE);
        CloseHandle(comparison);
        comparison = nullptr;
    }
    drop_kept_record();
}
