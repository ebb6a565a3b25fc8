#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/decimal_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "import_hook.h"
#include "state/run_state.h"
#include "target_directory/target_directory.h"

namespace {

TEST(fatal_os_error, writes_message_code_and_system_text_without_line_end) {
    // Code 5's system text ends in CR LF; the closing parenthesis must follow its full stop.
    EXPECT_EXIT(fatal_os_error("Error, couldn't launch child", 5), testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 5\\] Access denied\\.\\)\n$");
}

TEST(fatal_os_error, shows_a_code_with_the_highest_bit_set_as_negative) {
    EXPECT_EXIT(fatal_os_error("Error, load DLL.", 0xC0000135u), testing::ExitedWithCode(2),
                "^Error, load DLL\\. \\(\\[Error -1073741515\\] .*\\)\n$");
}

TEST(decimal_text, pads_with_zeros_after_the_sign_and_holds_the_extremes) {
    char out[decimal_text_capacity];
    const struct {
        long long value;
        size_t min_digits;
        const char* text;
    } cases[] = {{0, 1, "0"}, {42, 6, "000042"}, {-7, 3, "-007"}, {1234567, 6, "1234567"},
                 {LLONG_MAX, 1, "9223372036854775807"}, {LLONG_MIN, 1, "-9223372036854775808"}};
    for (const auto& c : cases) {
        decimal_text(out, c.value, c.min_digits);
        EXPECT_STREQ(c.text, out);
    }
}

TEST(fatal_error, writes_to_standard_output_and_exits_with_2) {
    // Death tests match standard error only: the line must not be there.
    EXPECT_EXIT(fatal_error(message_header_missing), testing::ExitedWithCode(2), "^$");
}

TEST(fatal_template_error, quotes_the_template_and_aborts) {
    EXPECT_DEATH(fatal_template_error(L"{HOME}"), "^Error, couldn't runtime expand spec '\\{HOME\\}'\\.\n");
}

TEST(narrow_for_message, keeps_latin1_and_stops_at_the_first_wider_unit) {
    char out[32];
    narrow_for_message(L"a\u00e9b\u0416rest", out, sizeof out);
    EXPECT_STREQ("a\xe9" "b", out);
    narrow_for_message(L"abcdef", out, 4);
    EXPECT_STREQ("abc", out);
}

TEST(fatal_open_error, cuts_the_path_at_a_wide_character_and_keeps_the_rest_of_the_line) {
    EXPECT_EXIT(fatal_open_error(L"C:\\t\\\u0416x.txt"), testing::ExitedWithCode(2),
                "^Error, failed to open 'C:\\\\t\\\\' for writing\\.\n$");
}

// The box the launcher looks up at run time writes its title and text (beyond ASCII as \u
// escapes) to standard error instead, which a death test sees, and whether the directory stood.
FARPROC(WINAPI* real_get_proc_address)(HMODULE, LPCSTR);

void print_escaped(const wchar_t* text) {
    for (; text != nullptr && *text != 0; ++text) fprintf(stderr, *text < 0x80 ? "%c" : "\\u%04x", unsigned(*text));
}

int WINAPI reporting_message_box(HWND, const wchar_t* text, const wchar_t* title, UINT type) {
    fputs(title == nullptr ? "box [default" : "box [", stderr);
    print_escaped(title);
    fputs(GetFileAttributesW(target_directory) != INVALID_FILE_ATTRIBUTES ? "] before the removal: " : "]: ", stderr);
    print_escaped(text);
    fputs((type & MB_ICONMASK) == MB_ICONERROR ? "\n" : " (no error icon)\n", stderr);
    return IDOK;
}

FARPROC WINAPI box_reporting_get_proc_address(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && strcmp(name, "MessageBoxW") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(reporting_message_box));
    }
    return real_get_proc_address(module, name);
}

// A windowed launcher, in a run that has extracted into a directory of its own.
void as_windowed_launcher(const wchar_t* title) {
    real_get_proc_address = reinterpret_cast<decltype(real_get_proc_address)>(
        hook_import("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(box_reporting_get_proc_address)));
    const wchar_t* directory = L"C:\\windows\\temp\\diag_test_box";
    CreateDirectoryW(directory, nullptr);
    set_target_directory(directory);
    extraction_started = true;
    show_failures_in_message_box(title);
}

TEST(message_box, shows_each_report_after_the_removal_with_the_same_text_titled_with_the_product) {
    EXPECT_EXIT((as_windowed_launcher(L"Pr\u00f8be \u1ea0"), fatal_error(message_header_missing)),
                testing::ExitedWithCode(2),
                "^box \\[Pr\\\\u00f8be \\\\u1ea0\\]: Error, couldn't find attached data header\\.\n$");
    // Standard error has the line first; the box the same without the line end.
    EXPECT_EXIT((as_windowed_launcher(L"Tool"), fatal_os_error(message_launch_failed, 5)),
                testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 5\\] Access denied\\.\\)\n"
                "box \\[Tool\\]: Error, couldn't launch child \\(\\[Error 5\\] Access denied\\.\\)\n$");
    // A narrowed path keeps its units up to U+00FF; without a product name, the system's title.
    EXPECT_EXIT((as_windowed_launcher(L""), fatal_open_error(L"C:\\\u00e9\u0416.txt")), testing::ExitedWithCode(2),
                "^Error, failed to open 'C:\\\\.' for writing\\.\n"
                "box \\[default\\]: Error, failed to open 'C:\\\\\\\\u00e9' for writing\\.\n$");
}

}  // namespace
