#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/nt_calls.h"
#include "import_hook.h"
#include "paths/environment.h"
#include "paths/path_template.h"
#include "state/run_state.h"

namespace {

// Exit status of the runtime's abort.
const auto aborted = testing::ExitedWithCode(3);

const char* const published_variables[] = {"TARVIX_ONEFILE_PARENT", "TARVIX_ONEFILE_START", "TARVIX_ONEFILE_TIME_US",
                                           "TARVIX_ONEFILE_RANDOM"};

// Starts every case with none of the variables the expansion reads and with a known
// argv[0], and leaves nothing of either behind.
class path_template : public testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        saved_count_ = program_argument_count;
        saved_arguments_ = program_arguments;
        set_program(L"C:\\apps\\tool.exe");
    }
    void TearDown() override {
        clear_variables();
        program_argument_count = saved_count_;
        program_arguments = saved_arguments_;
    }

    void set_program(const wchar_t* argv0) {
        argv0_ = argv0;
        arguments_[0] = &argv0_[0];
        arguments_[1] = nullptr;
        program_arguments = arguments_;
        program_argument_count = 1;
    }

    static void clear_variables() {
        for (const char* name : published_variables) set_environment(name, nullptr);
    }

    static std::wstring variable(const char* name) {
        wchar_t* value = get_environment(name);
        if (value == nullptr) return L"<absent>";
        std::wstring text = value;
        free(value);
        return text;
    }

    // The system's temporary directory without its trailing backslashes.
    static std::wstring temp_directory() {
        wchar_t buffer[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
        std::wstring text(buffer, length);
        while (!text.empty() && text.back() == L'\\') text.pop_back();
        return text;
    }

private:
    int saved_count_ = 0;
    wchar_t** saved_arguments_ = nullptr;
    std::wstring argv0_;
    wchar_t* arguments_[2] = {};
};

struct expansion_result {
    bool ok;
    std::wstring text;
};

expansion_result expand(const wchar_t* path_template, size_t capacity = 4096) {
    std::vector<wchar_t> output(capacity + 1, L'#');
    bool ok = expand_path_template(output.data(), path_template, capacity);
    return {ok, output.data()};
}

bool is_base64url(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'_';
}

bool all_digits(const std::wstring& text) {
    if (text.empty()) return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
    }
    return true;
}

// ---- The {RANDOM} text ----------------------------------------------------------------

wchar_t reference_base64url(unsigned value) {
    if (value < 26) return static_cast<wchar_t>(L'A' + value);
    if (value < 52) return static_cast<wchar_t>(L'a' + value - 26);
    if (value < 62) return static_cast<wchar_t>(L'0' + value - 52);
    return value == 62 ? L'-' : L'_';
}

TEST(random_text, is_the_eight_bytes_in_base64url_without_fill) {
    // The bytes packed first-to-last into one 64-bit number, read as 6-bit groups from
    // the top; the eleventh group runs two zero bits past the end.
    uint8_t bytes[8] = {0xFB, 0xFF, 0x00, 0x10, 0x83, 0x3E, 0x7F, 0xA5};
    for (int round = 0; round < 500; ++round) {
        uint64_t packed = 0;
        for (uint8_t byte : bytes) packed = (packed << 8) | byte;
        std::wstring expected;
        for (int group = 0; group < 11; ++group) {
            int low_bit = 64 - 6 * (group + 1);
            uint64_t bits = low_bit >= 0 ? packed >> low_bit : packed << -low_bit;
            expected += reference_base64url(static_cast<unsigned>(bits & 63));
        }
        wchar_t output[16];
        wmemset(output, L'#', 16);
        random_text_from_bytes(bytes, output);
        ASSERT_EQ(expected, output) << "round " << round;
        ASSERT_EQ(L'#', output[12]);  // eleven characters and the NUL, nothing more
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(byte * 167 + round);
    }
}

// ---- Run-to-run values ---------------------------------------------------------------

TEST_F(path_template, random_is_made_once_published_and_reused) {
    expansion_result first = expand(L"{RANDOM}|{RANDOM}");
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(23u, first.text.size()) << first.text;
    std::wstring random = first.text.substr(0, 11);
    EXPECT_EQ(random + L"|" + random, first.text);
    for (wchar_t c : random) EXPECT_TRUE(is_base64url(c)) << first.text;
    EXPECT_EQ(random, variable("TARVIX_ONEFILE_RANDOM"));

    expansion_result second = expand(L"x{random}");
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(L"x" + random, second.text);
    EXPECT_EQ(random, variable("TARVIX_ONEFILE_RANDOM"));
}

