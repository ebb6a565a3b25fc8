#include "launcher/cached_run.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

#include "child/child_launch.h"
#include "child/cleanup.h"
#include "common/bounded_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "launcher/cache_record.h"
#include "launcher/cache_trust.h"
#include "launcher/in_process.h"
#include "launcher/launcher_facts.h"
#include "paths/executable_path.h"
#include "paths/path_template.h"
#include "payload/attached_payload.h"
#include "payload/extraction.h"
#include "payload/payload_reader.h"
#include "state/run_state.h"
#include "target_directory/removal.h"
#include "target_directory/target_directory.h"

namespace {

constexpr int rename_attempts = 20;
constexpr DWORD rename_pause_ms = 100;
// A start that has just published the directory holds it, without delete sharing, until
// its library is loaded: others wait for that, up to a second, before they give up on
// the cache for this start.
constexpr int busy_attempts = 50;
constexpr DWORD busy_pause_ms = 20;
constexpr size_t sibling_infix_length = 5;  // ".new-" or ".old-"

// The cache directory of this payload; while it is being filled, target_directory names
// the private sibling that becomes it.
wchar_t cache_directory[target_directory_capacity];

void join_path(wchar_t* output, size_t capacity, const wchar_t* directory, const wchar_t* name) {
    text_copy(output, capacity, directory);
    text_append(output, capacity, L"\\");
    text_append(output, capacity, name);
}

bool fix_cache_directory() {
    wchar_t expanded[target_directory_capacity];
    if (!expand_path_template(expanded, tarvix_cache_template, target_directory_capacity)) return false;
    // A relative one would put a cache in every working directory.
    if (!is_absolute_path(expanded, wcslen(expanded))) return false;
    text_append(expanded, target_directory_capacity, L"\\");
    text_append(expanded, target_directory_capacity, tarvix_payload_digest);
    DWORD length = GetFullPathNameW(expanded, target_directory_capacity, cache_directory, nullptr);
    return length != 0 && length < target_directory_capacity;
}

// An elevated start keeps a cache of its own beside the user's, "<digest>.elevated": what
// it makes is not the user's, so ordinary starts could not use it, and it must use nothing
// that they could have changed.
bool choose_cache_for_token() {
    unsigned char owner[SECURITY_MAX_SID_SIZE];
    bool elevated = false;
    if (!read_directory_owner(owner, &elevated)) return false;
    if (!elevated) return true;
    constexpr wchar_t suffix[] = L".elevated";
    if (wcslen(cache_directory) + std::size(suffix) > target_directory_capacity) return false;
    text_append(cache_directory, target_directory_capacity, suffix);
    return true;
}

// The cache directory's name, then infix and 11 random characters: a name beside it.
bool choose_sibling_name(wchar_t* output, const wchar_t* infix) {
    wchar_t random_text[random_text_length + 1];
    if (!make_random_text(random_text)) return false;
    text_copy(output, target_directory_capacity, cache_directory);
    text_append(output, target_directory_capacity, infix);
    text_append(output, target_directory_capacity, random_text);
    return true;
}

// Renames the directory that handle holds, never over anything that stands at target.
bool rename_held(HANDLE directory, const wchar_t* target) {
    alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + target_directory_capacity * sizeof(wchar_t)];
    auto rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    size_t length = wcslen(target);
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    wmemcpy(rename->FileName, target, length + 1);
    return SetFileInformationByHandle(directory, FileRenameInfo, rename,
                                      static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)));
}

// Renames path, when it is the user's own directory and nobody holds it, to a fresh
// ".old-" name first, so that no other start takes it for whole while it goes, then
// deletes it. A start that runs from a directory holds it without delete sharing for as
// long as it runs, so a directory in use is never moved (Windows would refuse to rename a
// folder holding a loaded library; Wine does not). A link in its place goes itself, never
// what it points to: under Wine the open follows a Unix symbolic link, so its handle is
// asked what it holds. False when something stays at path.
bool set_aside(const wchar_t* path) {
    DWORD error = 0;
    HANDLE directory = open_own_directory(path, DELETE, &error);
    if (directory == INVALID_HANDLE_VALUE) return false;
    if (!holds_own_entry(directory, path)) {
        CloseHandle(directory);
        delete_tree(path);
        return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
    }
    wchar_t aside[target_directory_capacity];
    bool renamed = choose_sibling_name(aside, L".old-") && rename_held(directory, aside);
    CloseHandle(directory);
    if (renamed) delete_tree(aside);
    return renamed;
}

