// The probe application that the end-to-end tests pack into real launchers, as a library
// and, built with PROBE_PROGRAM, as the same probe in a program of its own. run_code
// first reports what the launcher handed it as one JSON line on standard output, then
// works through its arguments from left to right. Arguments it does not know only show
// in that first report, so that tests can pass any text through.
//
//   --exit N               return N (decimal or 0x hex, all 32 bits)
//   --mark TEXT            report TEXT, so that a test knows how far the probe got
//   --sleep MS             sleep
//   --ignore-ctrl-c        handle console control events by ignoring them (on a console of
//                          its own when it has none)
//   --exit-on-ctrl-c N     handle console control events by ending the process with N (likewise)
//   --wait-for PATH        wait until PATH exists (at most two minutes)
//   --copy-tree DEST       copy every file beside the library, below too, into DEST
//   --run-again ARGS...    start the launcher (argv[0]) again with ARGS and report what
//                          that run printed and returned; takes the rest of the arguments
//   --run-again-through-cmd ARGS...  the same, started by "cmd /c"
//   --run PROGRAM ARGS...  the same with another program
//   --set NAME VALUE       set the variable, %NAME%s in VALUE expanded, for what the probe starts
//   --crash                make an access violation
//   --load NAME            load the library NAME by the system's search and report where
//                          it came from
//   --acl                  report the access list of the directory beside the library
//   --parent-modules       report the modules loaded in the process TARVIX_ONEFILE_PARENT names
//
// Every line is a JSON object with an "event" field; texts are escaped to ASCII, so that
// blanks, tabs, quotes and characters beyond ASCII are visible exactly.
#include <windows.h>
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr size_t path_capacity = 32768;

void append_json_unit(std::string& out, unsigned unit) {
    if (unit == '"' || unit == '\\') {
        out += '\\';
        out += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7f) {
        out += static_cast<char>(unit);
    } else {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04x", unit);
        out += escaped;
    }
}

std::string json_text(const wchar_t* text) {
    std::string out = "\"";
    for (const wchar_t* p = text; *p != 0; ++p) append_json_unit(out, static_cast<unsigned short>(*p));
    return out + "\"";
}

std::string json_text(const std::string& bytes) {
    std::string out = "\"";
    for (char byte : bytes) append_json_unit(out, static_cast<unsigned char>(byte));
    return out + "\"";
}

// The launcher's own messages share standard output, so every line goes out whole and
// at once.
void emit(const std::string& line) {
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

// Console events reach only programs on a console. The child of a launcher that has none
// (as the tests start it) has none either, so the probe takes one of its own to receive
// them; its output still goes where it went.
void join_a_console() {
    DWORD console_processes[1];
    if (GetConsoleProcessList(console_processes, 1) != 0) return;
    DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE handles[3];
    for (int i = 0; i < 3; ++i) handles[i] = GetStdHandle(kinds[i]);
    AllocConsole();
    for (int i = 0; i < 3; ++i) SetStdHandle(kinds[i], handles[i]);
}

void report_start(int argc, wchar_t** argv, const wchar_t* library_path) {
    std::string line = "{\"event\": \"start\", \"pid\": " + std::to_string(GetCurrentProcessId());
    line += ", \"argc\": " + std::to_string(argc) + ", \"argv\": [";
    for (int i = 0; i < argc; ++i) {
        if (i > 0) line += ", ";
        line += json_text(argv[i]);
    }
    line += "], \"library\": " + json_text(library_path);
    DWORD console_processes[1];
    line += std::string(", \"console\": ") + (GetConsoleProcessList(console_processes, 1) != 0 ? "true" : "false");
    // Where this code was really loaded from, which need not be what the launcher says.
    HMODULE own_module = nullptr;
    static wchar_t module_path[path_capacity];
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const wchar_t*>(&report_start), &own_module);
    GetModuleFileNameW(own_module, module_path, path_capacity);
    line += ", \"module\": " + json_text(module_path);
    static wchar_t current_directory[path_capacity];
    GetCurrentDirectoryW(path_capacity, current_directory);
    line += ", \"cwd\": " + json_text(current_directory) + ", \"env\": {";
    const wchar_t* names[] = {L"TARVIX_ONEFILE_PARENT",    L"TARVIX_ONEFILE_START",  L"TARVIX_ONEFILE_TIME_US",
                              L"TARVIX_ONEFILE_RANDOM",    L"TARVIX_ONEFILE_DIRECTORY",
                              L"TARVIX_ORIGINAL_ARGV0"};
    bool first = true;
    for (const wchar_t* name : names) {
        static wchar_t value[path_capacity];
        DWORD length = GetEnvironmentVariableW(name, value, path_capacity);
        bool present = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (!first) line += ", ";
        first = false;
        line += json_text(name) + ": " + (present ? json_text(value) : std::string("null"));
    }
    emit(line + "}}");
}

