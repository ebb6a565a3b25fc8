// Writing the payload's entries below the target directory.
#pragma once

// Reads the entries in order and has the write pool write each below the target
// directory, every file's directory made first, recording the first one's full path as
// the application library path. Returns once every file is closed. In in-process mode it returns
// as soon as that path is recorded, having written nothing. A payload without any entry
// ends the process: its second run would start yet another run, without end.
void extract_payload();

// Makes sure the directory (absolute, no trailing backslash, plain or in long form)
// exists, remembering it when it does; calls name it in long form, so depth is no limit.
// False when it can neither be found nor created.
bool ensure_directory(const wchar_t* path);

// Makes sure every ancestor of path exists; path itself is left to ensure_directory.
void create_directory_chain(const wchar_t* path);