TEST_F(path_template, inherited_values_are_used_whatever_their_form) {
    const wchar_t* inherited[] = {L"abc", L"a value longer than eleven, with {braces} and \\ backslashes", L"-"};
    for (const wchar_t* value : inherited) {
        set_environment("TARVIX_ONEFILE_RANDOM", value);
        set_environment("TARVIX_ONEFILE_TIME_US", value);
        set_environment("TARVIX_ONEFILE_START", value);
        expansion_result result = expand(L"{RANDOM}/{TIME_US}/{TIME}");
        ASSERT_TRUE(result.ok);
        std::wstring v = value;
        EXPECT_EQ(v + L"/" + v + L"/" + v, result.text);
        // Never written back.
        EXPECT_EQ(v, variable("TARVIX_ONEFILE_RANDOM"));
        EXPECT_EQ(v, variable("TARVIX_ONEFILE_TIME_US"));
        EXPECT_EQ(v, variable("TARVIX_ONEFILE_START"));
    }
}

TEST_F(path_template, empty_variables_count_as_absent) {
    set_environment("TARVIX_ONEFILE_TIME_US", L"");
    set_environment("TARVIX_ONEFILE_RANDOM", L"");
    expansion_result result = expand(L"{TIME_US}_{RANDOM}");
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(18u, result.text.size()) << result.text;
    std::wstring time_us = result.text.substr(0, 6);
    EXPECT_TRUE(all_digits(time_us)) << result.text;
    EXPECT_EQ(time_us, variable("TARVIX_ONEFILE_TIME_US"));
    EXPECT_EQ(result.text.substr(7), variable("TARVIX_ONEFILE_RANDOM"));
}

// A system time for the {TIME} and {TIME_US} cases, in 100-nanosecond units.
uint64_t fake_system_time = 0;

void WINAPI fake_get_system_time(FILETIME* time) {
    time->dwLowDateTime = static_cast<DWORD>(fake_system_time);
    time->dwHighDateTime = static_cast<DWORD>(fake_system_time >> 32);
}

TEST_F(path_template, time_us_is_six_digits_of_the_microseconds) {
    const uint64_t base = 133000000000000000ull;  // a whole second
    struct case_ {
        uint64_t system_time;
        const wchar_t* time_us;
        const wchar_t* time;
    };
    const case_ cases[] = {
        {base + 420, L"000042", L"133000000000000420"},
        {base + 429, L"000042", L"133000000000000429"},
        {base, L"000000", L"133000000000000000"},
        {base + 9999999, L"999999", L"133000000009999999"},
        {base + 1234560, L"123456", L"133000000001234560"},
        {10, L"000001", L"10"},
    };
    scoped_import_hook hook("kernel32.dll", "GetSystemTimeAsFileTime",
                            reinterpret_cast<void*>(&fake_get_system_time));
    for (const case_& c : cases) {
        clear_variables();
        fake_system_time = c.system_time;
        expansion_result result = expand(L"{TIME_US} {TIME}");
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(std::wstring(c.time_us) + L" " + c.time, result.text);
        EXPECT_EQ(c.time_us, variable("TARVIX_ONEFILE_TIME_US"));
        EXPECT_EQ(c.time, variable("TARVIX_ONEFILE_START"));
    }
}

TEST_F(path_template, time_us_from_the_system_clock_is_six_digits) {
    expansion_result result = expand(L"{TIME_US}");
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(6u, result.text.size()) << result.text;
    EXPECT_TRUE(all_digits(result.text)) << result.text;
}

// ---- {PID} ---------------------------------------------------------------------------

TEST_F(path_template, pid_takes_digits_from_the_variable_or_the_own_process_id) {
    std::wstring own = std::to_wstring(GetCurrentProcessId());
    expansion_result result = expand(L"p{PID}");
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(L"p" + own, result.text);
    EXPECT_EQ(L"<absent>", variable("TARVIX_ONEFILE_PARENT"));  // not published

    // Digits are taken as they are, whatever process they name.
    const wchar_t* inherited[] = {L"4", L"0001234", L"4294967295"};
    for (const wchar_t* value : inherited) {
        set_environment("TARVIX_ONEFILE_PARENT", value);
        result = expand(L"{PID}");
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(value, result.text);
        EXPECT_EQ(value, variable("TARVIX_ONEFILE_PARENT"));
    }

    set_environment("TARVIX_ONEFILE_PARENT", L"");
    result = expand(L"{PID}");
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(own, result.text);
}

