// The run's target directory: its name, and its creation as a new directory that only
// the user who runs the launcher can open.
#pragma once

#include <windows.h>

// Expands the target directory's template into target_directory and makes it absolute.
// Ends the process when the template cannot be expanded.
void fix_target_directory();

// Normal mode: fixes a fresh target directory and creates it, new and private. A name
// that exists already belongs to someone else and is never used: the time and random
// parts are drawn again, a few times, before the run ends with a message.
void create_fresh_target_directory();

// A security descriptor that gives the token's user, and SYSTEM, full access and
// nobody else. The list is protected from the parent's inheritable entries and handed
// on to every file and directory made below.
struct private_descriptor {
    SECURITY_DESCRIPTOR descriptor;
    alignas(DWORD) unsigned char user[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) unsigned char access_list[256];
};

// False when the token's user cannot be read.
bool build_private_descriptor(private_descriptor* built);

// Creates path as a new private directory, its missing ancestors first. Returns 0, or
// the system's error code; ERROR_ALREADY_EXISTS when anything stands at path already.
DWORD create_private_directory(const wchar_t* path);
