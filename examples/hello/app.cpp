// The example application library. It shows what a packed application receives: its
// arguments, its own path, the launcher's variables, the files beside it and a data
// file that travelled in the payload. "--exit N" makes it return N.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "greeting.h"

namespace {

void print_variables() {
    const wchar_t* names[] = {L"TARVIX_ONEFILE_PARENT", L"TARVIX_ONEFILE_TIME_US", L"TARVIX_ONEFILE_RANDOM",
                              L"TARVIX_ONEFILE_START", L"TARVIX_ONEFILE_DIRECTORY", L"TARVIX_ORIGINAL_ARGV0"};
    for (const wchar_t* name : names) {
        const wchar_t* value = _wgetenv(name);
        printf("env %ls=%ls\n", name, value != nullptr ? value : L"(unset)");
    }
}

void print_directory(const wchar_t* directory, const wchar_t* prefix) {
    wchar_t pattern[4096];
    swprintf(pattern, 4096, L"%ls\\*", directory);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            wchar_t below[4096], shown[4096];
            swprintf(below, 4096, L"%ls\\%ls", directory, found.cFileName);
            swprintf(shown, 4096, L"%ls%ls\\", prefix, found.cFileName);
            print_directory(below, shown);
        } else {
            printf("file %ls%ls (%lu bytes)\n", prefix, found.cFileName, found.nFileSizeLow);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void print_motto(const wchar_t* directory) {
    wchar_t path[4096];
    swprintf(path, 4096, L"%ls\\data\\motto.txt", directory);
    FILE* file = _wfopen(path, L"r");
    if (file == nullptr) {
        printf("motto: missing\n");
        return;
    }
    char line[256] = {};
    if (fgets(line, sizeof line, file) != nullptr) {
        line[strcspn(line, "\r\n")] = 0;
        printf("motto: %s\n", line);
    }
    fclose(file);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* library_path) {
    printf("%ls\n", greeting_text());
    printf("argc=%d\n", argc);
    int exit_code = 0;
    for (int i = 0; i < argc; ++i) {
        printf("argv[%d]=%ls\n", i, argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc) exit_code = static_cast<int>(wcstoul(argv[i + 1], nullptr, 0));
    }
    printf("library=%ls\n", library_path);
    print_variables();

    wchar_t directory[4096];
    wcsncpy(directory, library_path, 4095);
    directory[4095] = 0;
    wchar_t* last_backslash = wcsrchr(directory, L'\\');
    if (last_backslash != nullptr) *last_backslash = 0;
    print_directory(directory, L"");
    print_motto(directory);
    printf("exit=%d\n", exit_code);
    fflush(stdout);
    return exit_code;
}
