#include "common/system_library.h"

#include <windows.h>

void* system_function(const wchar_t* library, const char* name) {
    // Loading an already loaded library only counts a reference, so this stays cheap and
    // needs no cache shared between the main thread and the console handler's thread.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}
