// The run's target directory: its name, and its creation as a new directory that only
// the user who runs the launcher can open.
#pragma once

#include <windows.h>

// Makes path the target directory, followed by NULs only: the shell's delete reads the
// buffer as a list of names ended by an empty one.
void set_target_directory(const wchar_t* path);

// Expands the target directory's template into target_directory and makes it absolute.
// Ends the process when the template cannot be expanded.
void fix_target_directory();

// Fixes the temporary target directory's name: the template's, with new time and random
// parts from the second attempt on.
void choose_temporary_directory(int attempt);

// Creates the target directory, new and private, at the name that choose_name (called
// with the attempt's number, from 1) puts in target_directory. A name that exists already
// belongs to someone else and is never used: another is chosen, a few times, before the
// run ends with a message. From then on the run removes the directory at its end; until
// then held_directory holds it, so that nobody can rename or replace it.
void create_fresh_target_directory(void (*choose_name)(int attempt));

// A security descriptor that gives its owner, and SYSTEM, full access and nobody else.
// The owner is read_directory_owner's. The list is protected from the parent's
// inheritable entries and handed on to every file and directory made below.
struct private_descriptor {
    SECURITY_DESCRIPTOR descriptor;
    alignas(DWORD) unsigned char owner[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) unsigned char access_list[256];
};

// False when the token's user cannot be read.
bool build_private_descriptor(private_descriptor* built);

// Copies into sid (SECURITY_MAX_SID_SIZE bytes) the one account that owns, and has, a
// directory this token makes, and tells whether the token is elevated. The token's user
// for an ordinary token. An elevated token shares its user with the user's ordinary
// processes: Administrators then, when the token holds that group enabled and may make it
// owner; else the token's default owner, which the system always lets it set (the user
// itself, for an elevated token of a service or of other privileged groups).
bool read_directory_owner(void* sid, bool* elevated);

// The owner of an object as its security descriptor names it: sid points into descriptor,
// which holds the owner alone and has room for any.
struct object_owner {
    alignas(void*) unsigned char descriptor[sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SECURITY_MAX_SID_SIZE];
    PSID sid;
};

// Reads the owner of object, a handle opened with READ_CONTROL. False when it cannot, or
// the object has none.
bool read_object_owner(HANDLE object, object_owner* owner);

// True when directory, a handle opened with READ_CONTROL and FILE_READ_ATTRIBUTES on the
// object itself, is a real directory (no link or junction) owned by read_directory_owner's
// account (for an elevated administrator Administrators, never the user whose ordinary
// processes could have made it), whose access list lets no other account add, remove or
// rename an entry, move the directory or change who may: a volume without access lists
// reports none, which lets everyone.
bool is_own_directory(HANDLE directory);

// Creates path as a new private directory, its missing ancestors first, and opens it with
// access (SYNCHRONIZE added) and every sharing but delete in the same call: held from its
// first instant, nobody can rename or replace it while *held is open (closed at once when
// held is null). Returns 0, or the system's error code; ERROR_ALREADY_EXISTS when
// anything stands at path already.
DWORD create_private_directory(const wchar_t* path, ACCESS_MASK access = FILE_LIST_DIRECTORY, HANDLE* held = nullptr);
