#include "diag/fatal.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/decimal_text.h"
#include "common/pe_imports.h"
#include "common/system_library.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "state/run_state.h"
#include "target_directory/removal.h"
#include "workers/write_pool.h"

namespace {

// Only the main thread reports, so the line below is its own: workers record a failure
// and leave the report to it. Paths in messages are at most 4096 units; one byte each
// after narrowing.
constexpr size_t message_text_capacity = 4096 + 1;

// A whole line: a message or format, the narrowed path or the system's text, the rest.
constexpr size_t line_capacity = message_text_capacity + 1024;

char narrowed_text[message_text_capacity];
char line[line_capacity];
size_t line_length = 0;

// A windowed launcher's user sees no console: its reports go into a box as well, under
// this title (nullptr: the system's default).
bool message_box_wanted = false;
const wchar_t* message_box_title = nullptr;
wchar_t message_box_text[line_capacity];

// Lines are put together here and written with one call, without the printf family (see
// common/decimal_text.h). What would not fit is cut; no message comes near it.
void line_add(const char* text, size_t length) {
    if (length > line_capacity - 1 - line_length) length = line_capacity - 1 - line_length;
    memcpy(line + line_length, text, length);
    line_length += length;
    line[line_length] = 0;
}

void line_add(const char* text) { line_add(text, strlen(text)); }

// The format's %s become text and then second.
void line_add_formatted(const char* format, const char* text, const char* second = nullptr) {
    const char* insertion = strstr(format, "%s");
    line_add(format, static_cast<size_t>(insertion - format));
    line_add(text);
    const char* rest = insertion + 2;
    if (second != nullptr) {
        insertion = strstr(rest, "%s");
        line_add(rest, static_cast<size_t>(insertion - rest));
        line_add(second);
        rest = insertion + 2;
    }
    line_add(rest);
}

// What failed to load, for the line after the system's error: false when nothing is
// known beyond the path.
bool add_missing_import_line(const wchar_t* path) {
    static wchar_t importer[message_text_capacity];
    char missing[256];
    if (!find_missing_import(path, importer, message_text_capacity, missing, sizeof missing)) return false;
    narrow_for_message(importer, narrowed_text, message_text_capacity);
    line_add_formatted(format_missing_import, narrowed_text, missing);
    return true;
}

// The line stays for line_show: every report ends the process, so no second one follows.
void line_write(FILE* stream) {
    fputs(line, stream);
    fflush(stream);
}

// The same line in a box that waits for the user: user32 is loaded only now, so that a run
// that shows nothing never pays for it. Without user32 the line on the stream is all.
void line_show() {
    if (!message_box_wanted) return;
    using message_box_function = int(WINAPI*)(HWND, const wchar_t*, const wchar_t*, UINT);
    auto message_box = reinterpret_cast<message_box_function>(system_function(L"user32.dll", "MessageBoxW"));
    if (message_box == nullptr) return;
    // The line's bytes stand for the units of the same value (narrow_for_message).
    size_t length = 0;
    for (; line[length] != 0; ++length) message_box_text[length] = static_cast<unsigned char>(line[length]);
    while (length > 0 && message_box_text[length - 1] == L'\n') --length;
    message_box_text[length] = 0;
    message_box(nullptr, message_box_text, message_box_title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// A console event has its handler remove the directory and end the run: reporting the
// failure that its deletion caused would only hide the interruption.
// Files handed to the workers come before the failure in payload order: one of them that
// failed is what the run reports.
void yield_to_a_stop_or_earlier_failure() {
    if (stop_requested) wait_to_be_ended();
    write_pool_settle();
}

// The directory goes before the box is shown: the user may leave it open for long.
[[noreturn]] void end_after_failure() {
    if (trace_enabled) trace_line("failed: %s", line);
    remove_target_directory_after_failure();
    line_show();
    exit(2);
}

void remove_before_abort(int) { remove_target_directory_after_failure(); }

}  // namespace

void remove_target_directory_on_abort() { signal(SIGABRT, remove_before_abort); }

void show_failures_in_message_box(const wchar_t* title) {
    message_box_wanted = true;
    message_box_title = title[0] != 0 ? title : nullptr;
}

void narrow_for_message(const wchar_t* text, char* output, size_t capacity) {
    size_t length = 0;
    while (text[length] != 0 && text[length] <= 0xFF && length + 1 < capacity) {
        output[length] = static_cast<char>(text[length]);
        ++length;
    }
    output[length] = 0;
}

void fatal_error(const char* message) {
    yield_to_a_stop_or_earlier_failure();
    line_add(message);
    line_add("\n");
    line_write(stdout);
    end_after_failure();
}

void fatal_template_error(const wchar_t* path_template) {
    yield_to_a_stop_or_earlier_failure();
    narrow_for_message(path_template, narrowed_text, message_text_capacity);
    line_add_formatted(format_template_error, narrowed_text);
    line_write(stderr);
    if (trace_enabled) trace_line("failed: %s", line);
    line_show();
    abort();
}

namespace {

// "<message> ([Error <code>] <system text>)" and the line end.
void add_os_error_line(const char* message, uint32_t error_code) {
    char* system_text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, error_code, 0x409, reinterpret_cast<char*>(&system_text), 0, nullptr);
    if (length == 0 || system_text == nullptr) {
        system_text = const_cast<char*>("");
    } else {
        // Only the line end goes; a final full stop or blank is part of the system's text.
        for (DWORD i = length; i > 0 && (system_text[i - 1] == '\r' || system_text[i - 1] == '\n'); --i) {
            system_text[i - 1] = 0;
        }
    }
    char code[decimal_text_capacity];
    decimal_text(code, static_cast<int32_t>(error_code), 1);  // as a signed 32-bit number
    line_add(message);
    line_add(" ([Error ");
    line_add(code);
    line_add("] ");
    line_add(system_text);
    line_add(")\n");
}

}  // namespace

void fatal_os_error(const char* message, uint32_t error_code) {
    yield_to_a_stop_or_earlier_failure();
    add_os_error_line(message, error_code);
    line_write(stderr);
    end_after_failure();
}

void fatal_load_error(const char* message, uint32_t error_code, const wchar_t* path) {
    yield_to_a_stop_or_earlier_failure();
    add_os_error_line(message, error_code);
    if (!add_missing_import_line(path)) {
        narrow_for_message(path, narrowed_text, message_text_capacity);
        line_add_formatted(format_failed_file, narrowed_text);
    }
    line_write(stderr);
    end_after_failure();
}

void report_missing_import(const wchar_t* path) {
    line_length = 0;
    line[0] = 0;
    if (add_missing_import_line(path)) line_write(stderr);
    line_length = 0;
    line[0] = 0;
}

void fatal_open_error(const wchar_t* path) {
    yield_to_a_stop_or_earlier_failure();
    narrow_for_message(path, narrowed_text, message_text_capacity);
    line_add_formatted(format_open_error, narrowed_text);
    line_write(stderr);
    end_after_failure();
}