std::wstring directory_of(const wchar_t* path) {
    std::wstring directory = path;
    size_t last_backslash = directory.rfind(L'\\');
    if (last_backslash != std::wstring::npos) directory.resize(last_backslash);
    return directory;
}

// Copies the tree below source into destination; returns the number of files, or -1 at
// the first failure.
long copy_tree(const std::wstring& source, const std::wstring& destination) {
    if (!CreateDirectoryW(destination.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return -1;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((source + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    long files = 0;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring from = source + L"\\" + name;
        std::wstring to = destination + L"\\" + name;
        long copied = 1;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            copied = copy_tree(from, to);
        } else if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            copied = -1;
        }
        if (copied < 0) {
            files = -1;
            break;
        }
        files += copied;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

// Names, sizes and write times of everything below directory, to tell whether a run
// wrote anything there.
std::wstring tree_state(const std::wstring& directory) {
    std::wstring state;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return L"?";
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        wchar_t facts[96];
        swprintf(facts, 96, L" %lu:%lu:%lu:%lu;", found.nFileSizeHigh, found.nFileSizeLow,
                 found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime);
        state += name + facts;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) state += L"[" + tree_state(directory + L"\\" + name) + L"]";
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return state;
}

void append_quoted(std::wstring& command_line, const wchar_t* argument) {
    if (*argument != 0 && wcspbrk(argument, L" \t\"") == nullptr) {
        command_line += argument;
        return;
    }
    command_line += L'"';
    for (const wchar_t* p = argument;; ++p) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            ++backslashes;
            ++p;
        }
        if (*p == 0) {
            command_line.append(2 * backslashes, L'\\');
            break;
        }
        command_line.append(*p == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        command_line += *p;
    }
    command_line += L'"';
}

// Starts program (through cmd when through_cmd) with the probe's environment and
// standard error, reading its standard output through a pipe.
void run_again(const wchar_t* program, bool through_cmd, int argc, wchar_t** argv, int first,
               const wchar_t* library_path) {
    std::wstring command_line = through_cmd ? L"cmd /c " : L"";
    append_quoted(command_line, program);
    for (int i = first; i < argc; ++i) {
        command_line += L' ';
        append_quoted(command_line, argv[i]);
    }
    std::wstring directory = directory_of(library_path);
    std::wstring state_before = tree_state(directory);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
        emit("{\"event\": \"inner\", \"error\": \"pipe\"}");
        return;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring writable = command_line;
    BOOL started = CreateProcessW(through_cmd ? nullptr : program, &writable[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        emit("{\"event\": \"inner\", \"error\": \"start " + std::to_string(GetLastError()) + "\"}");
        return;
    }
    std::string output;
    char chunk[4096];
    DWORD count = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &count, nullptr) && count > 0) output.append(chunk, count);
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    bool unchanged = tree_state(directory) == state_before;
    emit("{\"event\": \"inner\", \"pid\": " + std::to_string(process.dwProcessId) +
         ", \"exit\": " + std::to_string(exit_code) + ", \"directory_unchanged\": " + (unchanged ? "true" : "false") +
         ", \"output\": " + json_text(output) + "}");
}

void report_load(const wchar_t* name) {
    HMODULE module = LoadLibraryW(name);
    static wchar_t module_path[path_capacity];
    if (module != nullptr) GetModuleFileNameW(module, module_path, path_capacity);
    emit("{\"event\": \"loaded\", \"name\": " + json_text(name) + ", \"module\": " +
         (module != nullptr ? json_text(module_path) : std::string("null")) +
         ", \"error\": " + std::to_string(module != nullptr ? 0 : GetLastError()) + "}");
}

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "\"?\"";
    std::string quoted = json_text(text);
    LocalFree(text);
    return quoted;
}

// The entries as stored, the protected flag (which Wine does not keep), and this
// process's user for comparison.
void report_acl(const wchar_t* library_path) {
    std::wstring directory = directory_of(library_path);
    PACL access_list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, &access_list, nullptr, &descriptor);
    std::string entries;
    for (DWORD i = 0; error == ERROR_SUCCESS && access_list != nullptr && i < access_list->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(access_list, i, reinterpret_cast<void**>(&entry))) continue;
        entries += std::string(entries.empty() ? "" : ", ") + "{\"type\": " + std::to_string(entry->Header.AceType) +
                   ", \"flags\": " + std::to_string(entry->Header.AceFlags) + ", \"mask\": " +
                   std::to_string(entry->Mask) + ", \"sid\": " + sid_text(&entry->SidStart) + "}";
    }
    HANDLE token = nullptr;
    unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    emit("{\"event\": \"acl\", \"error\": " + std::to_string(error) + ", \"entries\": [" + entries +
         "], \"user\": " + sid_text(reinterpret_cast<TOKEN_USER*>(user)->User.Sid) + "}");
    if (descriptor != nullptr) LocalFree(descriptor);
}

