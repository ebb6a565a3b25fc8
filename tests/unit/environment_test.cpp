#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "paths/environment.h"

namespace {

// Exit status of the runtime's abort.
const auto aborted = testing::ExitedWithCode(3);

// The longest name the name buffer takes, and one character more.
const std::string name_of_39 = "TARVIX_ONEFILE_TEST_" + std::string(19, 'N');
const std::string name_of_40 = "TARVIX_ONEFILE_TEST_" + std::string(20, 'N');

const std::string test_variables[] = {"TARVIX_ONEFILE_DIRECTORY", "TARVIX_ONEFILE_TEST_VALUE", name_of_39};

class environment : public testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        for (const std::string& name : test_variables) {
            std::wstring wide(name.begin(), name.end());
            SetEnvironmentVariableW(wide.c_str(), nullptr);
        }
    }

    // The variable as the process's environment block holds it, read without
    // GetEnvironmentVariableW; found is false when it does not exist at all.
    static std::wstring system_value(const wchar_t* name, bool* found) {
        const std::wstring prefix = std::wstring(name) + L"=";
        std::wstring value;
        *found = false;
        wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* entry = block; *entry != 0; entry += wcslen(entry) + 1) {
            if (_wcsnicmp(entry, prefix.c_str(), prefix.size()) == 0) {
                *found = true;
                value = entry + prefix.size();
            }
        }
        FreeEnvironmentStringsW(block);
        return value;
    }
};

TEST_F(environment, reads_what_the_system_holds_and_sets_what_it_reads) {
    const std::wstring values[] = {L"1", L"C:\\Users\\someone\\Temp\\onefile_1_000042_abc", L"a=b;c d",
                                   L"\u00e9\u4e2d\u0416"};
    for (const std::wstring& value : values) {
        SCOPED_TRACE(testing::Message() << "value length " << value.size());
        ASSERT_TRUE(SetEnvironmentVariableW(L"TARVIX_ONEFILE_TEST_VALUE", value.c_str()));
        wchar_t* read = get_environment("TARVIX_ONEFILE_TEST_VALUE");
        ASSERT_NE(nullptr, read);
        EXPECT_EQ(value, read);
        free(read);

        ASSERT_TRUE(set_environment("TARVIX_ONEFILE_DIRECTORY", value.c_str()));
        bool found = false;
        EXPECT_EQ(value, system_value(L"TARVIX_ONEFILE_DIRECTORY", &found));
        EXPECT_TRUE(found);
    }
}

TEST_F(environment, empty_absent_and_deleted_read_as_none) {
    EXPECT_EQ(nullptr, get_environment("TARVIX_ONEFILE_TEST_VALUE"));

    // An empty value is a variable that exists: it must still read as none.
    ASSERT_TRUE(set_environment("TARVIX_ONEFILE_TEST_VALUE", L""));
    bool found = false;
    system_value(L"TARVIX_ONEFILE_TEST_VALUE", &found);
    ASSERT_TRUE(found);
    EXPECT_EQ(nullptr, get_environment("TARVIX_ONEFILE_TEST_VALUE"));

    ASSERT_TRUE(set_environment("TARVIX_ONEFILE_TEST_VALUE", L"set"));
    wchar_t* read = get_environment("TARVIX_ONEFILE_TEST_VALUE");
    ASSERT_NE(nullptr, read);
    free(read);
    set_environment("TARVIX_ONEFILE_TEST_VALUE", nullptr);
    system_value(L"TARVIX_ONEFILE_TEST_VALUE", &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(nullptr, get_environment("TARVIX_ONEFILE_TEST_VALUE"));
}

TEST_F(environment, reads_a_value_of_the_platform_maximum_whole) {
    std::wstring longest(32767, L'x');
    for (size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<wchar_t>(L'a' + i % 26);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TARVIX_ONEFILE_TEST_VALUE", longest.c_str()));
    // Windows stores all 32767 characters; Wine keeps one fewer.
    bool found = false;
    std::wstring stored = system_value(L"TARVIX_ONEFILE_TEST_VALUE", &found);
    ASSERT_GE(stored.size(), 32766u);
    ASSERT_EQ(longest.substr(0, stored.size()), stored);

    wchar_t* read = get_environment("TARVIX_ONEFILE_TEST_VALUE");
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(stored.size(), wcslen(read));
    EXPECT_TRUE(stored == read);
    free(read);
}

TEST_F(environment, two_reads_give_distinct_copies_with_equal_text) {
    ASSERT_TRUE(set_environment("TARVIX_ONEFILE_TEST_VALUE", L"copy me"));
    wchar_t* first = get_environment("TARVIX_ONEFILE_TEST_VALUE");
    wchar_t* second = get_environment("TARVIX_ONEFILE_TEST_VALUE");
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_STREQ(L"copy me", first);
    EXPECT_STREQ(L"copy me", second);
    first[0] = L'C';  // the copies share nothing
    EXPECT_STREQ(L"copy me", second);
    free(first);
    free(second);
}

TEST_F(environment, names_up_to_39_characters_work_and_longer_ones_abort) {
    // The launcher's longest name, and the longest that fits the name buffer.
    ASSERT_TRUE(set_environment("TARVIX_ONEFILE_DIRECTORY", L"C:\\app"));
    wchar_t* read = get_environment("TARVIX_ONEFILE_DIRECTORY");
    ASSERT_NE(nullptr, read);
    EXPECT_STREQ(L"C:\\app", read);
    free(read);

    ASSERT_EQ(39u, name_of_39.size());
    ASSERT_TRUE(set_environment(name_of_39.c_str(), L"39"));
    bool found = false;
    EXPECT_EQ(L"39", system_value(std::wstring(name_of_39.begin(), name_of_39.end()).c_str(), &found));
    EXPECT_TRUE(found);
    read = get_environment(name_of_39.c_str());
    ASSERT_NE(nullptr, read);
    EXPECT_STREQ(L"39", read);
    free(read);

    ASSERT_EQ(40u, name_of_40.size());
    EXPECT_EXIT(get_environment(name_of_40.c_str()), aborted, "");
    EXPECT_EXIT(set_environment(name_of_40.c_str(), L"x"), aborted, "");
}

}  // namespace
