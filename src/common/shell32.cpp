#include "common/shell32.h"

#include <windows.h>

void* shell32_function(const char* name) {
    // Loading an already loaded library only counts a reference, so this stays cheap and
    // needs no cache shared between the main thread and the console handler's thread.
    HMODULE shell32 = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell32 == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(shell32, name));
}
