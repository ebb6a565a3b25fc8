#include "launcher/cache_record.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/cached_run.h"
#include "payload/extraction.h"
#include "payload/attached_payload.h"
#include "state/run_state.h"

namespace {

constexpr wchar_t record_header[] = L"tarvix cache record 2\n";
// Far above any payload's record (3,000 entries take about 0.3 MiB); a larger file is
// not one of ours.
constexpr uint64_t record_size_limit = 256u << 20;
constexpr size_t size_digits_limit = 19;
constexpr size_t listing_capacity = target_directory_capacity + relative_path_capacity + 4;

// An entry of the record: its path (while noted, its offset in path_text, which may still
// move), where its folder part ends (0 at the top), its size. order keeps the payload's
// order among entries of one path (letter case aside), which only a payload made by hand
// can hold: the later one is what lies on disk.
struct record_entry {
    const wchar_t* path;
    size_t path_offset;
    size_t folder_length;
    uint64_t size;
    size_t order;
    bool seen;
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
    noted[noted_count] = {nullptr, path_text_used, folder_length_of(relative_path), size, noted_count, false};
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

// The record's text, header to last entry, in a block the caller frees.
wchar_t* format_record(const wchar_t* library_name, size_t* length) {
    for (size_t i = 0; i < noted_count; ++i) noted[i].path = path_text + noted[i].path_offset;
    qsort(noted, noted_count, sizeof(record_entry), compare_entries);
    size_t capacity = wcslen(record_header) + wcslen(tarvix_payload_digest) + wcslen(library_name) + 2 +
                      path_text_used + noted_count * (decimal_text_capacity + 1);
    auto text = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
    if (text == nullptr) fatal_error(message_out_of_memory);
    size_t used = 0;
    wmemcpy(text, record_header, wcslen(record_header));
    used += wcslen(record_header);
    append_line(text, &used, tarvix_payload_digest, wcslen(tarvix_payload_digest));
    append_line(text, &used, library_name, wcslen(library_name));
    for (size_t i = 0; i < noted_count; ++i) {
        bool overwritten = i + 1 < noted_count && compare_folders(noted[i], noted[i + 1]) == 0 &&
                           compare_names(name_of(noted[i]), name_of(noted[i + 1])) == 0;
        if (overwritten) continue;
        char digits[decimal_text_capacity];
        decimal_text(digits, static_cast<long long>(noted[i].size), 1);
        for (const char* digit = digits; *digit != 0; ++digit) text[used++] = static_cast<wchar_t>(*digit);
        text[used++] = L' ';
        append_line(text, &used, noted[i].path, wcslen(noted[i].path));
    }
    *length = used;
    return text;
}

// The whole record file as text, NUL-ended, in a block the caller frees; nullptr when
// there is none that could be ours.
wchar_t* read_record(const wchar_t* directory) {
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
            text[read / sizeof(wchar_t)] = 0;
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

// Reads "size path" into entry; false for anything else.
bool parse_entry(wchar_t* line, record_entry* entry) {
    size_t digits = wcsspn(line, L"0123456789");
    if (digits == 0 || digits > size_digits_limit || line[digits] != L' ') return false;
    entry->size = 0;
    for (size_t i = 0; i < digits; ++i) entry->size = entry->size * 10 + static_cast<uint64_t>(line[i] - L'0');
    entry->path = line + digits + 1;
    size_t length = wcslen(entry->path);
    if (length == 0 || length >= relative_path_capacity) return false;
    entry->folder_length = folder_length_of(entry->path);
    entry->seen = false;
    return true;
}

// Marks the entries of one folder, entries[0..count), that the folder holds as files of
// their size, and returns how many were found.
size_t find_listed(const wchar_t* directory, record_entry* entries, size_t count) {
    wchar_t pattern[listing_capacity];
    text_copy(pattern, listing_capacity, directory);
    if (entries[0].folder_length != 0) {
        text_append(pattern, listing_capacity, L"\\");
        size_t used = wcslen(pattern);
        wmemcpy(pattern + used, entries[0].path, entries[0].folder_length);
        pattern[used + entries[0].folder_length] = 0;
    }
    text_append(pattern, listing_capacity, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t matched = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        size_t low = 0;
        size_t high = count;
        while (low < high) {  // the names are sorted: a damaged record's are not, and fail
            size_t middle = low + (high - low) / 2;
            int order = compare_names(found.cFileName, name_of(entries[middle]));
            if (order == 0) {
                if (!entries[middle].seen && entries[middle].size == size) {
                    entries[middle].seen = true;
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
    return matched;
}

bool entries_match(const wchar_t* directory, wchar_t* text) {
    size_t count = 0;
    for (const wchar_t* unit = text; *unit != 0; ++unit) count += *unit == L'\n';
    auto entries = static_cast<record_entry*>(malloc((count + 1) * sizeof(record_entry)));
    if (entries == nullptr) fatal_error(message_out_of_memory);
    size_t parsed = 0;
    bool whole = true;
    for (wchar_t* line; whole && (line = next_line(&text)) != nullptr; ++parsed) {
        whole = parse_entry(line, &entries[parsed]);
    }
    whole = whole && *text == 0 && parsed > 0;
    for (size_t first = 0; whole && first < parsed;) {
        size_t end = first + 1;
        while (end < parsed && compare_folders(entries[first], entries[end]) == 0) ++end;
        whole = find_listed(directory, entries + first, end - first) == end - first;
        first = end;
    }
    free(entries);
    return whole;
}

}  // namespace

void begin_cache_record() {
    path_text_used = 0;
    noted_count = 0;
    entry_extracted = note_entry;
}

bool write_cache_record(const wchar_t* directory, const wchar_t* library_name) {
    entry_extracted = nullptr;
    size_t length = 0;
    wchar_t* text = format_record(library_name, &length);
    wchar_t path[target_directory_capacity];
    record_path(path, directory);
    entry_file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD size = static_cast<DWORD>(length * sizeof(wchar_t));
    DWORD written = 0;
    bool whole = entry_file != INVALID_HANDLE_VALUE && WriteFile(entry_file, text, size, &written, nullptr);
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
    wchar_t* text = read_record(directory);
    if (text == nullptr) return false;
    size_t header_length = wcslen(record_header);
    bool whole = wcsncmp(text, record_header, header_length) == 0;
    wchar_t* rest = text + (whole ? header_length : 0);
    wchar_t* digest = next_line(&rest);
    wchar_t* library = next_line(&rest);
    whole = whole && digest != nullptr && wcscmp(digest, tarvix_payload_digest) == 0 && library != nullptr &&
            is_top_level_name(library, capacity) && entries_match(directory, rest);
    if (whole) text_copy(library_name, capacity, library);
    free(text);
    return whole;
}
