#include "launcher/cache_trust.h"

#include <cwchar>

#include "common/bounded_text.h"
#include "common/nt_calls.h"
#include "common/process_token.h"
#include "common/well_known_sids.h"
#include "state/run_state.h"
#include "target_directory/target_directory.h"

namespace {

constexpr DWORD inspect_access = READ_CONTROL | FILE_READ_ATTRIBUTES;
// Access to read the owner and attributes alone takes no part in sharing: a handle with
// only that keeps nobody from opening the directory to rename it. Listing does.
constexpr DWORD hold_access = inspect_access | FILE_LIST_DIRECTORY;
constexpr DWORD share_all_but_delete = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool is_trusted_owner(PSID owner, PSID directory_owner) {
    return RtlEqualSid(owner, directory_owner) || is_system_account(owner);
}

bool folder_is_trusted(const wchar_t* folder, PSID directory_owner) {
    // The folder itself, a link or junction included, not what it points to.
    HANDLE handle = CreateFileW(folder, inspect_access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    object_owner owner;
    bool read = read_object_owner(handle, &owner);
    CloseHandle(handle);
    return read && is_trusted_owner(owner.sid, directory_owner);
}

// The length of the root of an absolute path: "C:\" or "\\server\share\"; 0 for any other
// form, which is not trusted.
size_t root_length(const wchar_t* path) {
    if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') return 3;
    if (path[0] != L'\\' || path[1] != L'\\' || path[2] == L'?' || path[2] == L'.') return 0;
    const wchar_t* server_end = wcschr(path + 2, L'\\');
    const wchar_t* share_end = server_end != nullptr ? wcschr(server_end + 1, L'\\') : nullptr;
    return share_end != nullptr && share_end > server_end + 1 ? static_cast<size_t>(share_end - path) + 1 : 0;
}

}  // namespace

HANDLE open_own_directory(const wchar_t* path, DWORD access, DWORD* error) {
    HANDLE directory = CreateFileW(path, access | hold_access, share_all_but_delete, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return directory;
    }
    if (!is_own_directory(directory)) {
        CloseHandle(directory);
        *error = ERROR_INVALID_OWNER;
        return INVALID_HANDLE_VALUE;
    }
    return directory;
}

DWORD create_own_directory(const wchar_t* path, DWORD access, HANDLE* directory) {
    DWORD error = create_private_directory(path, access | hold_access, directory);
    if (error != 0) return error;
    // Read back: a volume without access lists has not kept the private one.
    return is_own_directory(*directory) ? 0 : ERROR_INVALID_OWNER;
}

bool folders_above_are_trusted(const wchar_t* directory) {
    unsigned char directory_owner[SECURITY_MAX_SID_SIZE];
    unsigned char user[SECURITY_MAX_SID_SIZE];
    bool elevated = false;
    if (!read_directory_owner(directory_owner, &elevated) || !read_token_user(user, &elevated)) return false;
    // An elevated token's user is also its user's ordinary processes': folders that only
    // the user owns are theirs to swap, and an elevated token whose own directories
    // belong to the user can make none that they could not change.
    if (elevated && RtlEqualSid(directory_owner, user)) return false;
    wchar_t folder[target_directory_capacity];
    text_copy(folder, target_directory_capacity, directory);
    size_t root = root_length(folder);
    if (root == 0) return false;
    for (;;) {
        wchar_t* last_backslash = wcsrchr(folder, L'\\');
        size_t cut = last_backslash != nullptr ? static_cast<size_t>(last_backslash - folder) : 0;
        if (cut + 1 < root) return false;  // the root itself was given
        bool at_root = cut + 1 == root;
        folder[at_root ? root : cut] = 0;
        if (!folder_is_trusted(folder, directory_owner)) return false;
        if (at_root) return true;
    }
}
