#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <cwchar>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "common/nt_calls.h"
#include "import_hook.h"
#include "launcher/cache_record.h"
#include "launcher/cached_run.h"
#include "payload/extraction.h"
#include "state/run_state.h"
#include "target_directory/removal.h"
#include "target_directory/target_directory.h"
#include "workers/worker_threads.h"

namespace {

// A cache directory in %TEMP% as a first start leaves it: three folders, a record.
class cache_directory : public testing::Test {
protected:
    void SetUp() override { fill(false); }
    // Folders made old before the record is written surely change their time with a later
    // change of an entry; more than a few folders make a comparison in the background.
    void fill(bool old_folders, int more_folders = 17) {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        scratch_ = std::wstring(temp) + L"cache_test_" + std::to_wstring(GetCurrentProcessId());
        directory_ = scratch_ + L"\\0123456789abcdef";
        delete_tree(scratch_.c_str());  // a run of the same process number left it
        CreateDirectoryW(scratch_.c_str(), nullptr);
        ASSERT_EQ(create_private_directory(directory_.c_str()), 0u);
        begin_cache_record();
        for (auto [path, size] : {std::pair{L"app.dll", 10}, {L"data\\notes.txt", 3}, {L"data\\sub\\empty.bin", 0},
                                  {L"data\\z.txt", 1}}) {
            write_file(path, size);
            entry_extracted(path, size);
        }
        for (int i = 0; i < more_folders; ++i) {
            std::wstring path = L"more\\" + std::to_wstring(i) + L"\\a.txt";
            write_file(path, 1);
            entry_extracted(path.c_str(), 1);
        }
        for (const wchar_t* folder : {L"\\data", L"\\data\\sub"}) {
            if (!old_folders) continue;
            HANDLE handle = CreateFileW((directory_ + folder).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            FILETIME an_hour_ago;
            GetSystemTimeAsFileTime(&an_hour_ago);
            an_hour_ago.dwHighDateTime -= 8;  // 2^32 units of 100 ns: about 7 minutes each
            ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &an_hour_ago));
            CloseHandle(handle);
        }
        ASSERT_TRUE(write_cache_record(directory_.c_str(), L"app.dll"));
    }
    void TearDown() override {
        release_held_directory();
        delete_tree(scratch_.c_str());
    }
    void write_file(const std::wstring& relative, int size) {
        std::wstring path = directory_ + L"\\" + relative;
        for (size_t at = scratch_.size() - 1; (at = path.find(L'\\', at + 1)) != std::wstring::npos;) {
            CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, "0123456789", size, &written, nullptr));
        CloseHandle(file);
    }
    std::wstring scratch_;
    std::wstring directory_;
};

using find_first_function = HANDLE(WINAPI*)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD);
find_first_function real_find_first;
int listings = 0;

HANDLE WINAPI counted_find_first(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                                 LPVOID filter, DWORD flags) {
    ++listings;
    return real_find_first(pattern, level, found, search, filter, flags);
}

// Which start notices each damage: this one, whose check at the start finds it and
// which heals at once, this one's comparison in the background, which marks the record
// so that the next start heals, or on one processor a later start's check.
enum noticed { never, at_the_start, in_the_background, at_a_later_start };

struct damage {
    const char* what;
    bool old_folders;  // else a change may fall within the clock tick of the record's
    std::function<void(const std::wstring&)> make;
    int start_listings;
    noticed when;
    int more_folders = 17;
    bool one_processor = false;
};

// Keeps the process on its first processor while it lives, when asked to.
struct processor_affinity {
    DWORD_PTR saved = 0;
    explicit processor_affinity(bool one) {
        DWORD_PTR system = 0;
        if (one && GetProcessAffinityMask(GetCurrentProcess(), &saved, &system)) {
            SetProcessAffinityMask(GetCurrentProcess(), saved & (~saved + 1));
        } else {
            saved = 0;
        }
    }
    ~processor_affinity() {
        if (saved != 0) SetProcessAffinityMask(GetCurrentProcess(), saved);
    }
};

