#include "target_directory/target_directory.h"

#include <cstdlib>
#include <cwchar>

#include "common/bounded_text.h"
#include "common/nt_calls.h"
#include "common/process_token.h"
#include "common/well_known_sids.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "paths/environment.h"
#include "paths/path_template.h"
#include "payload/extraction.h"
#include "state/run_state.h"

namespace {

constexpr wchar_t target_directory_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
// Each attempt draws 66 random bits; a second collision means someone is making the
// names on purpose, and more attempts would not help.
constexpr int fresh_name_attempts = 4;
constexpr DWORD full_access = FILE_ALL_ACCESS;
constexpr BYTE inherited_by_everything_below = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
// Listing takes part in sharing, so others cannot open the directory for a rename; a
// handle for attributes alone would not keep anyone out.
constexpr DWORD hold_access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
// What lets an account put something into a directory or take its place: adding or
// removing entries, deleting or renaming it, or giving itself more.
constexpr ACCESS_MASK planting_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Room for an owner and an access list of a few dozen entries; a larger list is no
// private directory's.
constexpr ULONG directory_security_capacity = 2048;

// True when the access list grants planting rights to nobody but owner and the system's
// own accounts. A missing list grants everything to everyone; entries of kinds with
// conditions are not read, and count as granting.
bool keeps_others_out(ACL* access_list, PSID owner) {
    if (access_list == nullptr) return false;
    for (ULONG i = 0; i < access_list->AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (!nt_succeeded(RtlGetAce(access_list, i, reinterpret_cast<void**>(&entry)))) return false;
        if (entry->AceType == ACCESS_DENIED_ACE_TYPE || (entry->AceFlags & INHERIT_ONLY_ACE)) continue;
        if (entry->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        auto allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & planting_rights) != 0 && !RtlEqualSid(sid, owner) && !is_system_account(sid)) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

// Room for the groups of a token in about a hundred groups; one in more is given its
// default owner, which for an administrator is Administrators unless a policy says otherwise.
constexpr DWORD token_groups_capacity = 4096;

// True when the token holds Administrators enabled and as a group it may make owner.
bool administrators_may_own(HANDLE token) {
    alignas(TOKEN_GROUPS) unsigned char record[token_groups_capacity];
    if (!read_token_information(token, TokenGroups, record, sizeof record)) return false;
    auto groups = reinterpret_cast<TOKEN_GROUPS*>(record);
    constexpr DWORD wanted = SE_GROUP_ENABLED | SE_GROUP_OWNER;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (RtlEqualSid(groups->Groups[i].Sid, administrators_sid.sid())) {
            return (groups->Groups[i].Attributes & wanted) == wanted;
        }
    }
    return false;
}

// Creates path as a directory of descriptor's and opens it in the same call: no moment
// passes in which another process could rename it and put its own in its place, for the
// handle (access, every sharing but delete) holds it from its first instant. Returns 0
// with the handle in *held (closed when held is null), or the system's error code.
DWORD create_held_directory(const wchar_t* path, SECURITY_DESCRIPTOR* descriptor, ACCESS_MASK access, HANDLE* held) {
    UNICODE_STRING name;
    if (!RtlDosPathNameToNtPathName_U(path, &name, nullptr, nullptr)) return ERROR_INVALID_NAME;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
    IO_STATUS_BLOCK status_block;
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status_block, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                                   nullptr, 0);
    RtlFreeUnicodeString(&name);
    if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
    if (held != nullptr) {
        *held = handle;
    } else {
        CloseHandle(handle);
    }
    return 0;
}

}  // namespace

bool read_directory_owner(void* sid, bool* elevated) {
    if (!read_token_user(sid, elevated)) return false;
    if (!*elevated) return true;
    HANDLE token = open_process_token(TOKEN_QUERY);
    if (token == nullptr) return false;
    bool copied = false;
    if (administrators_may_own(token)) {
        copied = nt_succeeded(RtlCopySid(SECURITY_MAX_SID_SIZE, sid, administrators_sid.sid()));
    } else {
        // The system lets a token name its default owner, whatever groups it holds.
        alignas(TOKEN_OWNER) unsigned char owner_record[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
        copied = read_token_information(token, TokenOwner, owner_record, sizeof owner_record) &&
                 nt_succeeded(
                     RtlCopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_OWNER*>(owner_record)->Owner));
    }
    CloseHandle(token);
    return copied;
}

void set_target_directory(const wchar_t* path) {
    wmemset(target_directory, 0, target_directory_capacity + 1);
    text_copy(target_directory, target_directory_capacity, path);
}

void fix_target_directory() {
    bool expanded = expand_path_template(target_directory, target_directory_template, target_directory_capacity);
    wchar_t absolute[target_directory_capacity];
    DWORD length = GetFullPathNameW(target_directory, target_directory_capacity, absolute, nullptr);
    if (length == 0 || length >= target_directory_capacity) abort();
    set_target_directory(absolute);  // no remains of the longer unsimplified text
    if (!expanded) fatal_template_error(target_directory_template);
}

