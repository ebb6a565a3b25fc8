#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "child/child_launch.h"
#include "common/shell32.h"

namespace {

constexpr int abort_status = 3;  // the runtime's exit code after abort

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[12];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}

std::wstring quoted(const wchar_t* argument) {
    child_command_line[0] = 0;
    append_argument(argument);
    return child_command_line;
}

TEST(append_argument, quotes_only_what_the_splitting_rules_need) {
    struct {
        const wchar_t* argument;
        const wchar_t* expected;
    } cases[] = {
        {L"plain", L"plain"},
        {L"", L""},
        {L" ", L"\" \""},
        {L"a b", L"\"a b\""},
        {L"a\tb", L"\"a\tb\""},
        {L"a\nb", L"\"a\nb\""},
        {L"a\vb", L"\"a\vb\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"\"", L"\"\\\"\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},                 // a\"b: 1 backslash before a quote gives 3
        {L"a\\\\\\\"b", L"\"a\\\\\\\\\\\\\\\"b\""},     // a\\\"b: 3 give 7
        {L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},  // doubled before the closing quote
        {L"x y\\\\", L"\"x y\\\\\\\\\""},
        {L"C:\\my dir\\a\\\\b", L"\"C:\\my dir\\a\\\\b\""},   // before other characters: unchanged
        {L"C:\\dir\\", L"C:\\dir\\"},                         // none of the five: not quoted at all
        {L"\\\\server\\share\\\\", L"\\\\server\\share\\\\"},
        {L"a\rb", L"a\rb"},
        {L"a&b|c^d%PATH%<>", L"a&b|c^d%PATH%<>"},
        {L"*.txt", L"*.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoted(c.argument), c.expected) << narrow(c.argument);
    }

    // Appends after what is there.
    wcscpy(child_command_line, L"prog ");
    append_argument(L"a b");
    EXPECT_STREQ(child_command_line, L"prog \"a b\"");
}

TEST(append_argument, command_lines_split_back_into_the_same_arguments) {
    using split_function = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    auto split = reinterpret_cast<split_function>(shell32_function("CommandLineToArgvW"));
    ASSERT_NE(split, nullptr);
    std::vector<std::wstring> arguments = {
        L"plain", L"a b", L"\"", L"\\\"", L"\\\\\"", L"a\\\\", L"C:\\Program Files\\", L"\\\\\\\\", L"\" \"",
        L"tab\there", L"line\nfeed", L"vertical\vtab", L"car\rriage", L"%PATH%", L"a&b|c", L"trailing\\ ",
        L"\\ \\", L"\"\"", L"a\"b\"c", L"\\\"\\\\\"", L"  ", L"\\", L"x\\\\\\y z", L"\u00e9\u0416 \u00e9",
    };
    child_command_line[0] = 0;
    append_argument(L"C:\\dir\\prog.exe");
    for (const std::wstring& argument : arguments) {
        wcscat(child_command_line, L" ");
        append_argument(argument.c_str());
    }
    int count = 0;
    wchar_t** split_arguments = split(child_command_line, &count);
    ASSERT_NE(split_arguments, nullptr);
    ASSERT_EQ(count, static_cast<int>(arguments.size()) + 1) << narrow(child_command_line);
    EXPECT_STREQ(split_arguments[0], L"C:\\dir\\prog.exe");
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(std::wstring(split_arguments[i + 1]), arguments[i]) << i << ": " << narrow(arguments[i]);
    }
    LocalFree(split_arguments);

    // An empty argument is not passed on.
    child_command_line[0] = 0;
    const wchar_t* with_empty[] = {L"prog", L"a", L"", L"b"};
    for (size_t i = 0; i < std::size(with_empty); ++i) {
        if (i > 0) wcscat(child_command_line, L" ");
        append_argument(with_empty[i]);
    }
    split_arguments = split(child_command_line, &count);
    ASSERT_NE(split_arguments, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(split_arguments[1], L"a");
    EXPECT_STREQ(split_arguments[2], L"b");
    LocalFree(split_arguments);
}

TEST(append_argument, the_line_holds_32767_characters_and_not_one_more) {
    // Each case fills the line to exactly 32767 characters; one character more at the
    // front of the last argument must end the process.
    struct {
        size_t filled;
        const wchar_t* argument;
        const wchar_t* appended;
    } cases[] = {
        {32767, L"", L""},
        {32767 - 5, L"a b", L"\"a b\""},
        {32767 - 20, L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},
        {32767 - 5, L"a\"", L"\"a\\\"\""},
    };
    for (const auto& c : cases) {
        std::wstring fill(c.filled, L'f');
        child_command_line[0] = 0;
        append_argument(fill.c_str());
        append_argument(c.argument);
        EXPECT_EQ(wcslen(child_command_line), 32767u) << narrow(c.argument);
        EXPECT_EQ(std::wstring(child_command_line + c.filled), c.appended) << narrow(c.argument);

        std::wstring longer = L"x" + std::wstring(c.argument);
        EXPECT_EXIT(
            {
                child_command_line[0] = 0;
                append_argument(fill.c_str());
                append_argument(longer.c_str());
            },
            testing::ExitedWithCode(abort_status), "")
            << narrow(longer);
    }
}

}  // namespace
