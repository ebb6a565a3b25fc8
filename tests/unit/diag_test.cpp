#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/decimal_text.h"
#include "common/pe_imports.h"
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

namespace {

// A PE32+ file as stored, with one section at file offset 0x200 holding the import table
// (one descriptor and the zero one) and then each name after it.
constexpr size_t crafted_section_offset = 0x200;

std::vector<unsigned char> crafted_pe(const std::vector<std::string>& imports, uint32_t rva_count = 16) {
    std::vector<unsigned char> file(crafted_section_offset);
    auto put32 = [&file](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    file[0] = 'M', file[1] = 'Z';
    put32(0x3C, 0x40);
    memcpy(&file[0x40], "PE\0\0", 4);
    file[0x44 + 2] = 1;      // one section
    file[0x44 + 16] = 0xF0;  // the optional header's size
    size_t optional = 0x58;
    file[optional] = 0x0B, file[optional + 1] = 0x02;
    put32(optional + 108, rva_count);
    size_t table_size = (imports.size() + 1) * 20;
    put32(optional + 120, 0x1000);  // the import directory
    put32(optional + 124, static_cast<uint32_t>(table_size));
    std::vector<unsigned char> section(table_size);
    for (size_t i = 0; i < imports.size(); ++i) {
        uint32_t name_rva = static_cast<uint32_t>(0x1000 + section.size());
        for (int b = 0; b < 4; ++b) section[i * 20 + 12 + b] = static_cast<unsigned char>(name_rva >> (8 * b));
        section.insert(section.end(), imports[i].begin(), imports[i].end());
        section.push_back(0);
    }
    size_t header = optional + 0xF0;
    put32(header + 12, 0x1000);
    put32(header + 16, static_cast<uint32_t>(section.size()));
    put32(header + 20, crafted_section_offset);
    file.insert(file.end(), section.begin(), section.end());
    return file;
}

pe_import_result import_at(const std::vector<unsigned char>& file, size_t size, size_t index, std::string* name) {
    const char* found = nullptr;
    size_t length = 0;
    pe_import_result result = pe_import_name(file.data(), size, index, &found, &length);
    if (result == pe_import_found) name->assign(found, length);
    return result;
}

TEST(pe_import_name, reads_each_name_up_to_the_zero_descriptor) {
    auto file = crafted_pe({"KERNEL32.dll", "missing_dep.dll"});
    std::string name;
    EXPECT_EQ(pe_import_found, import_at(file, file.size(), 0, &name));
    EXPECT_EQ("KERNEL32.dll", name);
    EXPECT_EQ(pe_import_found, import_at(file, file.size(), 1, &name));
    EXPECT_EQ("missing_dep.dll", name);
    EXPECT_EQ(pe_import_end, import_at(file, file.size(), 2, &name));
    // Without an import directory entry, or with none of its entries, there is nothing.
    auto short_directory = crafted_pe({"a.dll"}, 1);
    EXPECT_EQ(pe_import_end, import_at(short_directory, short_directory.size(), 0, &name));
    auto no_imports = crafted_pe({});
    EXPECT_EQ(pe_import_end, import_at(no_imports, no_imports.size(), 0, &name));
}

TEST(pe_import_name, needs_the_name_and_its_terminator_inside_the_file) {
    auto file = crafted_pe({"missing_dep.dll"});
    std::string name;
    // N: the file ends just after the terminator; N-1 cuts it; N+1 is one byte more.
    EXPECT_EQ(pe_import_found, import_at(file, file.size(), 0, &name));
    EXPECT_EQ(pe_import_malformed, import_at(file, file.size() - 1, 0, &name));
    file.push_back(0);
    EXPECT_EQ(pe_import_found, import_at(file, file.size(), 0, &name));
    // A table that the file ends in before its zero descriptor.
    EXPECT_EQ(pe_import_malformed, import_at(file, crafted_section_offset + 39, 1, &name));
    EXPECT_EQ(pe_import_end, import_at(file, crafted_section_offset + 40, 1, &name));
}

TEST(pe_import_name, refuses_headers_and_addresses_outside_the_file) {
    auto good = crafted_pe({"a.dll"});
    std::string name;
    auto damaged = [&good](size_t at, unsigned char value) {
        auto copy = good;
        copy[at] = value;
        return copy;
    };
    const std::vector<unsigned char> cases[] = {
        damaged(0, 'X'),                 // no MZ
        damaged(0x3C, 0xFF),             // the PE header beyond the end
        damaged(0x42, 'X'),              // no PE signature
        damaged(0x58, 0x0C),             // neither PE32 nor PE32+
        damaged(0x58 + 0xF0 + 13, 0x20), // the section does not hold the table's address
        damaged(0x58 + 0xF0 + 21, 0x7F), // the section's bytes beyond the end
        damaged(crafted_section_offset + 13, 0x7F),  // the name's address outside every section
    };
    for (const auto& file : cases) EXPECT_EQ(pe_import_malformed, import_at(file, file.size(), 0, &name));
    EXPECT_EQ(pe_import_malformed, import_at(good, 0x3F, 0, &name));  // shorter than a DOS header
    // The section's stored size ends just before the name's terminator.
    auto cut = damaged(0x58 + 0xF0 + 16, static_cast<unsigned char>(40 + 5 - 1));
    EXPECT_EQ(pe_import_malformed, import_at(cut, cut.size(), 0, &name));
}

void write_file(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

TEST(fatal_load_error, names_the_first_import_found_neither_beside_nor_in_the_system_folder) {
    const std::wstring folder = L"C:\\windows\\temp\\diag_test_imports";
    CreateDirectoryW(folder.c_str(), nullptr);
    // The system's and an API set are found; beside.dll is, and it lacks deeper.dll.
    write_file(folder + L"\\app.dll",
               crafted_pe({"kernel32.dll", "API-MS-win-x.dll", "ext-ms-win-y.dll", "beside.dll"}));
    write_file(folder + L"\\beside.dll", crafted_pe({"KERNEL32.DLL", "deeper.dll"}));
    write_file(folder + L"\\alone.dll", crafted_pe({"kernel32.dll", "missing_dep.dll"}));
    write_file(folder + L"\\complete.dll", crafted_pe({"kernel32.dll"}));
    EXPECT_EXIT(fatal_load_error(message_load_library, 126, (folder + L"\\alone.dll").c_str()),
                testing::ExitedWithCode(2),
                "^Error, load DLL\\. \\(\\[Error 126\\] .*\\)\n"
                "Error, 'C:\\\\windows\\\\temp\\\\diag_test_imports\\\\alone\\.dll' needs 'missing_dep\\.dll', "
                "which is neither beside it nor in the system folder\\.\n$");
    EXPECT_EXIT(fatal_load_error(message_load_library, 126, (folder + L"\\app.dll").c_str()),
                testing::ExitedWithCode(2), "\nError, '.*\\\\beside\\.dll' needs 'deeper\\.dll', .*\n$");
    // Nothing missing, or no file at all: the path alone.
    for (const wchar_t* name : {L"\\complete.dll", L"\\absent.dll"}) {
        EXPECT_EXIT(fatal_load_error(message_launch_failed, 193, (folder + name).c_str()), testing::ExitedWithCode(2),
                    "^Error, couldn't launch child \\(\\[Error 193\\] .*\\)\n"
                    "Error, the file that failed is 'C:\\\\windows\\\\temp\\\\diag_test_imports\\\\\\w+\\.dll'\\.\n$");
    }
}

}  // namespace
