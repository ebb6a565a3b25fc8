#include "diag/fatal.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "diag/messages.h"
#include "state/run_state.h"
#include "target/removal.h"

namespace {

// Paths in messages are at most 4096 units; one byte each after narrowing.
constexpr size_t message_text_capacity = 4096 + 1;

char narrowed_text[message_text_capacity];

// A console event has its handler remove the directory and end the run: reporting the
// failure that its deletion caused would only hide the interruption.
void yield_to_a_stop() {
    if (stop_requested) wait_to_be_ended();
}

[[noreturn]] void end_after_failure() {
    remove_target_directory_after_failure();
    exit(2);
}

void remove_before_abort(int) { remove_target_directory_after_failure(); }

}  // namespace

void remove_target_directory_on_abort() { signal(SIGABRT, remove_before_abort); }

void narrow_for_message(const wchar_t* text, char* output, size_t capacity) {
    size_t length = 0;
    while (text[length] != 0 && text[length] <= 0xFF && length + 1 < capacity) {
        output[length] = static_cast<char>(text[length]);
        ++length;
    }
    output[length] = 0;
}

void fatal_error(const char* message) {
    yield_to_a_stop();
    puts(message);
    fflush(stdout);
    end_after_failure();
}

void fatal_template_error(const wchar_t* path_template) {
    yield_to_a_stop();
    narrow_for_message(path_template, narrowed_text, message_text_capacity);
    fprintf(stderr, format_template_error, narrowed_text);
    abort();
}

void fatal_os_error(const char* message, uint32_t error_code) {
    yield_to_a_stop();
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
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(static_cast<int32_t>(error_code)),
            system_text);
    end_after_failure();
}

void fatal_open_error(const wchar_t* path) {
    narrow_for_message(path, narrowed_text, message_text_capacity);
    fprintf(stderr, format_open_error, narrowed_text);
    end_after_failure();
}
