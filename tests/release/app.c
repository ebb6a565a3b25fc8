// An application library from another toolchain: clang for the MSVC target, linked by
// lld-link against kernel32 alone, without a C runtime. It prints the data file that
// travels beside it and its first argument, and returns 7.
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef unsigned short WCHAR;

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define GENERIC_READ 0x80000000UL
#define FILE_SHARE_READ 1
#define OPEN_EXISTING 3
#define INVALID_HANDLE_VALUE ((HANDLE)(long long)-1)

__declspec(dllimport) HANDLE GetStdHandle(DWORD which);
__declspec(dllimport) int WriteFile(HANDLE file, const void* data, DWORD size, DWORD* done, void* overlapped);
__declspec(dllimport) HANDLE CreateFileW(const WCHAR* name, DWORD access, DWORD share, void* security,
                                         DWORD disposition, DWORD flags, HANDLE model);
__declspec(dllimport) int ReadFile(HANDLE file, void* data, DWORD size, DWORD* done, void* overlapped);
__declspec(dllimport) int CloseHandle(HANDLE handle);

static char text[2048];
static WCHAR path[1024];

static void put(const char* bytes, DWORD size) {
    DWORD done;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, size, &done, 0);
}

__declspec(dllexport) int run_code(int argc, WCHAR** argv, const WCHAR* library_path) {
    static const WCHAR data_name[] = L"data\\greeting.txt";
    int folder_end = 0, at = 0;
    for (; library_path[at] != 0 && at < 900; ++at) {
        path[at] = library_path[at];
        if (path[at] == '\\') folder_end = at + 1;
    }
    for (at = 0; data_name[at] != 0; ++at) path[folder_end + at] = data_name[at];
    path[folder_end + at] = 0;

    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) {
        put("no data file\n", 13);
        return 3;
    }
    DWORD size = 0;
    ReadFile(file, text, sizeof text, &size, 0);
    CloseHandle(file);
    put(text, size);

    DWORD length = 0;
    for (WCHAR* unit = argc > 1 ? argv[1] : L""; *unit != 0 && length < sizeof text; ++unit)
        text[length++] = *unit < 0x80 ? (char)*unit : '?';
    put("argument: ", 10);
    put(text, length);
    put("\n", 1);
    return 7;
}
