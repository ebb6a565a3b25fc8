#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "import_hook.h"
#include "paths/executable_path.h"
#include "paths/long_path.h"

namespace {

// Exit status of the runtime's abort.
const auto aborted = testing::ExitedWithCode(3);

std::wstring module_path() {
    wchar_t buffer[executable_path_capacity];
    DWORD length = GetModuleFileNameW(nullptr, buffer, executable_path_capacity);
    return std::wstring(buffer, length);
}

std::wstring short_form(const std::wstring& path) {
    DWORD needed = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return L"<no short form>";
    std::vector<wchar_t> buffer(needed + 1);
    DWORD length = GetShortPathNameW(path.c_str(), buffer.data(), needed + 1);
    return std::wstring(buffer.data(), length);
}

// The text before and after the last backslash.
std::wstring directory_part(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }
std::wstring file_part(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

std::wstring resolved(const std::wstring& path, size_t capacity = executable_path_capacity) {
    std::vector<wchar_t> buffer(capacity, L'#');
    wmemcpy(buffer.data(), path.c_str(), path.size() + 1);
    resolve_final_path(buffer.data(), capacity);
    return buffer.data();
}

std::wstring shortened(const std::wstring& path, size_t capacity = executable_path_capacity) {
    std::vector<wchar_t> buffer(capacity + 64, L'#');
    wmemcpy(buffer.data(), path.c_str(), path.size() + 1);
    shorten_path(buffer.data(), capacity);
    return buffer.data();
}

bool starts_with_drive(const std::wstring& path) {
    return path.size() >= 2 && iswalpha(path[0]) && path[1] == L':';
}

// ---- get_executable_path -------------------------------------------------------------

using get_module_file_name_function = DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD);
get_module_file_name_function real_get_module_file_name = nullptr;
int module_file_name_calls = 0;

DWORD WINAPI counting_get_module_file_name(HMODULE module, LPWSTR buffer, DWORD size) {
    ++module_file_name_calls;
    return real_get_module_file_name(module, buffer, size);
}

// As the system reports a name that does not fit: cut, terminated, and the full size.
DWORD WINAPI truncated_module_file_name(HMODULE, LPWSTR buffer, DWORD size) {
    wmemset(buffer, L'd', size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

TEST(get_executable_path, name_cut_to_fit_aborts) {
    for (bool form : {false, true}) {
        EXPECT_EXIT(
            {
                scoped_import_hook hook("kernel32.dll", "GetModuleFileNameW",
                                        reinterpret_cast<void*>(&truncated_module_file_name));
                get_executable_path(form);
                exit(0);
            },
            aborted, "")
            << (form ? "resolved" : "plain");
    }
}

TEST(get_executable_path, computes_each_form_once_and_keeps_it) {
    const std::wstring plain = module_path();
    const std::wstring expected_resolved = resolved(plain);
    scoped_import_hook hook("kernel32.dll", "GetModuleFileNameW",
                            reinterpret_cast<void*>(&counting_get_module_file_name));
    real_get_module_file_name = reinterpret_cast<get_module_file_name_function>(hook.original());

    for (bool form : {false, true}) {
        SCOPED_TRACE(form ? "resolved" : "plain");
        module_file_name_calls = 0;
        const wchar_t* first = get_executable_path(form);
        int calls_for_first = module_file_name_calls;
        const wchar_t* second = get_executable_path(form);
        EXPECT_EQ(first, second);
        EXPECT_LE(calls_for_first, 1);  // 0 when an earlier case asked already
        EXPECT_EQ(calls_for_first, module_file_name_calls);
    }

    const wchar_t* plain_form = get_executable_path(false);
    const wchar_t* resolved_form = get_executable_path(true);
    EXPECT_NE(plain_form, resolved_form);
    EXPECT_EQ(plain, plain_form);
    EXPECT_EQ(expected_resolved, resolved_form);
    std::wstring resolved_text = resolved_form;
    EXPECT_TRUE(starts_with_drive(resolved_text)) << resolved_text;
    EXPECT_NE(0, wcsncmp(resolved_form, L"\\\\?\\", 4)) << resolved_text;
    EXPECT_EQ(file_part(plain), file_part(resolved_text));
}

// ---- resolve_final_path with a scripted GetFinalPathNameByHandleW ---------------------

using get_proc_address_function = FARPROC(WINAPI*)(HMODULE, LPCSTR);
get_proc_address_function real_get_proc_address = nullptr;

// What the faked GetFinalPathNameByHandleW reports, or a failure (0) or no such export.
std::wstring fake_final_text;
bool fake_final_fails = false;
bool final_path_absent = false;
int final_path_calls = 0;
DWORD final_path_size = 0;
DWORD final_path_flags = 0;

DWORD WINAPI fake_final_path(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
    ++final_path_calls;
    final_path_size = size;
    final_path_flags = flags;
    if (file == INVALID_HANDLE_VALUE || file == nullptr || fake_final_fails) return 0;
    DWORD length = static_cast<DWORD>(fake_final_text.size());
    if (length + 1 > size) return length + 1;  // the size needed, NUL included
    wmemcpy(buffer, fake_final_text.c_str(), length + 1);
    return length;
}

FARPROC WINAPI get_proc_address_with_fake_final_path(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && strcmp(name, "GetFinalPathNameByHandleW") == 0) {
        if (final_path_absent) return nullptr;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_final_path));
    }
    return real_get_proc_address(module, name);
}