// Siblings left by first starts that were killed, and set-aside directories that could
// not be deleted then. A live start holds its sibling without delete sharing, so that
// it cannot be opened for the rename: that is what tells the two apart.
void remove_abandoned_siblings() {
    wchar_t path[target_directory_capacity];
    text_copy(path, target_directory_capacity, cache_directory);
    text_append(path, target_directory_capacity, L".*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    wchar_t* name = wcsrchr(path, L'\\') + 1;
    const wchar_t* cache_name = wcsrchr(cache_directory, L'\\') + 1;  // the digest, ".elevated" after it
    size_t cache_name_length = wcslen(cache_name);
    do {
        const wchar_t* infix = found.cFileName + cache_name_length;
        bool sibling = wcsncmp(found.cFileName, cache_name, cache_name_length) == 0 &&
                       (wcsncmp(infix, L".new-", sibling_infix_length) == 0 ||
                        wcsncmp(infix, L".old-", sibling_infix_length) == 0) &&
                       wcslen(infix) == sibling_infix_length + random_text_length;
        if (!sibling) continue;
        *name = 0;
        text_append(path, target_directory_capacity, found.cFileName);
        set_aside(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Removes what a fill has made and gives up the cache for this start.
bool abandon_fill() {
    close_entry_file();
    remove_target_directory();  // releases the held directory first
    extraction_started = false;
    SetConsoleCtrlHandler(console_control_handler, FALSE);
    return false;
}

// The application library's name within the directory being filled.
const wchar_t* library_name_in_target() { return application_library_path + wcslen(target_directory) + 1; }

// One rename, through the handle held since the sibling was made, makes the whole
// directory appear at once. A start that loses the race to another removes its own
// copy and leaves held_directory closed: the winner's is the one to open.
bool publish_cache() {
    wchar_t library_name[relative_path_capacity];
    text_copy(library_name, relative_path_capacity, library_name_in_target());
    bool published = false;
    for (int attempt = 0; attempt < rename_attempts && !published; ++attempt) {
        published = rename_held(held_directory, cache_directory);
        // Another start's directory stands there: that one won.
        if (published || GetFileAttributesW(cache_directory) != INVALID_FILE_ATTRIBUTES) break;
        // A scanner reading the files just written holds them for a moment, and a
        // directory with open files cannot be renamed.
        Sleep(rename_pause_ms);
    }
    if (!published) {
        abandon_fill();
        application_library_path[0] = 0;
        return GetFileAttributesW(cache_directory) != INVALID_FILE_ATTRIBUTES;
    }
    // From here on, console events belong to the application and nothing is removed.
    SetConsoleCtrlHandler(console_control_handler, FALSE);
    if (!application_start_begin()) wait_to_be_ended();
    extraction_started = false;
    mark_application_started();
    application_start_end();
    join_path(application_library_path, library_path_capacity, cache_directory, library_name);
    return true;
}

// Extracts into a fresh private sibling held from its creation on, and publishes it.
// True when the cache directory stands afterwards: held when this start made it.
bool fill_cache() {
    create_directory_chain(cache_directory);  // its parents: ordinary folders of the user's
    if (!folders_above_are_trusted(cache_directory)) return false;
    remove_abandoned_siblings();
    wchar_t sibling[target_directory_capacity];
    if (!choose_sibling_name(sibling, L".new-")) return false;
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) fatal_error(message_register_handler);
    set_target_directory(sibling);
    DWORD error = create_own_directory(sibling, DELETE, &held_directory);
    if (error != 0 && held_directory == INVALID_HANDLE_VALUE) {
        SetConsoleCtrlHandler(console_control_handler, FALSE);
        return false;
    }
    extraction_started = true;
    remove_target_directory_on_abort();
    if (error != 0) return abandon_fill();
    // A console event that came meanwhile has its handler waiting to delete the sibling.
    if (stop_requested) wait_to_be_ended();

    application_library_path[0] = 0;  // a damaged directory's, until extraction names the new one
    payload_check_header(tarvix_payload, tarvix_payload_size);
    payload_reader_create(tarvix_payload, tarvix_payload_size);
    begin_cache_record();
    extract_payload();
    payload_reader_release();
    if (!write_cache_record(sibling, library_name_in_target())) return abandon_fill();
    return publish_cache();
}

// The fill's handle, which may delete, would keep other starts out: it gives way to one
// that only holds.
void hold_filled_cache_plainly() {
    release_held_directory();
    DWORD ignored = 0;
    held_directory = open_own_directory(cache_directory, SYNCHRONIZE | FILE_LIST_DIRECTORY, &ignored);
}

// Loads the library of the held cache directory, which stays held for the run once the
// library runs from there: a heal by another start then leaves it in place. held_to_delete
// tells a handle of the fill.
HMODULE load_from_held_cache(bool held_to_delete) {
    set_target_directory(cache_directory);
    HMODULE library = load_application_library();
    DWORD error = GetLastError();
    if (library == nullptr) release_held_directory();
    if (library != nullptr && held_to_delete) hold_filled_cache_plainly();
    SetLastError(error);
    return library;
}

bool run_cached_library(HMODULE library, int argument_count, wchar_t** arguments, int* exit_code) {
    publish_launcher_facts(arguments[0]);
    // The application sees what a default run's child sees: argument 0 is the full module
    // path, the path as typed is in TARVIX_ORIGINAL_ARGV0. Every template is expanded by now.
    arguments[0] = const_cast<wchar_t*>(get_executable_path(false));
    begin_background_comparison();
    *exit_code = run_loaded_library(library, argument_count, arguments);
    end_background_comparison();
    return true;
}

// A program runs as the child, started from the cache directory, which stays held for
// its run: no other start can set it aside under it. The handler keeps
// Ctrl+C from ending the launcher, and with its job the program; nothing is removed.
// False, having started nothing, when a warm start finds the program missing or no
// program (may_heal): the cache is damaged.
bool run_cached_program(wchar_t** arguments, int* exit_code, bool may_heal) {
    set_target_directory(cache_directory);
    publish_launcher_facts(arguments[0]);
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) fatal_error(message_register_handler);
    begin_background_comparison();
    bool damaged = false;
    *exit_code = static_cast<int>(run_child_process(may_heal ? &damaged : nullptr));
    end_background_comparison();
    if (damaged) SetConsoleCtrlHandler(console_control_handler, FALSE);
    return !damaged;
}

// What the trace says of each state open_cache finds.
constexpr const char* state_text[] = {"missing: this start fills it", "damaged: set aside and filled again",
                                      "unusable (a link, not the user's own, or open to others)",
                                      "ready: a warm start"};

bool cache_given_up(const char* why) {
    if (trace_enabled) trace_line("cache given up: %s", why);
    return false;
}

bool try_cache(int argument_count, wchar_t** arguments, int* exit_code) {
    if (!fix_cache_directory() || !choose_cache_for_token()) return cache_given_up("no absolute directory for it");
    cache_state state = open_cache(cache_directory);
    if (trace_enabled) trace_line("cache %w, from %w: %s", cache_directory, tarvix_cache_template, state_text[state]);
    if (state == cache_unusable) return false;
    if (state != cache_missing) remove_abandoned_siblings();
    if (state == cache_ready && child_is_payload_program()) {
        if (run_cached_program(arguments, exit_code, true)) return true;
        state = cache_damaged;  // a program that does not start: a power loss was there
        if (trace_enabled) trace_line("cache damaged: its program does not start");
    }
    if (state == cache_ready) {
        HMODULE library = load_from_held_cache(false);
        if (library != nullptr) return run_cached_library(library, argument_count, arguments, exit_code);
        state = cache_damaged;  // a library that does not load: a cleaner or a power loss was there
        if (trace_enabled) trace_line("cache damaged: its library does not load");
    }
    // Missing or damaged: extracted again, once, in this start.
    end_background_comparison();  // not begun: what a ready directory kept for it goes
    release_held_directory();
    if (state == cache_damaged && !set_aside(cache_directory)) return cache_given_up("damaged and in use");
    if (!fill_cache()) return cache_given_up("it could not be filled (a folder above untrusted, or no room)");
    bool filled_here = held_directory != INVALID_HANDLE_VALUE;
    if (trace_enabled) trace_line("cache filled by %s", filled_here ? "this start" : "another start at once");
    if (!filled_here && open_cache(cache_directory) != cache_ready) return cache_given_up("the other's not ready");
    if (child_is_payload_program()) {
        if (filled_here) hold_filled_cache_plainly();
        // Files just written that do not start: the program itself is at fault.
        return run_cached_program(arguments, exit_code, false);
    }
    HMODULE library = load_from_held_cache(filled_here);
    // Files just written that do not load: the library itself is at fault.
    if (library == nullptr) fatal_load_error(message_load_library, GetLastError(), application_library_path);
    return run_cached_library(library, argument_count, arguments, exit_code);
}

}  // namespace

cache_state open_cache(const wchar_t* directory) {
    DWORD error = 0;
    for (int attempt = 1;; ++attempt) {
        // The right to list takes part in sharing, as a bare right to wait does not: a
        // handle with it and without delete sharing keeps every rename out.
        held_directory = open_own_directory(directory, SYNCHRONIZE | FILE_LIST_DIRECTORY, &error);
        if (held_directory != INVALID_HANDLE_VALUE || error != ERROR_SHARING_VIOLATION || attempt == busy_attempts) {
            break;
        }
        Sleep(busy_pause_ms);
    }
    if (held_directory == INVALID_HANDLE_VALUE) {
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? cache_missing : cache_unusable;
    }
    if (!folders_above_are_trusted(directory)) {
        release_held_directory();
        return cache_unusable;
    }
    wchar_t library_name[relative_path_capacity];
    if (!directory_matches_record(directory, library_name, relative_path_capacity)) return cache_damaged;
    join_path(application_library_path, library_path_capacity, directory, library_name);
    return cache_ready;
}

bool run_from_cache(int argument_count, wchar_t** arguments, int* exit_code) {
    if (try_cache(argument_count, arguments, exit_code)) return true;
    end_background_comparison();
    release_held_directory();
    application_library_path[0] = 0;
    return false;
}