TEST_F(path_template, pid_that_is_not_a_32_bit_number_in_digits_aborts) {
    const wchar_t* malformed[] = {L"-12", L"+12", L" 12", L"12a", L"4294967296", L"\xFF11"};
    for (const wchar_t* value : malformed) {
        SCOPED_TRACE(testing::Message() << "value " << testing::PrintToString(std::wstring(value)));
        set_environment("TARVIX_ONEFILE_PARENT", value);
        EXPECT_EXIT(expand(L"{PID}"), aborted, "");
    }
}

// ---- {PROGRAM}, {PROGRAM_BASE}, {PROGRAM_DIR} ----------------------------------------

TEST_F(path_template, program_base_and_dir_cut_argv0) {
    struct case_ {
        const wchar_t* argv0;
        const wchar_t* base;
        const wchar_t* dir;
    };
    const case_ cases[] = {
        {L"C:\\dir\\app.exe", L"C:\\dir\\app", L"C:\\dir"},
        {L"C:\\dir\\APP.EXE", L"C:\\dir\\APP", L"C:\\dir"},
        {L"C:\\dir\\app.Exe", L"C:\\dir\\app", L"C:\\dir"},
        {L"C:\\dir\\tool.com", L"C:\\dir\\tool.com", L"C:\\dir"},
        {L"C:\\dir\\app.exe.exe", L"C:\\dir\\app.exe", L"C:\\dir"},
        {L"C:\\dir\\app.exe\\", L"C:\\dir\\app.exe\\", L"C:\\dir\\app.exe"},
        {L"exe", L"exe", L"exe"},
        {L"abc", L"abc", L"abc"},
        {L".exe", L"", L".exe"},
        {L"app.exe", L"app", L"app.exe"},
        {L"\\app.exe", L"\\app", L""},
        {L"C:/dir/app.exe", L"C:/dir/app", L"C:/dir/app.exe"},
        {L"C:\\a/b\\c/app.exe", L"C:\\a/b\\c/app", L"C:\\a/b"},
        {L"\\\\server\\share\\app.exe", L"\\\\server\\share\\app", L"\\\\server\\share"},
        {L"", L"", L""},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::Message() << "argv[0] " << testing::PrintToString(std::wstring(c.argv0)));
        set_program(c.argv0);
        expansion_result result = expand(L"[{PROGRAM}][{PROGRAM_BASE}][{Program_Dir}]");
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(L"[" + std::wstring(c.argv0) + L"][" + c.base + L"][" + c.dir + L"]", result.text);
    }
}

TEST_F(path_template, program_without_argv0_aborts) {
    program_arguments = nullptr;
    program_argument_count = 0;
    EXPECT_EXIT(expand(L"{PROGRAM}"), aborted, "");
}

// ---- {TEMP} --------------------------------------------------------------------------

TEST_F(path_template, temp_never_ends_in_a_backslash) {
    std::wstring temp = temp_directory();
    ASSERT_FALSE(temp.empty());
    for (const wchar_t* spelling : {L"{TEMP}", L"{temp}", L"{Temp}", L"{tEmP}"}) {
        expansion_result result = expand(spelling);
        ASSERT_TRUE(result.ok) << spelling;
        EXPECT_EQ(temp, result.text) << spelling;
    }
    expansion_result result = expand(L"{TEMP}\\\\x\\{TEMP}");
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(temp + L"\\\\x\\" + temp, result.text);
}

