#include "launcher/cached_run.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "child/cleanup.h"
#include "common/bounded_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/in_process.h"
#include "launcher/main_sequence.h"
#include "paths/path_template.h"
#include "payload/attached_payload.h"
#include "payload/extraction.h"
#include "payload/payload_reader.h"
#include "state/run_state.h"
#include "target/removal.h"
#include "target/target_directory.h"

namespace {

constexpr wchar_t record_header[] = L"tarvix cache record 1\n";
// The header, the digest and a library name of at most 1023 units, with their line ends.
constexpr size_t record_capacity = 2048;
constexpr int rename_attempts = 20;
constexpr DWORD rename_pause_ms = 100;

// The cache directory of this payload; while it is being filled, target_directory names
// the private sibling that becomes it.
wchar_t cache_directory[target_directory_capacity];

enum cache_state { cache_missing, cache_incomplete, cache_ready };

void join_path(wchar_t* output, size_t capacity, const wchar_t* directory, const wchar_t* name) {
    text_copy(output, capacity, directory);
    text_append(output, capacity, L"\\");
    text_append(output, capacity, name);
}

void record_path(wchar_t* output, const wchar_t* directory) {
    wchar_t name[sizeof cache_record_name];
    text_widen(name, sizeof cache_record_name, cache_record_name);
    join_path(output, target_directory_capacity, directory, name);
}

void fix_cache_directory() {
    wchar_t expanded[target_directory_capacity];
    if (!expand_path_template(expanded, tarvix_cache_template, target_directory_capacity)) {
        fatal_template_error(tarvix_cache_template);
    }
    text_append(expanded, target_directory_capacity, L"\\");
    text_append(expanded, target_directory_capacity, tarvix_payload_digest);
    DWORD length = GetFullPathNameW(expanded, target_directory_capacity, cache_directory, nullptr);
    if (length == 0 || length >= target_directory_capacity) abort();
}

// The cache directory's name, then infix and 11 random characters: a name beside it.
void choose_sibling_name(wchar_t* output, const wchar_t* infix) {
    wchar_t random_text[random_text_length + 1];
    if (!make_random_text(random_text)) fatal_os_error(message_cache_failed, GetLastError());
    text_copy(output, target_directory_capacity, cache_directory);
    text_append(output, target_directory_capacity, infix);
    text_append(output, target_directory_capacity, random_text);
}

void choose_new_sibling(int) {
    wchar_t sibling[target_directory_capacity];
    choose_sibling_name(sibling, L".new-");
    set_target_directory(sibling);
}

bool read_record(wchar_t* text) {
    wchar_t path[target_directory_capacity];
    record_path(path, cache_directory);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = 0;
    BOOL read = ReadFile(file, text, (record_capacity - 1) * sizeof(wchar_t), &size, nullptr);
    CloseHandle(file);
    if (!read || size % sizeof(wchar_t) != 0) return false;
    text[size / sizeof(wchar_t)] = 0;
    return true;
}

// Ready when the directory is the user's own, its record belongs to this payload and the
// library it names is there; application_library_path then names that library.
cache_state inspect_cache() {
    HANDLE directory = CreateFileW(cache_directory, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return cache_missing;
        fatal_os_error(message_cache_failed, error);
    }
    bool own = is_own_directory(directory);
    CloseHandle(directory);
    // Whatever else stands there is neither used nor touched.
    if (!own) fatal_error(message_cache_not_own);

    wchar_t record[record_capacity];
    wchar_t library_name[relative_path_capacity];
    if (!read_record(record) || !parse_cache_record(record, library_name, relative_path_capacity)) {
        return cache_incomplete;
    }
    join_path(application_library_path, library_path_capacity, cache_directory, library_name);
    DWORD attributes = GetFileAttributesW(application_library_path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return cache_incomplete;
    return cache_ready;
}

// An interrupted first start or a cleaner left it: renamed first, so that no other start
// takes it for whole while it goes. One that cannot be renamed is in use; the rename of
// the new directory then fails and says so.
void set_aside_incomplete_cache() {
    wchar_t aside[target_directory_capacity];
    choose_sibling_name(aside, L".old-");
    if (MoveFileExW(cache_directory, aside, 0)) delete_tree(aside);
}

// The application library's name within the directory being filled.
const wchar_t* library_name_in_target() { return application_library_path + wcslen(target_directory) + 1; }

// Written last, after every file of the payload is closed: its presence says that the
// directory is whole.
void write_record() {
    wchar_t text[record_capacity];
    format_cache_record(text, record_capacity, library_name_in_target());
    wchar_t path[target_directory_capacity];
    record_path(path, target_directory);
    entry_file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (entry_file == INVALID_HANDLE_VALUE) fatal_os_error(message_cache_failed, GetLastError());
    DWORD size = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(entry_file, text, size, &written, nullptr)) fatal_os_error(message_cache_failed, GetLastError());
    if (written != size) fatal_os_error(message_cache_failed, ERROR_WRITE_FAULT);
    close_entry_file();
}

// One rename makes the whole directory appear at once. A start that loses the race to
// another removes its own copy and uses the winner's.
void publish_cache() {
    wchar_t library_name[relative_path_capacity];
    text_copy(library_name, relative_path_capacity, library_name_in_target());
    bool published = false;
    DWORD error = 0;
    for (int attempt = 0; attempt < rename_attempts && !published; ++attempt) {
        published = MoveFileExW(target_directory, cache_directory, 0);
        error = GetLastError();
        // Another start's directory stands there: that one won.
        if (published || GetFileAttributesW(cache_directory) != INVALID_FILE_ATTRIBUTES) break;
        // A scanner reading the files just written holds them for a moment, and a
        // directory with open files cannot be renamed.
        Sleep(rename_pause_ms);
    }
    if (!published) remove_target_directory();

    // From here on, console events belong to the application and nothing is removed.
    SetConsoleCtrlHandler(console_control_handler, FALSE);
    if (!child_start_begin()) wait_to_be_ended();
    extraction_started = false;
    mark_application_started();
    child_start_end();

    if (published) {
        join_path(application_library_path, library_path_capacity, cache_directory, library_name);
    } else if (inspect_cache() != cache_ready) {
        fatal_os_error(message_cache_failed, error);
    }
}

void fill_cache() {
    payload_check_header(tarvix_payload, tarvix_payload_size);
    payload_reader_create(tarvix_payload, tarvix_payload_size);
    create_directory_chain(cache_directory);  // its parents: ordinary folders of the user's
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) fatal_error(message_register_handler);
    remove_target_directory_on_abort();
    create_fresh_target_directory(choose_new_sibling);
    extract_payload();
    payload_reader_release();
    write_record();
    publish_cache();
}

}  // namespace

