#include "diag/trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdlib>
#include <cwchar>

#include "common/decimal_text.h"
#include "paths/environment.h"

bool trace_enabled = false;

namespace {

// Lines are built on the caller's stack: the console handler's thread traces too. A
// path is cut rather than the line lost.
constexpr size_t trace_line_capacity = 1536;

HANDLE trace_output = INVALID_HANDLE_VALUE;
LARGE_INTEGER trace_began;
LARGE_INTEGER counter_frequency;

struct line_buffer {
    char text[trace_line_capacity];
    size_t length;

    // A trace line is one line: the line ends of a message it quotes become blanks.
    void add(char unit) {
        if (unit == '\r') return;
        if (length < trace_line_capacity - 2) text[length++] = unit == '\n' ? ' ' : unit;  // room for the line end
    }
    void add(const char* narrow) {
        for (; *narrow != 0; ++narrow) add(*narrow);
    }
    void add(const wchar_t* wide) {
        for (; *wide != 0; ++wide) add(*wide <= 0xFF ? static_cast<char>(*wide) : '?');
    }
    void add_number(long long value) {
        char digits[decimal_text_capacity];
        decimal_text(digits, value, 1);
        add(digits);
    }
    void add_unsigned(unsigned long long value) {
        char digits[decimal_text_capacity];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) add(digits[--count]);
    }
};

bool is_text(const wchar_t* value, const wchar_t* text) { return _wcsicmp(value, text) == 0; }

}  // namespace

void trace_start() {
    wchar_t* value = get_environment("TARVIX_TRACE");
    if (value == nullptr) return;
    if (is_text(value, L"0")) {
        free(value);
        return;
    }
    if (is_text(value, L"1") || is_text(value, L"stderr")) {
        trace_output = GetStdHandle(STD_ERROR_HANDLE);
    } else {
        // Appended to, shared with the run's other process and with readers: the lines of
        // the launcher and its child interleave whole.
        trace_output = CreateFileW(value, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    free(value);
    if (trace_output == nullptr || trace_output == INVALID_HANDLE_VALUE) return;
    QueryPerformanceFrequency(&counter_frequency);
    QueryPerformanceCounter(&trace_began);
    trace_enabled = true;
}

unsigned long long trace_milliseconds() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<unsigned long long>((now.QuadPart - trace_began.QuadPart) * 1000 / counter_frequency.QuadPart);
}

void trace_line(const char* format, ...) {
    line_buffer line;
    line.length = 0;
    line.add("[tarvix ");
    line.add_number(GetCurrentProcessId());
    line.add(" +");
    line.add_unsigned(trace_milliseconds());
    line.add(" ms] ");
    va_list arguments;
    va_start(arguments, format);
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%' || p[1] == 0) {
            line.add(*p);
            continue;
        }
        switch (*++p) {
            case 's': line.add(va_arg(arguments, const char*)); break;
            case 'w': line.add(va_arg(arguments, const wchar_t*)); break;
            case 'u': line.add_unsigned(va_arg(arguments, unsigned long long)); break;
            case 'd': line.add_number(va_arg(arguments, long long)); break;
            default: line.add(*p); break;
        }
    }
    va_end(arguments);
    while (line.length > 0 && line.text[line.length - 1] == ' ') --line.length;
    line.text[line.length++] = '\r';
    line.text[line.length++] = '\n';
    DWORD written = 0;
    WriteFile(trace_output, line.text, static_cast<DWORD>(line.length), &written, nullptr);
}