TEST_F(path_template, default_target_template_has_one_backslash_before_onefile) {
    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    set_environment("TARVIX_ONEFILE_PARENT", pid.c_str());
    expansion_result result = expand(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    ASSERT_TRUE(result.ok);
    std::wstring expected_start = temp_directory() + L"\\onefile_" + pid + L"_";
    ASSERT_EQ(expected_start, result.text.substr(0, expected_start.size())) << result.text;
    EXPECT_EQ(std::wstring::npos, result.text.find(L"\\\\")) << result.text;

    std::wstring rest = result.text.substr(expected_start.size());  // TIME_US _ RANDOM
    ASSERT_EQ(18u, rest.size()) << result.text;
    EXPECT_TRUE(all_digits(rest.substr(0, 6))) << result.text;
    EXPECT_EQ(L'_', rest[6]);
    EXPECT_EQ(rest.substr(0, 6), variable("TARVIX_ONEFILE_TIME_US"));
    EXPECT_EQ(rest.substr(7), variable("TARVIX_ONEFILE_RANDOM"));
}

// What the faked GetTempPathW writes; nullptr makes it fail.
const wchar_t* fake_temp_text = nullptr;

DWORD WINAPI fake_get_temp_path(DWORD size, LPWSTR buffer) {
    if (fake_temp_text == nullptr) return 0;
    DWORD length = static_cast<DWORD>(wcslen(fake_temp_text));
    if (length + 1 > size) return length + 1;
    wmemcpy(buffer, fake_temp_text, length + 1);
    return length;
}

TEST_F(path_template, temp_that_yields_nothing_takes_the_backslashes_before_it) {
    struct case_ {
        const wchar_t* temp;
        const wchar_t* path_template;
        const wchar_t* expected;
    };
    const case_ cases[] = {
        {nullptr, L"x\\{TEMP}", L"x"},
        {nullptr, L"x\\\\{TEMP}\\y", L"x\\y"},
        {nullptr, L"\\\\{TEMP}", L""},
        {nullptr, L"a{TEMP}b", L"ab"},
        {L"D:\\tmp\\\\\\", L"{TEMP}\\x", L"D:\\tmp\\x"},
        {L"D:\\tmp", L"{TEMP}\\x", L"D:\\tmp\\x"},
        {L"\\", L"c:\\{TEMP}", L"c:"},
    };
    scoped_import_hook hook("kernel32.dll", "GetTempPathW", reinterpret_cast<void*>(&fake_get_temp_path));
    for (const case_& c : cases) {
        fake_temp_text = c.temp;
        expansion_result result = expand(c.path_template);
        EXPECT_TRUE(result.ok) << c.path_template;
        EXPECT_EQ(c.expected, result.text) << c.path_template;
    }
}

TEST_F(path_template, temp_without_room_yields_nothing) {
    // The real GetTempPathW, told of fewer places than its path needs.
    expansion_result result = expand(L"x\\{TEMP}", 4);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(L"x", result.text);
}

// ---- Scanning ------------------------------------------------------------------------

TEST_F(path_template, scans_literals_names_and_braces) {
    std::wstring temp = temp_directory();
    struct case_ {
        std::wstring path_template;
        bool ok;
        std::wstring expected;
    };
    const case_ cases[] = {
        {L"", true, L""},
        {L"plain\\text", true, L"plain\\text"},
        {L"abc{}def", false, L"abc"},
        {L"abc{TEMPX}def", false, L"abc"},
        {L"abc{ TEMP}", false, L"abc"},
        {L"abc{TEMP", true, L"abc"},
        {L"abc{", true, L"abc"},
        {L"{PRO{TEMP}", true, temp},
        {L"{{{COMPANY}", true, L"Test Company"},
        {L"a}b", true, L"a}b"},
        {L"{COMPANY}}", true, L"Test Company}"},
        {L"pre{" + std::wstring(1023, L'A') + L"}", false, L"pre"},
        {L"pre{" + std::wstring(1024, L'A') + L"}", false, L"pre"},
        {L"pre{" + std::wstring(5000, L'A') + L"}post", false, L"pre"},
        {L"pre{" + std::wstring(5000, L'A'), false, L"pre"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::Message() << "template " << testing::PrintToString(c.path_template.substr(0, 60)));
        expansion_result result = expand(c.path_template.c_str());
        EXPECT_EQ(c.ok, result.ok);
        EXPECT_EQ(c.expected, result.text);
    }
}

TEST_F(path_template, version_record_placeholders_give_the_build_constants) {
    const std::wstring company = tarvix_company_name;
    const std::wstring product = tarvix_product_name;
    const std::wstring version = tarvix_version;
    ASSERT_EQ(L"Test Company", company);
    struct case_ {
        const wchar_t* path_template;
        std::wstring expected;
    };
    const case_ cases[] = {
        {L"{COMPANY}|{PRODUCT}|{VERSION}", company + L"|" + product + L"|" + version},
        {L"{FILE_VERSION}|{PRODUCT_VERSION}", version + L"|" + version},
        {L"{company}\\{Product}\\{file_Version}", company + L"\\" + product + L"\\" + version},
    };
    for (const case_& c : cases) {
        expansion_result result = expand(c.path_template);
        EXPECT_TRUE(result.ok) << c.path_template;
        EXPECT_EQ(c.expected, result.text) << c.path_template;
    }
}

// ---- Capacity ------------------------------------------------------------------------

TEST_F(path_template, literal_text_that_does_not_fit_returns_false_with_what_fitted) {
    const std::wstring text = L"0123456789";
    for (size_t capacity = 1; capacity <= text.size() + 2; ++capacity) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        std::vector<wchar_t> output(capacity + 4, L'#');
        bool ok = expand_path_template(output.data(), text.c_str(), capacity);
        EXPECT_EQ(capacity >= text.size() + 1, ok);
        EXPECT_EQ(text.substr(0, capacity - 1), output.data());
        EXPECT_EQ(L'#', output[capacity]);  // nothing written past the capacity
    }
}