void report_parent_modules() {
    wchar_t value[32];
    DWORD length = GetEnvironmentVariableW(L"TARVIX_ONEFILE_PARENT", value, 32);
    HANDLE parent = length > 0 && length < 32
                        ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, wcstoul(value, nullptr, 10))
                        : nullptr;
    HMODULE modules[1024];
    DWORD needed = 0;
    std::string names;
    if (parent != nullptr && EnumProcessModules(parent, modules, sizeof modules, &needed)) {
        for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; ++i) {
            wchar_t name[MAX_PATH];
            if (GetModuleBaseNameW(parent, modules[i], name, MAX_PATH) == 0) continue;
            names += std::string(names.empty() ? "" : ", ") + json_text(name);
        }
    }
    if (parent != nullptr) CloseHandle(parent);
    emit("{\"event\": \"parent_modules\", \"modules\": [" + names + "]}");
}

BOOL WINAPI ignore_control_event(DWORD) { return TRUE; }

UINT exit_code_on_control_event = 0;

BOOL WINAPI exit_on_control_event(DWORD) { ExitProcess(exit_code_on_control_event); }

LONG WINAPI end_with_exception_code(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

volatile int* volatile no_memory = nullptr;

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* library_path) {
    report_start(argc, argv, library_path);
    unsigned long result = 0;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* option = argv[i];
        bool has_value = i + 1 < argc;
        if (wcscmp(option, L"--exit") == 0 && has_value) {
            result = wcstoul(argv[++i], nullptr, 0);
        } else if (wcscmp(option, L"--mark") == 0 && has_value) {
            emit("{\"event\": \"mark\", \"text\": " + json_text(argv[++i]) + "}");
        } else if (wcscmp(option, L"--sleep") == 0 && has_value) {
            Sleep(wcstoul(argv[++i], nullptr, 10));
        } else if (wcscmp(option, L"--ignore-ctrl-c") == 0) {
            join_a_console();
            SetConsoleCtrlHandler(ignore_control_event, TRUE);
        } else if (wcscmp(option, L"--exit-on-ctrl-c") == 0 && has_value) {
            exit_code_on_control_event = wcstoul(argv[++i], nullptr, 0);
            join_a_console();
            SetConsoleCtrlHandler(exit_on_control_event, TRUE);
        } else if (wcscmp(option, L"--wait-for") == 0 && has_value) {
            const wchar_t* path = argv[++i];
            bool found = false;
            for (int waited = 0; waited < 120000 && !found; waited += 50) {
                found = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
                if (!found) Sleep(50);
            }
            emit(std::string("{\"event\": \"waited\", \"found\": ") + (found ? "true" : "false") + "}");
        } else if (wcscmp(option, L"--copy-tree") == 0 && has_value) {
            long files = copy_tree(directory_of(library_path), argv[++i]);
            emit("{\"event\": \"copied\", \"files\": " + std::to_string(files) + "}");
        } else if (wcscmp(option, L"--run-again") == 0 || wcscmp(option, L"--run-again-through-cmd") == 0) {
            run_again(argv[0], wcscmp(option, L"--run-again") != 0, argc, argv, i + 1, library_path);
            break;
        } else if (wcscmp(option, L"--run") == 0 && has_value) {
            run_again(argv[i + 1], false, argc, argv, i + 2, library_path);
            break;
        } else if (wcscmp(option, L"--set") == 0 && i + 2 < argc) {
            static wchar_t value[path_capacity];
            ExpandEnvironmentStringsW(argv[i + 2], value, path_capacity);
            SetEnvironmentVariableW(argv[i + 1], value);
            i += 2;
        } else if (wcscmp(option, L"--load") == 0 && has_value) {
            report_load(argv[++i]);
        } else if (wcscmp(option, L"--acl") == 0) {
            report_acl(library_path);
        } else if (wcscmp(option, L"--parent-modules") == 0) {
            report_parent_modules();
        } else if (wcscmp(option, L"--crash") == 0) {
            // Without the filter Wine would start its debugger; with it the process
            // ends at once, with the exception's code as its exit code.
            SetUnhandledExceptionFilter(end_with_exception_code);
            *no_memory = 1;
        }
    }
    emit("{\"event\": \"end\", \"exit\": " + std::to_string(result) + "}");
    return static_cast<int>(result);
}

#ifdef PROBE_PROGRAM
extern "C" {
int _dowildcard = -1;  // as the launcher's own runtime expands "*.txt"
}

int wmain(int argc, wchar_t** argv) {
    static wchar_t self[path_capacity];
    DWORD length = GetModuleFileNameW(nullptr, self, path_capacity);
    if (length == 0 || length >= path_capacity) return 1;
    return run_code(argc, argv, self);
}
#endif