void format_cache_record(wchar_t* text, size_t capacity, const wchar_t* library_name) {
    text_copy(text, capacity, record_header);
    text_append(text, capacity, tarvix_payload_digest);
    text_append(text, capacity, L"\n");
    text_append(text, capacity, library_name);
    text_append(text, capacity, L"\n");
}

bool parse_cache_record(const wchar_t* text, wchar_t* library_name, size_t capacity) {
    size_t header_length = wcslen(record_header);
    size_t digest_length = wcslen(tarvix_payload_digest);
    if (wcsncmp(text, record_header, header_length) != 0) return false;
    text += header_length;
    if (wcsncmp(text, tarvix_payload_digest, digest_length) != 0 || text[digest_length] != L'\n') return false;
    text += digest_length + 1;
    size_t name_length = wcscspn(text, L"\n\\/:");
    bool dots_only = wcsspn(text, L".") == name_length;
    if (name_length == 0 || dots_only || name_length >= capacity || wcscmp(text + name_length, L"\n") != 0) {
        return false;
    }
    wmemcpy(library_name, text, name_length);
    library_name[name_length] = 0;
    return true;
}

int run_from_cache(int argument_count, wchar_t** arguments) {
    fix_cache_directory();
    cache_state state = inspect_cache();
    if (state == cache_incomplete) set_aside_incomplete_cache();
    if (state != cache_ready) fill_cache();
    set_target_directory(cache_directory);
    publish_launcher_facts(arguments[0]);
    return run_application_library(argument_count, arguments);
}
