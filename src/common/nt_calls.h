// The few ntdll calls the launcher makes in place of ADVAPI32's: ntdll is in every process
// before its first instruction, so importing from it costs a start nothing, where ADVAPI32
// (with sechost and rpcrt4 on Windows) costs every start its loading. mingw's libntdll.a
// exports them, but no header of mingw's for programs declares them; the types come
// from winternl.h.
#pragma once

#include <windows.h>
#include <winternl.h>

// Status codes this code tells apart (ntstatus.h cannot be included beside windows.h).
constexpr NTSTATUS status_buffer_overflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS status_buffer_too_small = static_cast<NTSTATUS>(0xC0000023);

// NtQueryValueKey's record for KeyValuePartialInformation: the type and the data alone.
constexpr int key_value_partial_information = 2;
struct key_value_partial {
    ULONG title_index;
    ULONG type;  // REG_SZ, REG_EXPAND_SZ, ...
    ULONG data_length;  // in bytes
    UCHAR data[1];
};

extern "C" {
NTSTATUS NTAPI NtOpenProcessToken(HANDLE process, ACCESS_MASK access, HANDLE* token);
NTSTATUS NTAPI NtQueryInformationToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, ULONG size,
                                       ULONG* returned);
NTSTATUS NTAPI NtQuerySecurityObject(HANDLE object, SECURITY_INFORMATION wanted, PSECURITY_DESCRIPTOR descriptor,
                                     ULONG size, ULONG* needed);
NTSTATUS NTAPI NtOpenKey(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
NTSTATUS NTAPI NtQueryValueKey(HANDLE key, UNICODE_STRING* name, int kind, void* data, ULONG size, ULONG* returned);
NTSTATUS NTAPI RtlOpenCurrentUser(ACCESS_MASK access, HANDLE* key);
NTSTATUS NTAPI RtlCopySid(ULONG size, PSID destination, PSID source);
BOOLEAN NTAPI RtlEqualSid(PSID first, PSID second);
NTSTATUS NTAPI RtlCreateAcl(PACL access_list, ULONG size, ULONG revision);
NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL access_list, ULONG revision, ULONG flags, ACCESS_MASK access, PSID sid);
NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, ULONG revision);
NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOLEAN defaulted);
NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, BOOLEAN present, PACL access_list,
                                            BOOLEAN defaulted);
NTSTATUS NTAPI RtlSetControlSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL mask,
                                               SECURITY_DESCRIPTOR_CONTROL bits);
NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, PSID* owner, BOOLEAN* defaulted);
NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, BOOLEAN* present, PACL* access_list,
                                            BOOLEAN* defaulted);
NTSTATUS NTAPI RtlGetAce(PACL access_list, ULONG index, void** entry);
NTSTATUS NTAPI NtQueryFullAttributesFile(OBJECT_ATTRIBUTES* attributes, FILE_NETWORK_OPEN_INFORMATION* information);
}

// True for a success; otherwise the status, as a system error code, becomes the thread's
// last error, as the ADVAPI32 call would have left it.
inline bool nt_succeeded(NTSTATUS status) {
    if (NT_SUCCESS(status)) return true;
    SetLastError(RtlNtStatusToDosError(status));
    return false;
}