// Opens a file that exists (the test program) and hands back the scripted final path.
class resolve_final_path_fake : public testing::Test {
protected:
    resolve_final_path_fake() {
        real_get_proc_address = reinterpret_cast<get_proc_address_function>(hook_.original());
        fake_final_text.clear();
        fake_final_fails = false;
        final_path_absent = false;
        final_path_calls = 0;
        final_path_size = 0;
        final_path_flags = ~0u;
    }

    const std::wstring existing_file = module_path();

private:
    scoped_import_hook hook_{"kernel32.dll", "GetProcAddress",
                             reinterpret_cast<void*>(&get_proc_address_with_fake_final_path)};
};

TEST_F(resolve_final_path_fake, rewrites_drive_and_network_prefixes_only) {
    struct case_ {
        const wchar_t* final_path;
        const wchar_t* expected;
    };
    // Directories that do not exist, so that shortening leaves them alone.
    const case_ cases[] = {
        {L"\\\\?\\C:\\tarvix_absent\\app.exe", L"C:\\tarvix_absent\\app.exe"},
        {L"\\\\?\\z:\\tarvix_absent\\dir\\app.exe", L"z:\\tarvix_absent\\dir\\app.exe"},
        {L"\\\\?\\UNC\\server\\share\\app.exe", L"\\\\server\\share\\app.exe"},
        {L"\\\\?\\UNC\\server\\share\\dir\\app.exe", L"\\\\server\\share\\dir\\app.exe"},
        {L"\\\\?\\unc\\server\\share\\app.exe", L"\\\\?\\unc\\server\\share\\app.exe"},
        {L"\\\\?\\Volume{0a1b2c3d-1111-2222-3333-444455556666}\\dir\\app.exe",
         L"\\\\?\\Volume{0a1b2c3d-1111-2222-3333-444455556666}\\dir\\app.exe"},
        {L"\\\\?\\CC:\\tarvix_absent\\app.exe", L"\\\\?\\CC:\\tarvix_absent\\app.exe"},
        {L"\\\\.\\C:\\tarvix_absent\\app.exe", L"\\\\.\\C:\\tarvix_absent\\app.exe"},
        {L"C:\\tarvix_absent\\app.exe", L"C:\\tarvix_absent\\app.exe"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::Message() << "final path " << testing::PrintToString(std::wstring(c.final_path)));
        fake_final_text = c.final_path;
        final_path_calls = 0;
        EXPECT_EQ(c.expected, resolved(existing_file, 2048));
        EXPECT_EQ(1, final_path_calls);
        EXPECT_EQ(2048u, final_path_size);
        EXPECT_EQ(0u, final_path_flags);
    }
}

TEST_F(resolve_final_path_fake, failing_or_absent_final_path_keeps_the_path_for_the_prefix_rules) {
    const std::wstring prefixed = L"\\\\?\\" + existing_file;
    const std::wstring expected = short_form(directory_part(existing_file)) + L"\\" + file_part(existing_file);

    fake_final_fails = true;
    EXPECT_EQ(expected, resolved(prefixed));
    EXPECT_EQ(1, final_path_calls);

    final_path_absent = true;
    final_path_calls = 0;
    EXPECT_EQ(expected, resolved(prefixed));
    EXPECT_EQ(0, final_path_calls);
}

TEST_F(resolve_final_path_fake, accepts_a_final_path_one_short_of_the_capacity) {
    for (size_t capacity : {executable_path_capacity, size_t{2048}}) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        std::wstring final_path = L"\\\\?\\C:\\tarvix_absent\\";
        final_path.append(capacity - 1 - final_path.size(), L'a');
        fake_final_text = final_path;
        EXPECT_EQ(final_path.substr(4), resolved(existing_file, capacity));
        EXPECT_EQ(capacity, final_path_size);
    }
}