void write_over(const std::wstring& path, LONG offset, const wchar_t* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFilePointer(file, offset, nullptr, FILE_BEGIN);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

wchar_t first_unit(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    wchar_t first = 0;
    DWORD read = 0;
    ReadFile(file, &first, sizeof first, &read, nullptr);
    CloseHandle(file);
    return first;
}

class damaged_cache : public cache_directory, public testing::WithParamInterface<damage> {
protected:
    void SetUp() override {}
};

TEST_P(damaged_cache, is_noticed_at_a_start_or_in_its_background_comparison) {
    const damage& damage = GetParam();
    if (!damage.one_processor && damage.more_folders > 16 && damage.when != at_the_start &&
        usable_processor_count() < 2) {
        GTEST_SKIP() << "a comparison in the background needs a second processor";
    }
    processor_affinity affinity(damage.one_processor);
    fill(damage.old_folders, damage.more_folders);
    faked_token ordinary(false);
    scoped_import_hook hook("kernel32.dll", "FindFirstFileExW", reinterpret_cast<void*>(&counted_find_first));
    real_find_first = reinterpret_cast<find_first_function>(hook.original());
    damage.make(directory_);
    listings = 0;
    cache_state state = open_cache(directory_.c_str());
    if (damage.when == at_the_start) {
        EXPECT_EQ(state, cache_damaged);
        return;
    }
    // Each start lists the top and compares the sizes of a few other files, from a
    // different one each time.
    for (int start = 1; damage.when == at_a_later_start && state == cache_ready && start < 1000; ++start) {
        EXPECT_EQ(listings, damage.start_listings);
        release_held_directory();
        listings = 0;
        state = open_cache(directory_.c_str());
    }
    if (damage.when == at_a_later_start) {
        EXPECT_EQ(state, cache_damaged);
        return;
    }
    ASSERT_EQ(state, cache_ready);
    EXPECT_EQ(std::wstring(application_library_path), directory_ + L"\\app.dll");
    EXPECT_EQ(listings, damage.start_listings);
    begin_background_comparison();
    if (damage.one_processor) {
        Sleep(100);
        EXPECT_EQ(listings, damage.start_listings) << "no comparison beside the application";
    }
    std::wstring record = directory_ + L"\\.tarvix-complete";
    for (int wait = 0; damage.when == in_the_background && first_unit(record) == L't' && wait < 500; ++wait) Sleep(20);
    end_background_comparison();
    release_held_directory();
    EXPECT_EQ(open_cache(directory_.c_str()), damage.when == in_the_background ? cache_damaged : cache_ready);
}

void remove_file(const std::wstring& path) { DeleteFileW(path.c_str()); }

void cut_record(const std::wstring& directory, LONG units) {
    HANDLE file = CreateFileW((directory + L"\\.tarvix-complete").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    SetFilePointer(file, -units * static_cast<LONG>(sizeof(wchar_t)), nullptr, FILE_END);
    SetEndOfFile(file);
    CloseHandle(file);
}

// In place when the file is there: its folder's entries stay as they are.
void resize_file(const std::wstring& path, int size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    SetEndOfFile(file);
    DWORD written = 0;
    WriteFile(file, "0123456789", size, &written, nullptr);
    CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(
    kinds, damaged_cache,
    testing::Values(
        damage{"none", false, [](auto&) {}, 1, never},
        damage{"none_old", true, [](auto&) {}, 1, never},
        // The application's own files do not matter; where they change a folder's time,
        // that folder is listed.
        damage{"own_file_old", true, [](auto& d) { resize_file(d + L"\\data\\cache.txt", 5); }, 2, never},
        damage{"file_deleted_old", true, [](auto& d) { remove_file(d + L"\\data\\sub\\empty.bin"); }, 0,
               at_the_start},
        damage{"file_renamed_old", true,
               [](auto& d) { MoveFileW((d + L"\\data\\z.txt").c_str(), (d + L"\\data\\y.txt").c_str()); }, 0,
               at_the_start},
        damage{"folder_gone", false, [](auto& d) { delete_tree((d + L"\\data\\sub").c_str()); }, 0, at_the_start},
        damage{"file_resized", false, [](auto& d) { resize_file(d + L"\\data\\z.txt", 2); }, 1, in_the_background},
        damage{"file_resized_few_folders", true, [](auto& d) { resize_file(d + L"\\data\\z.txt", 2); }, 0,
               at_the_start, 0},
        damage{"file_resized_old", true, [](auto& d) { resize_file(d + L"\\data\\z.txt", 2); }, 1,
               in_the_background},
        damage{"none_one_processor", true, [](auto&) {}, 1, never, 17, true},
        damage{"file_resized_one_processor", true, [](auto& d) { resize_file(d + L"\\data\\z.txt", 2); }, 1,
               at_a_later_start, 17, true},
        damage{"library_emptied", true, [](auto& d) { resize_file(d + L"\\app.dll", 0); }, 0, at_the_start},
        damage{"record_deleted", false, [](auto& d) { remove_file(d + L"\\.tarvix-complete"); }, 0, at_the_start},
        damage{"record_marked", false, [](auto& d) { write_over(d + L"\\.tarvix-complete", 0, L"!"); }, 0,
               at_the_start},
        // another payload's record
        damage{"record_of_another", false, [](auto& d) { write_over(d + L"\\.tarvix-complete", 44, L"f"); }, 0,
               at_the_start},
        // Records cut short, by a power loss say, within a folder's lines and right after them.
        damage{"record_cut", false, [](auto& d) { cut_record(d, 100); }, 0, at_the_start},
        damage{"record_cut_after_a_folder", false, [](auto& d) { cut_record(d, 4); }, 0, at_the_start},
        damage{"folder_time_damaged", true, [](auto& d) {
                   std::wstring record = d + L"\\.tarvix-complete";
                   HANDLE file = CreateFileW(record.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             0, nullptr);
                   wchar_t text[4096] = {};
                   DWORD read = 0;
                   ReadFile(file, text, sizeof text - sizeof(wchar_t), &read, nullptr);
                   CloseHandle(file);
                   write_over(record, static_cast<LONG>((wcschr(text, L'@') - text) * sizeof(wchar_t)), L"x");
               }, 0, at_the_start}),
    [](const testing::TestParamInfo<damage>& info) { return std::string(info.param.what); });

TEST_F(cache_directory, holds_one_file_for_entries_that_differ_only_in_letter_case) {
    TearDown();
    begin_cache_record();
    // The second name opens the first one's file, as the file system has it.
    for (auto [path, size] : {std::pair{L"app.dll", 10}, {L"Data\\Notes.txt", 5}, {L"data\\NOTES.txt", 3},
                              {L"data\\b.txt", 1}, {L"DATA\\A.txt", 2}}) {
        write_file(path, size);
        entry_extracted(path, size);
    }
    ASSERT_TRUE(write_cache_record(directory_.c_str(), L"app.dll"));
    faked_token ordinary(false);
    EXPECT_EQ(open_cache(directory_.c_str()), cache_ready);
}

TEST_F(cache_directory, template_that_is_not_an_absolute_path_runs_the_default_way) {
    wchar_t here[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, here), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch_.c_str()));
    const wchar_t* saved_template = tarvix_cache_template;
    const wchar_t* saved_digest = tarvix_payload_digest;
    tarvix_payload_digest = L"0123456789abcdef";
    wchar_t program[] = L"C:\\app.exe";
    wchar_t* arguments[] = {program, nullptr};
    for (const wchar_t* relative : {L"relcache", L"..\\x", L"\\rooted", L"C:drive_relative", L"{COMPANY}"}) {
        tarvix_cache_template = relative;
        int exit_code = -1;
        EXPECT_FALSE(run_from_cache(1, arguments, &exit_code)) << testing::PrintToString(std::wstring(relative));
    }
    tarvix_cache_template = saved_template;
    tarvix_payload_digest = saved_digest;
    SetCurrentDirectoryW(here);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((scratch_ + L"\\*").c_str(), &found);
    std::wstring names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) names += found.cFileName;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(names, L"0123456789abcdef") << "no cache made below the working directory";
}

