#include <gtest/gtest.h>

#include <windows.h>

#include <climits>

#include "common/decimal_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"

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

}  // namespace
