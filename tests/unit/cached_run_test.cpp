#include <gtest/gtest.h>

#include <string>

#include "launcher/cached_run.h"

namespace {

TEST(cache_record, names_the_library_of_this_payload_and_nothing_else) {
    wchar_t text[2048];
    format_cache_record(text, 2048, L"app.dll");
    wchar_t name[1024];
    ASSERT_TRUE(parse_cache_record(text, name, 1024));
    EXPECT_STREQ(name, L"app.dll");

    // Another payload's record, a cut one, and names that would leave the directory.
    std::wstring whole = text;
    std::wstring other_digest = whole;
    other_digest[other_digest.find(L'\n') + 1] ^= 1;
    for (std::wstring broken : {other_digest, whole.substr(0, whole.size() - 1), whole + L"x",
                                whole.substr(0, whole.size() - 8) + L"..\n", whole.substr(0, whole.size() - 8) + L"a\\b\n",
                                whole.substr(0, whole.size() - 8) + L"C:x\n", whole.substr(0, whole.size() - 8) + L"\n"}) {
        EXPECT_FALSE(parse_cache_record(broken.c_str(), name, 1024)) << testing::PrintToString(broken);
    }
}

}  // namespace
