// Copying into the launcher's fixed-capacity wide buffers. A capacity always counts the
// terminating NUL. Text that would not fit ends the process through abort: a truncated
// path would silently name a different file.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cwchar>

inline void text_copy(wchar_t* destination, size_t capacity, const wchar_t* source) {
    size_t length = wcslen(source);
    if (length >= capacity) abort();
    wmemcpy(destination, source, length + 1);
}

inline void text_append(wchar_t* destination, size_t capacity, const wchar_t* source) {
    size_t used = wcslen(destination);
    size_t length = wcslen(source);
    if (used >= capacity || length >= capacity - used) abort();
    wmemcpy(destination + used, source, length + 1);
}

// Widens narrow text one byte at a time in the runtime's locale. A byte that does not
// give exactly one wide character, like text that does not fit, ends the process.
inline void text_widen(wchar_t* destination, size_t capacity, const char* source) {
    size_t length = 0;
    for (const char* p = source; *p != 0; ++p) {
        char single[2] = {*p, 0};
        wchar_t converted[2];
        if (mbstowcs(converted, single, 2) != 1 || length + 2 > capacity) abort();
        destination[length++] = converted[0];
    }
    destination[length] = 0;
}