// Wine runs everything as one user and reports no volume without access lists: owners
// and access lists are faked for the folder whose path ends in faked_folder.
using security_object_function = NTSTATUS(NTAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG, ULONG*);
security_object_function real_security_object;
std::wstring faked_folder;
unsigned char faked_owner[SECURITY_MAX_SID_SIZE];
unsigned char other_owner[SECURITY_MAX_SID_SIZE];  // every other folder's; neither faked while zero
const wchar_t* faked_access_list = nullptr;  // the faked folder's, in SDDL; "" for none at all

bool is_faked(HANDLE handle) {
    wchar_t path[MAX_PATH * 2];
    DWORD length = GetFinalPathNameByHandleW(handle, path, MAX_PATH * 2, 0);
    std::wstring final_path(path, length < MAX_PATH * 2 ? length : 0);
    return final_path.size() >= faked_folder.size() &&
           _wcsicmp(final_path.c_str() + final_path.size() - faked_folder.size(), faked_folder.c_str()) == 0;
}

// The read descriptor gets owner (when given) and the access list of sddl (when given; ""
// for none), self-relative as the system returns it.
void replace_security(PSECURITY_DESCRIPTOR descriptor, ULONG size, PSID owner, const wchar_t* sddl) {
    unsigned char owner_copy[SECURITY_MAX_SID_SIZE];
    unsigned char list_copy[2048] = {};
    PSID real_owner = nullptr;
    PACL list = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor, &real_owner, &defaulted);
    CopySid(sizeof owner_copy, owner_copy, owner != nullptr ? owner : real_owner);
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    PSECURITY_DESCRIPTOR faked = nullptr;
    if (sddl != nullptr && *sddl != 0) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &faked, nullptr)) abort();
        GetSecurityDescriptorDacl(faked, &present, &list, &defaulted);
    }
    if (list != nullptr) memcpy(list_copy, list, list->AclSize);
    LocalFree(faked);
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&absolute, owner_copy, FALSE);
    bool none = sddl != nullptr && *sddl == 0;
    SetSecurityDescriptorDacl(&absolute, !none && present, !none && list != nullptr ? reinterpret_cast<PACL>(list_copy) : nullptr, FALSE);
    DWORD length = size;
    if (!MakeSelfRelativeSD(&absolute, descriptor, &length)) abort();
}

