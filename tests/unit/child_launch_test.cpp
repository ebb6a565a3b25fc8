#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "child/child_launch.h"
#include "common/system_library.h"
#include "import_hook.h"

namespace {

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

DWORD WINAPI no_console(LPDWORD, DWORD) { return 0; }

TEST(child_console_flags, give_no_console_to_the_child_of_a_launcher_without_one) {
    scoped_import_hook hook("kernel32.dll", "GetConsoleProcessList", reinterpret_cast<void*>(&no_console));
    EXPECT_EQ(child_console_flags(), DWORD{DETACHED_PROCESS});
}

TEST(command_line_tail, begins_where_the_system_ends_argument_0) {
    struct {
        const wchar_t* line;
        const wchar_t* tail;
    } cases[] = {
        {L"", L""},
        {L"prog", L""},
        {L"prog a b", L" a b"},
        {L"prog\ta", L"\ta"},
        {L"\"C:\\my dir\\prog.exe\" a \"\" b", L" a \"\" b"},
        {L"\"prog\"x y", L"x y"},        // a quoted argument 0 ends at its closing quote
        {L"\"\" a", L" a"},
        {L"\"unclosed a b", L""},
        {L"pr\"o g\" x", L" g\" x"},      // an unquoted one at the first blank, quotes or not
        {L"prog  \"*.txt\"  ", L"  \"*.txt\"  "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(command_line_tail(c.line)), c.tail) << narrow(c.line);
    }
}

TEST(build_child_command_line, puts_the_quoted_path_before_the_tail_as_it_stands) {
    using split_function = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    auto split = reinterpret_cast<split_function>(system_function(L"shell32.dll", "CommandLineToArgvW"));
    ASSERT_NE(split, nullptr);
    struct {
        const wchar_t* typed;
        const wchar_t* built;
    } cases[] = {
        {L"p", L"\"C:\\my dir\\p.exe\""},
        {L"p a \"\" b", L"\"C:\\my dir\\p.exe\" a \"\" b"},
        {L"p \"*.txt\" \"C:\\Program Files\\\\\" x\\\"y", L"\"C:\\my dir\\p.exe\" \"*.txt\" \"C:\\Program Files\\\\\" x\\\"y"},
        {L"\"p\"x \"y z\"", L"\"C:\\my dir\\p.exe\" x \"y z\""},  // a blank keeps x an argument of its own
        {L"p\t\t\"\"", L"\"C:\\my dir\\p.exe\"\t\t\"\""},
    };
    for (const auto& c : cases) {
        build_child_command_line(L"C:\\my dir\\p.exe", command_line_tail(c.typed));
        EXPECT_STREQ(child_command_line, c.built) << narrow(c.typed);
        // The system's splitting gives the child the arguments the user typed.
        int typed_count = 0;
        int built_count = 0;
        wchar_t** typed = split(c.typed, &typed_count);
        wchar_t** built = split(child_command_line, &built_count);
        ASSERT_TRUE(typed != nullptr && built != nullptr);
        ASSERT_EQ(built_count, typed_count) << narrow(c.typed);
        EXPECT_STREQ(built[0], L"C:\\my dir\\p.exe");
        for (int i = 1; i < typed_count; ++i) EXPECT_STREQ(built[i], typed[i]) << narrow(c.typed) << " " << i;
        LocalFree(typed);
        LocalFree(built);
    }
}

TEST(build_child_command_line, holds_32767_characters_and_not_one_more) {
    // The quoted path, a blank and the tail fill the line exactly.
    std::wstring path = L"C:\\p.exe";
    std::wstring tail = L" " + std::wstring(32767 - path.size() - 3, L'a');
    build_child_command_line(path.c_str(), tail.c_str());
    EXPECT_EQ(wcslen(child_command_line), 32767u);
    std::wstring longer = tail + L"a";
    EXPECT_EXIT(build_child_command_line(path.c_str(), longer.c_str()), testing::ExitedWithCode(2), "");
}

}  // namespace
