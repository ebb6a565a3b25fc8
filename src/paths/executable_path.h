// The launcher's own executable path, and the canonical form that lets two different
// paths of one file compare equal character for character.
#pragma once

#include <cstddef>

// Capacity of each cached form, the NUL included.
inline constexpr size_t executable_path_capacity = 4097;

// The plain form (the module file name as the system reports it) or the resolved form
// (put through resolve_final_path). Computed once; the buffer belongs to this module.
const wchar_t* get_executable_path(bool resolved);

// Rewrites path in place: the final path of the opened file, "\\?\C:\" and "\\?\UNC\"
// turned into drive and network forms, then the directory part shortened. A file that
// cannot be opened is only shortened. capacity counts the NUL.
void resolve_final_path(wchar_t* path, size_t capacity);

// Rewrites path in place with its directory part in short (8.3) form; the file name
// keeps its long form. A directory the system cannot find leaves path unchanged.
void shorten_path(wchar_t* path, size_t capacity);