TEST_F(path_template, value_that_fits_exactly_is_appended) {
    // "Test Company" has 12 characters; with the NUL it fills 13 places.
    expansion_result result = expand(L"{COMPANY}", 13);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(L"Test Company", result.text);
    result = expand(L"ab{PRODUCT}", 15);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(L"abTest Product", result.text);
    // {PROGRAM_BASE} needs room for the whole argv[0] before it cuts ".exe" off.
    set_program(L"C:\\d\\p.exe");
    result = expand(L"{PROGRAM_BASE}", 11);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(L"C:\\d\\p", result.text);
}

TEST_F(path_template, value_that_does_not_fit_aborts) {
    EXPECT_EXIT(expand(L"{COMPANY}", 12), aborted, "");
    EXPECT_EXIT(expand(L"ab{PRODUCT}", 14), aborted, "");
    set_program(L"C:\\d\\p.exe");
    EXPECT_EXIT(expand(L"{PROGRAM_BASE}", 10), aborted, "");
}

// ---- {HOME} and {CACHE_DIR} ----------------------------------------------------------

using get_proc_address_function = FARPROC(WINAPI*)(HMODULE, LPCSTR);
get_proc_address_function real_get_proc_address = nullptr;
bool profile_known = true;
int expansions_for_user = 0;

BOOL WINAPI fake_profile_directory(HANDLE token, LPWSTR path, LPDWORD size) {
    if (token == nullptr || !profile_known) return FALSE;
    wcscpy(path, L"C:\\Users\\me");
    *size = 12;
    return TRUE;
}

// The token's user's environment, not the process's: Wine's own expands from the latter.
BOOL WINAPI fake_expand_for_user(HANDLE token, LPCWSTR text, LPWSTR output, DWORD capacity) {
    ++expansions_for_user;
    std::wstring expanded = text;
    if (token == nullptr || expanded.find(L"%USERPROFILE%") != 0) return FALSE;
    expanded.replace(0, 13, L"D:");
    if (expanded.size() >= capacity) return FALSE;
    wcscpy(output, expanded.c_str());
    return TRUE;
}

FARPROC WINAPI get_proc_address_with_fake_profile(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && strcmp(name, "GetUserProfileDirectoryW") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_profile_directory));
    }
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && strcmp(name, "ExpandEnvironmentStringsForUserW") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_expand_for_user));
    }
    return real_get_proc_address(module, name);
}

// The stored values a case gives: the user's shell folder (nullptr: none) and the profile
// list's folder of the user (nullptr: the system's own).
using query_value_function = NTSTATUS(NTAPI*)(HANDLE, UNICODE_STRING*, int, void*, ULONG, ULONG*);
query_value_function real_query_value = nullptr;
const wchar_t* stored_local_app_data = nullptr;
const wchar_t* stored_profile_image = nullptr;

NTSTATUS NTAPI fake_query_value(HANDLE key, UNICODE_STRING* name, int kind, void* data, ULONG size, ULONG* returned) {
    std::wstring value_name(name->Buffer, name->Length / sizeof(wchar_t));
    const wchar_t* stored = value_name == L"Local AppData" ? stored_local_app_data : stored_profile_image;
    if (value_name == L"ProfileImagePath" && stored == nullptr) {
        return real_query_value(key, name, kind, data, size, returned);
    }
    constexpr NTSTATUS object_name_not_found = static_cast<NTSTATUS>(0xC0000034);
    if (stored == nullptr) return object_name_not_found;
    auto record = static_cast<key_value_partial*>(data);
    ULONG bytes = static_cast<ULONG>((wcslen(stored) + 1) * sizeof(wchar_t));
    if (kind != key_value_partial_information || size < sizeof *record + bytes) return status_buffer_overflow;
    *record = {0, REG_EXPAND_SZ, bytes, {}};
    memcpy(record->data, stored, bytes);
    *returned = sizeof *record + bytes;
    return 0;
}