void choose_temporary_directory(int attempt) {
    if (attempt > 1) {
        set_environment("TARVIX_ONEFILE_TIME_US", nullptr);
        set_environment("TARVIX_ONEFILE_RANDOM", nullptr);
    }
    fix_target_directory();
}

void create_fresh_target_directory(void (*choose_name)(int attempt)) {
    for (int attempt = 1;; ++attempt) {
        choose_name(attempt);
        // In the user's %TEMP% the user's ordinary processes may rename the directory of
        // an elevated run and put another in its place before the child loads from it:
        // held from its creation, without delete sharing, until the removal lets it go.
        DWORD error = create_private_directory(target_directory, hold_access, &held_directory);
        if (error == 0) break;
        if (trace_enabled) trace_line("target directory %w not made (error %u)", target_directory, 0ULL + error);
        if (error != ERROR_ALREADY_EXISTS || attempt == fresh_name_attempts) {
            fatal_os_error(message_create_directory_failed, error);
        }
    }
    extraction_started = true;
    // A console event that came while the directory was made has its handler waiting to
    // delete it: nothing may be written into it now.
    if (stop_requested) wait_to_be_ended();
}

bool build_private_descriptor(private_descriptor* built) {
    bool elevated = false;
    if (!read_directory_owner(built->owner, &elevated)) return false;
    ACL* access_list = reinterpret_cast<ACL*>(built->access_list);
    return nt_succeeded(RtlCreateAcl(access_list, sizeof built->access_list, ACL_REVISION)) &&
           nt_succeeded(RtlAddAccessAllowedAceEx(access_list, ACL_REVISION, inherited_by_everything_below, full_access,
                                                 built->owner)) &&
           nt_succeeded(RtlAddAccessAllowedAceEx(access_list, ACL_REVISION, inherited_by_everything_below, full_access,
                                                 local_system_sid.sid())) &&
           nt_succeeded(RtlCreateSecurityDescriptor(&built->descriptor, SECURITY_DESCRIPTOR_REVISION)) &&
           nt_succeeded(RtlSetOwnerSecurityDescriptor(&built->descriptor, built->owner, FALSE)) &&
           nt_succeeded(RtlSetDaclSecurityDescriptor(&built->descriptor, TRUE, access_list, FALSE)) &&
           nt_succeeded(RtlSetControlSecurityDescriptor(&built->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
}

bool read_object_owner(HANDLE object, object_owner* owner) {
    ULONG needed = 0;
    BOOLEAN defaulted = FALSE;
    owner->sid = nullptr;
    return nt_succeeded(NtQuerySecurityObject(object, OWNER_SECURITY_INFORMATION, owner->descriptor,
                                              sizeof owner->descriptor, &needed)) &&
           nt_succeeded(RtlGetOwnerSecurityDescriptor(owner->descriptor, &owner->sid, &defaulted)) &&
           owner->sid != nullptr;
}

bool is_own_directory(HANDLE directory) {
    FILE_ATTRIBUTE_TAG_INFO information;  // the attributes alone: see open_real_directory in removal.cpp
    if (!GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &information, sizeof information) ||
        !(information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    unsigned char own_owner[SECURITY_MAX_SID_SIZE];
    bool elevated = false;
    // For an elevated administrator not the user's: the user's ordinary processes could
    // have made it, or changed what it holds.
    if (!read_directory_owner(own_owner, &elevated)) return false;
    alignas(void*) unsigned char descriptor[directory_security_capacity];
    ULONG needed = 0;
    PSID owner = nullptr;
    BOOLEAN present = FALSE;
    ACL* access_list = nullptr;
    BOOLEAN defaulted = FALSE;
    if (!nt_succeeded(NtQuerySecurityObject(directory, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            descriptor, sizeof descriptor, &needed)) ||
        !nt_succeeded(RtlGetOwnerSecurityDescriptor(descriptor, &owner, &defaulted)) ||
        !nt_succeeded(RtlGetDaclSecurityDescriptor(descriptor, &present, &access_list, &defaulted))) {
        return false;
    }
    return owner != nullptr && RtlEqualSid(owner, own_owner) && present && keeps_others_out(access_list, owner);
}

DWORD create_private_directory(const wchar_t* path, ACCESS_MASK access, HANDLE* held) {
    private_descriptor built;
    if (!build_private_descriptor(&built)) {
        DWORD error = GetLastError();
        return error != 0 ? error : ERROR_INVALID_SECURITY_DESCR;
    }
    DWORD error = create_held_directory(path, &built.descriptor, access, held);
    if (error != ERROR_PATH_NOT_FOUND) return error;
    create_directory_chain(path);
    return create_held_directory(path, &built.descriptor, access, held);
}
