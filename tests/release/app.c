// An application from other toolchains (clang for the MSVC target, linked by lld-link
// against kernel32 alone, without a C runtime; or mingw-w64), as a library or, built with
// APP_PROGRAM, as a program: it prints the data file that travels beside it and its first
// argument, and returns 7.
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef unsigned short WCHAR;

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
    WriteFile(GetStdHandle((DWORD)-11 /* standard output */), bytes, size, &done, 0);
}

__declspec(dllexport) int run_code(int argc, WCHAR** argv, const WCHAR* library_path) {
    static const WCHAR data_name[] = L"data\\greeting.txt";
    int folder_end = 0, at = 0;
    for (; library_path[at] != 0 && at < 900; ++at)
        if ((path[at] = library_path[at]) == '\\') folder_end = at + 1;
    for (at = 0; at == 0 || data_name[at - 1] != 0; ++at) path[folder_end + at] = data_name[at];

    // Read access, others may read, open an existing file.
    HANDLE file = CreateFileW(path, 0x80000000UL, 1, 0, 3, 0, 0);
    if (file == (HANDLE)(long long)-1) return put("no data file\n", 13), 3;
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

#ifdef APP_PROGRAM
__declspec(dllimport) WCHAR* GetCommandLineW(void);
__declspec(dllimport) DWORD GetModuleFileNameW(HANDLE module, WCHAR* name, DWORD size);
__declspec(dllimport) void ExitProcess(unsigned code);

static WCHAR own_path[1024], first[1024];

// The program's entry: its own path stands for the library's, its first argument is read
// from the command line (quotes taken away), and run_code's result is its exit code.
void program_start(void) {
    GetModuleFileNameW(0, own_path, 1000);
    const WCHAR* line = GetCommandLineW();
    int quoted = 0, length = 0;
    for (; *line != 0 && (quoted || (*line != ' ' && *line != '\t')); ++line)
        if (*line == '"') quoted = !quoted;
    while (*line == ' ' || *line == '\t') ++line;
    for (; *line != 0 && (quoted || (*line != ' ' && *line != '\t')) && length < 1000; ++line)
        if (*line == '"') quoted = !quoted;
        else first[length++] = *line;
    WCHAR* arguments[] = {own_path, first};
    ExitProcess((unsigned)run_code(length > 0 ? 2 : 1, arguments, own_path));
}
#endif
