// Writing the payload's entries below the target directory.
#pragma once

#include <cstdint>

// Called as each entry is handed over for writing, in payload order, with its path
// relative to the target directory and its size; nullptr for none. The cached run lists
// them.
extern void (*entry_extracted)(const wchar_t* relative_path, uint64_t size);

// Reads the entries in order and has the write pool write each below the target
// directory, every file's directory made first, recording the first one's full path as
// the application library path. Returns once every file is closed. In in-process mode it returns
// as soon as that path is recorded, having written nothing. A payload without any entry
// ends the process: its second run would start yet another run, without end.
void extract_payload();

// Whether a payload path stays below the target directory (see extraction.cpp): the
// packer writes nothing else, a damaged payload could.
bool relative_path_is_safe(const wchar_t* path);

// Makes sure the directory (absolute, no trailing backslash, plain or in long form)
// exists, remembering it when it does; calls name it in long form, so depth is no limit.
// False when it can neither be found nor created.
bool ensure_directory(const wchar_t* path);

// Makes sure every ancestor of path exists; path itself is left to ensure_directory.
void create_directory_chain(const wchar_t* path);
