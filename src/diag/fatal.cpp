#include "diag/fatal.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "diag/messages.h"

namespace {

// Paths in messages are at most 4096 units; one byte each after narrowing.
constexpr size_t message_text_capacity = 4096 + 1;

char narrowed_text[message_text_capacity];

}  // namespace

void narrow_for_message(const wchar_t* text, char* output, size_t capacity) {
    size_t length = 0;
    while (text[length] != 0 && text[length] <= 0xFF && length + 1 < capacity) {
        output[length] = static_cast<char>(text[length]);
        ++length;
    }
    output[length] = 0;
}

void fatal_error(const char* message) {
    puts(message);
    exit(2);
}

void fatal_template_error(const wchar_t* path_template) {
    narrow_for_message(path_template, narrowed_text, message_text_capacity);
    fprintf(stderr, format_template_error, narrowed_text);
    abort();
}

void fatal_os_error(const char* message, uint32_t error_code) {
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
    exit(2);
}

void fatal_open_error(const wchar_t* path) {
    narrow_for_message(path, narrowed_text, message_text_capacity);
    fprintf(stderr, format_open_error, narrowed_text);
    exit(2);
}