NTSTATUS NTAPI faked_security_object(HANDLE handle, SECURITY_INFORMATION wanted, PSECURITY_DESCRIPTOR descriptor,
                                     ULONG size, ULONG* needed) {
    NTSTATUS status = real_security_object(handle, wanted, descriptor, size, needed);
    if (!NT_SUCCESS(status)) return status;
    bool faked = is_faked(handle);
    if (faked && (IsValidSid(faked_owner) || faked_access_list != nullptr)) {
        replace_security(descriptor, size, IsValidSid(faked_owner) ? faked_owner : nullptr, faked_access_list);
    }
    if (!faked && IsValidSid(other_owner)) replace_security(descriptor, size, other_owner, nullptr);
    return status;
}

TEST_F(cache_directory, is_used_only_when_it_is_the_users_own_below_trusted_folders_on_a_volume_with_access_lists) {
    scoped_import_hook hook("ntdll.dll", "NtQuerySecurityObject", reinterpret_cast<void*>(&faked_security_object));
    real_security_object = reinterpret_cast<security_object_function>(hook.original());
    faked_token ordinary(false);
    std::wstring parent = scratch_.substr(scratch_.rfind(L'\\'));
    std::wstring grandparent = scratch_.substr(0, scratch_.rfind(L'\\'));
    grandparent = grandparent.substr(grandparent.rfind(L'\\'));
    const struct {
        std::wstring folder;
        const wchar_t* owner;
        cache_state expected;
    } cases[] = {
        {L"\\0123456789abcdef", L"S-1-5-21-1-2-3-1001", cache_unusable},  // another user's
        {L"\\0123456789abcdef", L"S-1-5-18", cache_unusable},  // even SYSTEM's: not what this user made
        {parent, L"S-1-5-21-1-2-3-1001", cache_unusable},  // could have been swapped
        {grandparent, L"S-1-1-0", cache_unusable},
        {parent, L"S-1-5-18", cache_ready},
        {parent, L"S-1-5-32-544", cache_ready},
        {grandparent, L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", cache_ready},
    };
    for (const auto& each : cases) {
        faked_folder = each.folder;
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(each.owner, &sid));
        CopySid(sizeof faked_owner, faked_owner, sid);
        LocalFree(sid);
        EXPECT_EQ(open_cache(directory_.c_str()), each.expected) << testing::PrintToString(each.folder) << " "
                                                                 << testing::PrintToString(each.owner);
        release_held_directory();
    }
    // The directory's own access list: whether anyone else may put something into it or
    // take its place. A volume without access lists reports none, which lets everyone.
    faked_folder = L"\\0123456789abcdef";
    memset(faked_owner, 0, sizeof faked_owner);
    const std::pair<const wchar_t*, cache_state> lists[] = {
        {L"", cache_unusable},
        {L"D:(A;;FA;;;SY)(A;;0x2;;;WD)", cache_unusable},       // everyone may add a file
        {L"D:(A;;FA;;;SY)(A;;0x40;;;AU)", cache_unusable},      // or remove one
        {L"D:(A;;FA;;;SY)(A;;WD;;;BU)", cache_unusable},        // or change who may
        {L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;WD)", cache_ready},  // everyone may read
        {L"D:(D;;FA;;;WD)(A;;FA;;;SY)", cache_ready},
        {L"D:(A;OICIIO;FA;;;WD)(A;;FA;;;BA)", cache_ready},       // only what is made inside
    };
    for (auto [list, expected] : lists) {
        faked_access_list = list;
        EXPECT_EQ(open_cache(directory_.c_str()), expected) << testing::PrintToString(std::wstring(list));
        release_held_directory();
    }
    faked_access_list = nullptr;
    faked_folder = L"\\nothing faked";
}

