// Removing the target directory with everything in it.
#pragma once

#include <windows.h>

// Deletes a directory tree by walking it without recursion: each directory is held open
// from the moment its handle shows it to be no link, listed through that handle and
// deleted through it once empty; each file is deleted through a handle that shows it to
// be what its path names. A link, junction or mount point inside, or in the directory's
// own place, is removed itself, never followed: by the name its handle holds, not only by
// an attribute, for a Unix symbolic link under Wine has none, and every open follows it.
// Wine cannot remove such a link to a directory at all: it stays, and the folder holding
// it. Read-only entries are made writable first. Leaves whatever cannot be deleted.
void delete_tree(const wchar_t* directory);

// Whether handle, opened on path (absolute) with FILE_FLAG_OPEN_REPARSE_POINT, holds the
// entry at path itself (the name its parent folder has, then path's last component): no
// link, junction or mount point, nor what one that the open followed points to.
bool holds_own_entry(HANDLE handle, const wchar_t* path);

// Deletes the target directory: the walk first, then, only while the directory still
// stands and the walk met no link it could not remove, the shell's delete and up to 20
// repeats 100 ms apart. Reports nothing. The main thread and the console handler's thread
// may both call it; they take turns. A call from within the removal (an abort on the
// removing thread or one of its helpers) returns at once.
void remove_target_directory();

// A normal run that ends early (a reported failure or an abort) removes the target
// directory it has made; an in-process run removes nothing, its parent does.
void remove_target_directory_after_failure();
