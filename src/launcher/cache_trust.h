// Whose a cache directory and the folders above it may be: what decides whether the
// cached run may use them at all.
#pragma once

#include <windows.h>

// Opens path, a directory to keep open while it is used, with access (reading its owner
// and attributes is added) and every sharing but delete: as long as the handle lives,
// nobody can rename, replace or delete it. INVALID_HANDLE_VALUE with the system's error
// code in *error when it cannot be opened; with ERROR_INVALID_OWNER when it is not a real
// directory (no link or junction) of the token's own whose access list keeps everyone
// else out (is_own_directory): a volume that keeps no access lists (FAT, exFAT) has no
// such directory.
HANDLE open_own_directory(const wchar_t* path, DWORD access, DWORD* error);

// Creates path as a private directory held as open_own_directory holds one, from the
// instant it exists. 0, or the system's error code: ERROR_INVALID_OWNER when what was made
// is not the token's own as is_own_directory tells, *directory then open all the same.
DWORD create_own_directory(const wchar_t* path, DWORD access, HANDLE* directory);

// True when every folder above directory (an absolute path, drive or UNC), up to the
// root of its volume, belongs to SYSTEM, Administrators, TrustedInstaller or the owner of
// the token's own directories (read_directory_owner): then nobody else can have put or
// swapped anything on the way. For an elevated token that owner is never the user, whose
// ordinary processes share the user's SID: false when it would be.
bool folders_above_are_trusted(const wchar_t* directory);
