#include "payload/extraction.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "paths/long_path.h"
#include "paths/path_template.h"
#include "payload/attached_payload.h"
#include "payload/payload_reader.h"
#include "state/run_state.h"
#include "workers/write_pool.h"

namespace {

constexpr size_t full_path_capacity = 4096;
constexpr int known_directory_slots = 1024;

// Everything here belongs to the main thread; the workers get copies of the paths.
wchar_t relative_path[relative_path_capacity];
wchar_t full_path[full_path_capacity];
wchar_t long_path[write_path_capacity];  // full_path in the form that is not held to MAX_PATH

// Directories known to exist, so that the many files of one folder cost string compares
// instead of system calls. Slot 0 is the user's profile folder, taken on trust. Kept in
// their long form.
wchar_t* known_directories[known_directory_slots];
int known_directory_count = 0;

// False at the end marker.
bool read_relative_path() {
    size_t length = 0;
    for (;;) {
        uint16_t unit;
        payload_read(&unit, sizeof unit);
        if (unit == 0) break;
        if (length + 1 >= relative_path_capacity) abort();  // the packer never writes one this long
        relative_path[length++] = static_cast<wchar_t>(unit);
    }
    relative_path[length] = 0;
    return length > 0;
}

}  // namespace

// A path that stays below the target directory: relative, no empty, "." or ".."
// component, no drive or stream colon, no forward slash, no device name (which would
// send the entry's bytes to a device). The packer writes nothing else; a damaged payload
// could, and must not make the launcher write elsewhere.
bool relative_path_is_safe(const wchar_t* path) {
    const wchar_t* component = path;
    for (;;) {
        const wchar_t* end = wcschr(component, L'\\');
        size_t length = end != nullptr ? static_cast<size_t>(end - component) : wcslen(component);
        // Windows drops trailing dots and blanks, so "..." or ". ." may step up like "..".
        bool only_dots_and_blanks = true;
        for (size_t i = 0; i < length; ++i) {
            if (component[i] == L':' || component[i] == L'/') return false;
            if (component[i] != L'.' && component[i] != L' ') only_dots_and_blanks = false;
        }
        if (only_dots_and_blanks) return false;  // also the empty component
        if (is_device_name(component, length)) return false;
        if (end == nullptr) return true;
        component = end + 1;
    }
}

namespace {

uint64_t read_entry_size() {
    unsigned char bytes[entry_size_bytes];
    payload_read(bytes, sizeof bytes);
    uint64_t size = 0;
    for (size_t i = entry_size_bytes; i > 0; --i) size = (size << 8) | bytes[i - 1];
    return size;
}

// The parent of path: path cut at its last backslash, the first unit not examined so
// that a root's backslash is kept. False when there is none.
bool cut_to_parent(wchar_t* path) {
    for (size_t i = wcslen(path); i > 1; --i) {
        if (path[i - 1] == L'\\') {
            path[i - 1] = 0;
            return true;
        }
    }
    return false;
}

// Hands the entry's bytes to the workers piece by piece, as the decoder yields them.
void write_entry_data(uint64_t size) {
    unsigned char* piece = write_pool_begin_file(long_path);
    for (;;) {
        size_t length = size < piece_capacity ? static_cast<size_t>(size) : piece_capacity;
        if (length > 0) payload_read(piece, length);
        size -= length;
        if (size == 0) {
            write_pool_hand_over(length, true);
            return;
        }
        piece = write_pool_hand_over(length, false);
    }
}

}  // namespace

void (*entry_extracted)(const wchar_t* relative_path, uint64_t size) = nullptr;

void extract_payload() {
    unsigned long long files = 0, bytes = 0, began = trace_enabled ? trace_milliseconds() : 0;
    while (read_relative_path()) {
        if (stop_requested) wait_to_be_ended();
        if (!relative_path_is_safe(relative_path)) fatal_error(message_unsafe_path);
        text_copy(full_path, full_path_capacity, target_directory);
        text_append(full_path, full_path_capacity, L"\\");
        text_append(full_path, full_path_capacity, relative_path);
        if (application_library_path[0] == 0) {
            text_copy(application_library_path, library_path_capacity, full_path);
            if (in_process_mode) return;
        }
        uint64_t size = read_entry_size();
        if (!long_path_form(long_path, write_path_capacity, full_path)) fatal_open_error(full_path);
        create_directory_chain(long_path);  // before the file is handed over
        if (entry_extracted != nullptr) entry_extracted(relative_path, size);
        write_entry_data(size);
        ++files, bytes += size;
    }
    write_pool_finish();
    if (trace_enabled) trace_line("extracted %u files, %u bytes in %u ms", files, bytes, trace_milliseconds() - began);
    if (application_library_path[0] == 0) fatal_error(message_payload_empty);
}

bool ensure_directory(const wchar_t* path) {
    // A bare drive always exists; "C:" alone would name the drive's current directory.
    size_t length = wcslen(path);
    if ((length == 2 && path[1] == L':') || (length == 6 && wcsncmp(path, L"\\\\?\\", 4) == 0 && path[5] == L':')) {
        return true;
    }
    if (known_directory_count == 0) {
        wchar_t home[full_path_capacity];
        wchar_t long_home[write_path_capacity];
        if (!expand_path_template(home, L"{HOME}", full_path_capacity)) fatal_template_error(L"{HOME}");
        if (!long_path_form(long_home, write_path_capacity, home)) fatal_template_error(L"{HOME}");
        known_directories[0] = _wcsdup(long_home);
        if (known_directories[0] == nullptr) abort();
        known_directory_count = 1;
    }
    wchar_t long_form[write_path_capacity];
    if (!long_path_form(long_form, write_path_capacity, path)) return false;
    for (int i = 0; i < known_directory_count; ++i) {
        if (wcscmp(known_directories[i], long_form) == 0) return true;
    }
    write_pool_wait_for_file(long_form);  // an earlier entry of this name comes first
    if (!CreateDirectoryW(long_form, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (known_directory_count < known_directory_slots) {
        // Without memory for the copy the directory is simply not remembered.
        wchar_t* copy = _wcsdup(long_form);
        if (copy != nullptr) known_directories[known_directory_count++] = copy;
    }
    return true;
}

void create_directory_chain(const wchar_t* path) {
    // Climbs from the missing directory to the nearest one that exists or can be made,
    // then creates the levels below it from the top down. One buffer serves every level:
    // a deep payload path must not cost a stack frame of 4096 units per level.
    wchar_t chain[write_path_capacity] = {};
    text_copy(chain, write_path_capacity, path);
    size_t missing_levels = 0;
    bool reached_existing = false;
    while (cut_to_parent(chain)) {
        if (ensure_directory(chain)) {
            reached_existing = true;
            break;
        }
        ++missing_levels;
    }
    if (!reached_existing && missing_levels > 0) {
        ensure_directory(chain);  // the topmost level, which has no parent to make first
        --missing_levels;
    }
    while (missing_levels-- > 0) {
        chain[wcslen(chain)] = L'\\';  // step down to the next level, cut off above
        ensure_directory(chain);
    }
    // The console handler may have deleted the tree while these were made; it waits for
    // this thread to stop before it deletes again.
    if (stop_requested) wait_to_be_ended();
}
