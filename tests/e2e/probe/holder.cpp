// holder FILE: opens FILE (or a directory) without delete sharing, says "holding" on standard output and
// keeps it open until standard input ends. Only another Windows process can hold a file
// against a Windows program's delete, so the tests start this one beside the launcher.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fputs("usage: holder FILE\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holder: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    puts("holding");
    fflush(stdout);
    char rest[256];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), rest, sizeof rest, &count, nullptr) && count > 0) {
    }
    CloseHandle(file);
    return 0;
}