// An elevated token's user is also its ordinary processes': what only the user owns is
// theirs to change, and so is all that a token makes whose directories are the user's.
TEST_F(cache_directory, is_used_by_an_elevated_start_only_where_nothing_is_the_plain_users) {
    scoped_import_hook hook("ntdll.dll", "NtQuerySecurityObject", reinterpret_cast<void*>(&faked_security_object));
    real_security_object = reinterpret_cast<security_object_function>(hook.original());
    faked_folder = L"\\0123456789abcdef";
    faked_access_list = L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";  // as an elevated start makes it
    // Whether it holds Administrators; the owners of the directory and of every folder above.
    const std::tuple<bool, const wchar_t*, const wchar_t*, cache_state> cases[] = {
        {true, nullptr, nullptr, cache_unusable},
        {true, L"S-1-5-32-544", nullptr, cache_unusable},
        {true, nullptr, L"S-1-5-18", cache_unusable},
        {true, L"S-1-5-32-544", L"S-1-5-18", cache_ready},
        {false, nullptr, L"S-1-5-18", cache_unusable},
    };
    for (auto [groups, directory, above, expected] : cases) {
        faked_token elevated(true, groups);
        for (auto [sid, text] : {std::pair{faked_owner, directory}, {other_owner, above}}) {
            PSID converted = nullptr;
            memset(sid, 0, SECURITY_MAX_SID_SIZE);  // the user's, as Wine reads every owner back
            if (text != nullptr && ConvertStringSidToSidW(text, &converted)) {
                CopySid(SECURITY_MAX_SID_SIZE, sid, converted);
            }
            LocalFree(converted);
        }
        EXPECT_EQ(open_cache(directory_.c_str()), expected) << groups << (directory != nullptr) << (above != nullptr);
        release_held_directory();
    }
    memset(other_owner, 0, sizeof other_owner);
    faked_access_list = nullptr;
}

}  // namespace