// The system's own USERENV, without the fakes.
std::wstring userenv_expansion(const wchar_t* text) {
    using expand_function = BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, DWORD);
    FARPROC found = real_get_proc_address(LoadLibraryW(L"userenv.dll"), "ExpandEnvironmentStringsForUserW");
    auto expand = reinterpret_cast<expand_function>(reinterpret_cast<void*>(found));
    HANDLE token = nullptr;
    wchar_t output[MAX_PATH] = {};
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE, &token) ||
        !expand(token, text, output, MAX_PATH)) {
        output[0] = 0;
    }
    CloseHandle(token);
    return output;
}

TEST_F(path_template, home_and_cache_dir_come_from_the_token_and_the_shell_folder_settings) {
    scoped_import_hook lookup("kernel32.dll", "GetProcAddress",
                              reinterpret_cast<void*>(&get_proc_address_with_fake_profile));
    scoped_import_hook registry("ntdll.dll", "NtQueryValueKey", reinterpret_cast<void*>(&fake_query_value));
    real_get_proc_address = reinterpret_cast<get_proc_address_function>(lookup.original());
    real_query_value = reinterpret_cast<query_value_function>(registry.original());
    // What the system's USERENV makes of the usual value, while this process's
    // environment is still the one the system gave it.
    std::wstring usual = userenv_expansion(L"%USERPROFILE%\\Local");
    ASSERT_FALSE(usual.empty());
    wchar_t windows[MAX_PATH];
    ASSERT_NE(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring drive(windows, 2);
    profile_known = true;
    // Whatever the starter chose: neither is read.
    const std::wstring saved_profile = variable("USERPROFILE");
    const std::wstring saved_drive = variable("SystemDrive");
    SetEnvironmentVariableW(L"USERPROFILE", L"E:\\chosen by whoever started the launcher");
    SetEnvironmentVariableW(L"SystemDrive", L"F:");
    const struct {
        const wchar_t* local_app_data;
        const wchar_t* profile_image;
        std::wstring expected;
        int expansions_for_user;  // USERENV's, when the text names what only it knows
    } cases[] = {
        {L"%USERPROFILE%\\Local\\\\", nullptr, usual, 0},
        {L"%userprofile%\\Local", L"%SystemDrive%\\Users\\me", drive + L"\\Users\\me\\Local", 0},
        {L"%SystemRoot%\\Local", nullptr, std::wstring(windows) + L"\\Local", 0},
        {L"%USERPROFILE%\\Local%TEMP%", nullptr, L"D:\\Local%TEMP%", 1},
        {L"%USERPROFILE%\\100%", nullptr, L"D:\\100%", 1},
        {L"%USERPROFILE%\\Local", L"%HOMEDRIVE%\\Users\\me", L"D:\\Local", 1},
        {L"%USERPROFILE%\\Local", L"%USERPROFILE%", L"D:\\Local", 1},
        // Without a setting the folder has its default place in the profile.
        {nullptr, nullptr, L"C:\\Users\\me\\AppData\\Local", 0},
    };
    for (const auto& each : cases) {
        stored_local_app_data = each.local_app_data;
        stored_profile_image = each.profile_image;
        expansions_for_user = 0;
        expansion_result result = expand(L"{cache_dir}");
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(each.expected, result.text) << testing::PrintToString(std::wstring(
            each.local_app_data != nullptr ? each.local_app_data : L"<none>"));
        EXPECT_EQ(each.expansions_for_user, expansions_for_user);
    }
    stored_local_app_data = nullptr;
    stored_profile_image = nullptr;
    expansion_result result = expand(L"{HOME}\\a");
    set_environment("USERPROFILE", saved_profile != L"<absent>" ? saved_profile.c_str() : nullptr);
    set_environment("SystemDrive", saved_drive != L"<absent>" ? saved_drive.c_str() : nullptr);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(L"C:\\Users\\me\\a", result.text);

    profile_known = false;
    result = expand(L"x{HOME}");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(L"x", result.text);
    result = expand(L"y{CACHE_DIR}");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(L"y", result.text);
}

}  // namespace