TEST_F(resolve_final_path_fake, final_path_that_does_not_fit_aborts) {
    for (size_t capacity : {executable_path_capacity, size_t{2048}}) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        std::wstring final_path = L"\\\\?\\C:\\tarvix_absent\\";
        final_path.append(capacity - final_path.size(), L'a');
        fake_final_text = final_path;
        EXPECT_EXIT(resolved(existing_file, capacity), aborted, "");
    }
}

TEST(resolve_final_path, path_without_a_nul_within_capacity_aborts) {
    wchar_t path[32] = L"C:\\tarvix_absent\\app.exe";
    EXPECT_EXIT(resolve_final_path(path, 10), aborted, "");
}

// ---- Real files in a directory with a long name --------------------------------------

const wchar_t long_file_name[] = L"a file with a long name.txt";

class long_directory : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        ASSERT_GT(length, 0u);
        directory_ = std::wstring(temp, length) + L"tarvix resolve long directory " +
                     std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        file_ = directory_ + L"\\" + long_file_name;
        HANDLE file = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
        // Without short names on the volume these cases would prove nothing.
        ASSERT_EQ(std::wstring::npos, short_form(directory_).find(L"tarvix resolve")) << short_form(directory_);
    }
    void TearDown() override {
        DeleteFileW(file_.c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    // The system's own final path of the file, without the "\\?\" prefix.
    std::wstring system_final_path() const {
        HANDLE file = CreateFileW(file_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return L"<cannot open>";
        wchar_t buffer[executable_path_capacity];
        DWORD length = GetFinalPathNameByHandleW(file, buffer, executable_path_capacity, 0);
        CloseHandle(file);
        std::wstring text(buffer, length);
        return text.compare(0, 4, L"\\\\?\\") == 0 ? text.substr(4) : text;
    }

    std::wstring directory_;
    std::wstring file_;
};

TEST_F(long_directory, shortens_the_directory_and_keeps_the_long_file_name) {
    std::wstring final_path = system_final_path();
    ASSERT_TRUE(starts_with_drive(final_path)) << final_path;
    std::wstring expected = short_form(directory_part(final_path)) + L"\\" + long_file_name;
    std::wstring result = resolved(file_);
    EXPECT_EQ(expected, result);
    EXPECT_TRUE(starts_with_drive(result)) << result;
    EXPECT_EQ(std::wstring::npos, result.find(L"tarvix resolve")) << result;
}

TEST_F(long_directory, different_paths_of_one_file_resolve_to_the_same_text) {
    const std::wstring directory_name = file_part(directory_);
    const std::wstring spellings[] = {
        file_,
        L"\\\\?\\" + file_,
        short_form(directory_) + L"\\" + long_file_name,
        directory_ + L"\\..\\" + directory_name + L"\\" + long_file_name,
        system_final_path(),  // another drive mapping of the same file where the system has one
        L"\\\\?\\" + system_final_path(),
    };
    const std::wstring expected = resolved(file_);
    for (const std::wstring& spelling : spellings) {
        EXPECT_EQ(expected, resolved(spelling)) << "path " << testing::PrintToString(spelling);
        EXPECT_EQ(expected, resolved(spelling, 2048)) << "path " << testing::PrintToString(spelling);
    }
}

TEST_F(long_directory, path_that_cannot_be_opened_is_only_shortened) {
    const std::wstring missing = directory_ + L"\\missing file.txt";
    EXPECT_EQ(short_form(directory_) + L"\\missing file.txt", resolved(missing));

    // A "\\?\" prefix stays; only the directory changes.
    const std::wstring prefixed = L"\\\\?\\" + missing;
    std::wstring result = resolved(prefixed);
    EXPECT_EQ(short_form(L"\\\\?\\" + directory_) + L"\\missing file.txt", result);
    EXPECT_EQ(0, result.compare(0, 4, L"\\\\?\\")) << result;
    EXPECT_EQ(std::wstring::npos, result.find(L"tarvix resolve")) << result;

    // A directory the system cannot find leaves the path as it is.
    for (const wchar_t* absent : {L"C:\\tarvix_absent\\long file name.txt", L"\\\\?\\C:\\tarvix_absent\\x.txt"}) {
        EXPECT_EQ(absent, resolved(absent));
    }
}

TEST_F(long_directory, shorten_path_changes_the_directory_part_only) {
    const std::wstring short_directory = short_form(directory_);
    struct case_ {
        std::wstring path;
        std::wstring expected;
    };
    const case_ cases[] = {
        {file_, short_directory + L"\\" + long_file_name},
        {directory_ + L"\\missing file.txt", short_directory + L"\\missing file.txt"},
        {directory_ + L"\\", short_directory + L"\\"},
        {L"C:\\tarvix_absent\\long file name.txt", L"C:\\tarvix_absent\\long file name.txt"},
        {L"tarvix absent name without backslash", L"tarvix absent name without backslash"},
        {L"", L""},
    };
    for (const case_& c : cases) {
        EXPECT_EQ(c.expected, shortened(c.path)) << "path " << testing::PrintToString(c.path);
    }

    // A name without a backslash that the system finds is shortened as a whole.
    wchar_t saved_directory[MAX_PATH + 1];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH + 1, saved_directory), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    std::wstring whole = shortened(long_file_name);
    std::wstring expected_whole = short_form(long_file_name);
    SetCurrentDirectoryW(saved_directory);
    EXPECT_EQ(expected_whole, whole);
    EXPECT_NE(long_file_name, whole);
}

// ---- shorten_path with a scripted GetShortPathNameW -----------------------------------

std::wstring fake_short_text;
bool fake_short_grows = false;
std::vector<DWORD> short_path_sizes;

DWORD WINAPI fake_get_short_path_name(LPCWSTR, LPWSTR buffer, DWORD size) {
    short_path_sizes.push_back(size);
    std::wstring text = fake_short_text;
    if (fake_short_grows && short_path_sizes.size() > 1) text += L"\\grown";
    DWORD length = static_cast<DWORD>(text.size());
    if (length + 1 > size) return length + 1;
    wmemcpy(buffer, text.c_str(), length + 1);
    return length;
}

class shorten_path_fake : public testing::Test {
protected:
    shorten_path_fake() {
        fake_short_text.clear();
        fake_short_grows = false;
        short_path_sizes.clear();
    }

private:
    scoped_import_hook hook_{"kernel32.dll", "GetShortPathNameW", reinterpret_cast<void*>(&fake_get_short_path_name)};
};

TEST_F(shorten_path_fake, short_form_and_file_name_must_fit_the_capacity) {
    // A short form longer than the directory, so that the result outgrows the input.
    fake_short_text = L"C:\\a longer short form";
    const std::wstring expected = L"C:\\a longer short form\\name.txt";
    EXPECT_EQ(expected, shortened(L"C:\\d\\name.txt", expected.size() + 1));
    ASSERT_EQ(2u, short_path_sizes.size());
    EXPECT_EQ(0u, short_path_sizes[0]);  // first asked for the size only
    EXPECT_EQ(fake_short_text.size() + 2, short_path_sizes[1]);

    EXPECT_EXIT(shortened(L"C:\\d\\name.txt", expected.size()), aborted, "");
}

TEST_F(shorten_path_fake, short_form_that_grows_between_the_calls_aborts) {
    fake_short_text = L"C:\\D";
    fake_short_grows = true;
    EXPECT_EXIT(shortened(L"C:\\d\\name.txt"), aborted, "");
}

TEST(long_path_form, prefixes_full_paths_and_keeps_what_has_a_prefix) {
    std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\f.txt";
    struct {
        std::wstring path;
        std::wstring expected;
        std::wstring shown;  // in messages: plain_path_form of expected
    } cases[] = {
        {L"C:\\dir\\app.dll", L"\\\\?\\C:\\dir\\app.dll", L"C:\\dir\\app.dll"},
        {deep, L"\\\\?\\" + deep, deep},
        // Resolved as the system resolves a plain path.
        {L"C:\\dir\\sub\\..\\.\\name. ", L"\\\\?\\C:\\dir\\name", L"C:\\dir\\name"},
        {L"\\\\server\\share\\f.txt", L"\\\\?\\UNC\\server\\share\\f.txt", L"\\\\server\\share\\f.txt"},
        {L"\\\\?\\C:\\kept\\..", L"\\\\?\\C:\\kept\\..", L"C:\\kept\\.."},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    };
    for (const auto& c : cases) {
        wchar_t output[400];
        ASSERT_TRUE(long_path_form(output, 400, c.path.c_str()));
        EXPECT_EQ(std::wstring(output), c.expected);
        EXPECT_EQ(std::wstring(plain_path_form(output)), c.shown);
    }
}

TEST(long_path_form, fits_a_path_up_to_its_growth_below_the_capacity) {
    // "C:\" and 10 more units, 13 in all: capacity 13 + 6 + 1 is the least that fits.
    std::wstring path = L"C:\\" + std::wstring(10, L'x');
    wchar_t output[32];
    EXPECT_TRUE(long_path_form(output, path.size() + long_path_growth + 1, path.c_str()));
    EXPECT_EQ(std::wstring(output), L"\\\\?\\" + path);
    EXPECT_FALSE(long_path_form(output, path.size() + long_path_growth, path.c_str()));
    EXPECT_FALSE(long_path_form(output, 32, L"C:\\dir\\con"));  // a device is never below a directory
}

}  // namespace
