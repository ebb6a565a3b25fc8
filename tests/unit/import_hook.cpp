#include "import_hook.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/nt_calls.h"
#include "common/process_token.h"

void* hook_import(const char* dll, const char* function, void* replacement) {
    auto base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0) continue;
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(by_name->Name), function) != 0) continue;
            DWORD old_protection;
            VirtualProtect(&addresses->u1.Function, sizeof(void*), PAGE_READWRITE, &old_protection);
            void* previous = reinterpret_cast<void*>(addresses->u1.Function);
            addresses->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&addresses->u1.Function, sizeof(void*), old_protection, &old_protection);
            return previous;
        }
    }
    fprintf(stderr, "hook_import: %s!%s is not imported\n", dll, function);
    abort();
}

namespace {

decltype(&NtQueryInformationToken) real_token_information;
bool faked_elevation = false;
bool faked_groups = true;

NTSTATUS NTAPI faked_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, ULONG size,
                                       ULONG* returned) {
    if (kind == TokenElevation) {
        static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = faked_elevation;
        return 0;
    }
    if (kind == TokenGroups && !faked_groups) return status_buffer_too_small;
    if (kind == TokenOwner && !faked_groups) kind = TokenUser;  // both records begin with the SID
    return real_token_information(token, kind, data, size, returned);
}

}  // namespace

faked_token::faked_token(bool elevated, bool groups)
    : scoped_import_hook("ntdll.dll", "NtQueryInformationToken", reinterpret_cast<void*>(&faked_token_information)) {
    real_token_information = reinterpret_cast<decltype(&NtQueryInformationToken)>(original());
    faked_elevation = elevated;
    faked_groups = groups;
    forget_token_user();
}

faked_token::~faked_token() { forget_token_user(); }
