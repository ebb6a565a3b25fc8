#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/nt_calls.h"
#include "common/process_token.h"
#include "import_hook.h"
#include "paths/environment.h"
#include "state/run_state.h"
#include "target_directory/removal.h"
#include "target_directory/target_directory.h"

namespace {

// Elevated, and whether it holds Administrators as a group it may own by.
class build_private_descriptor_for : public testing::TestWithParam<std::pair<bool, bool>> {};

// An elevated token's user SID is also its user's ordinary processes': Administrators own
// the directory then, or, for a token that may not name them, its default owner, which
// it may always set. The user's own SID is checked end to end, against the probe's token.
TEST_P(build_private_descriptor_for, grants_the_owner_and_system_everything_below_and_nobody_else) {
    auto [elevated, groups] = GetParam();
    faked_token token(elevated, groups);
    unsigned char user[SECURITY_MAX_SID_SIZE];
    ASSERT_TRUE(read_token_user(user, &elevated));
    private_descriptor built;
    ASSERT_TRUE(build_private_descriptor(&built));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&built.descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the parent's entries must not reach in";

    PSID owner = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    ACL* access_list = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(&built.descriptor, &owner, &defaulted) && owner != nullptr);
    EXPECT_TRUE(elevated && groups ? IsWellKnownSid(owner, WinBuiltinAdministratorsSid) : EqualSid(owner, user));
    ASSERT_TRUE(GetSecurityDescriptorDacl(&built.descriptor, &present, &access_list, &defaulted));
    ASSERT_TRUE(present && access_list != nullptr);
    ASSERT_EQ(access_list->AceCount, 2);
    for (DWORD i = 0; i < access_list->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        ASSERT_TRUE(GetAce(access_list, i, reinterpret_cast<void**>(&entry)));
        EXPECT_EQ(entry->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(entry->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "entry " << i;
        EXPECT_EQ(entry->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_TRUE(i == 0 ? EqualSid(&entry->SidStart, owner) : IsWellKnownSid(&entry->SidStart, WinLocalSystemSid))
            << "entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(token, build_private_descriptor_for,
                         testing::Values(std::pair{false, true}, std::pair{true, true}, std::pair{true, false}));

// Creating a directory with a descriptor of its own reports a name collision for the
// first taken_names calls, as if someone had made those names first; tried gets the
// paths, without the NT prefix.
decltype(&NtCreateFile) real_create_file;
int taken_names = 0;
std::vector<std::wstring> tried;
constexpr NTSTATUS status_object_name_collision = static_cast<NTSTATUS>(0xC0000035);

NTSTATUS NTAPI create_directory_with_taken_names(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                                                 IO_STATUS_BLOCK* status, LARGE_INTEGER* size, ULONG file_attributes,
                                                 ULONG sharing, ULONG disposition, ULONG options, void* extended,
                                                 ULONG extended_length) {
    if (attributes->SecurityDescriptor != nullptr) {
        std::wstring path(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
        tried.push_back(path.substr(path.rfind(L"\\??\\", 0) == 0 ? 4 : 0));
        if (static_cast<int>(tried.size()) <= taken_names) return status_object_name_collision;
    }
    return real_create_file(handle, access, attributes, status, size, file_attributes, sharing, disposition, options,
                            extended, extended_length);
}

class fresh_target_directory : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        scratch_ = std::wstring(temp) + L"target_test_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(scratch_.c_str(), nullptr);
        SetEnvironmentVariableW(L"TMP", scratch_.c_str());
        set_environment("TARVIX_ONEFILE_PARENT", L"4242");
        set_environment("TARVIX_ONEFILE_TIME_US", nullptr);
        set_environment("TARVIX_ONEFILE_RANDOM", nullptr);
        tried.clear();
    }
    void TearDown() override {
        release_held_directory();
        delete_tree(scratch_.c_str());
        SetEnvironmentVariableW(L"TMP", nullptr);
        extraction_started = false;
    }
    std::wstring scratch_;
};

void hook_create_directory(scoped_import_hook& hook) {
    real_create_file = reinterpret_cast<decltype(&NtCreateFile)>(hook.original());
}

TEST_F(fresh_target_directory, never_uses_a_name_that_exists_draws_new_parts_and_gives_up_after_four) {
    EXPECT_EXIT(
        {
            scoped_import_hook hook("ntdll.dll", "NtCreateFile",
                                    reinterpret_cast<void*>(&create_directory_with_taken_names));
            hook_create_directory(hook);
            taken_names = 1000;
            create_fresh_target_directory(choose_temporary_directory);
        },
        testing::ExitedWithCode(2), "^Error, couldn't create target directory\\. \\(\\[Error 183\\] ");

    scoped_import_hook hook("ntdll.dll", "NtCreateFile", reinterpret_cast<void*>(&create_directory_with_taken_names));
    hook_create_directory(hook);
    taken_names = 2;
    create_fresh_target_directory(choose_temporary_directory);
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_EQ(std::set<std::wstring>(tried.begin(), tried.end()).size(), 3u);
    for (const std::wstring& path : tried) EXPECT_EQ(path.rfind(scratch_ + L"\\onefile_4242_", 0), 0u);
    EXPECT_EQ(tried.back(), target_directory);
    EXPECT_NE(GetFileAttributesW(target_directory), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(extraction_started);
    // Held from the call that made it: nobody can move it away and put another in its place.
    std::wstring aside = scratch_ + L"\\aside";
    EXPECT_FALSE(MoveFileW(target_directory, aside.c_str()));
    release_held_directory();
    EXPECT_TRUE(MoveFileW(target_directory, aside.c_str()));
}

}  // namespace

namespace {

HANDLE open_directory_object(const std::wstring& path) {
    return CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Wine reports every file as the current user's, whatever owner it was given, so a
// directory of someone else's cannot be shown here.
TEST_F(fresh_target_directory, own_directory_is_a_directory_that_the_user_owns) {
    faked_token ordinary(false);
    std::wstring mine = scratch_ + L"\\mine";
    ASSERT_EQ(create_private_directory(mine.c_str()), 0u);
    EXPECT_EQ(create_private_directory(mine.c_str()), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE handle = open_directory_object(mine);
    EXPECT_TRUE(is_own_directory(handle));
    CloseHandle(handle);

    std::wstring file = mine + L"\\file";
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    handle = open_directory_object(file);
    EXPECT_FALSE(is_own_directory(handle));
    CloseHandle(handle);
}

}  // namespace
