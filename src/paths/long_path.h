// The form of a path that the file system takes at any length.
#pragma once

#include <cstddef>

// Units a path can grow by: "C:\x" becomes "\\?\C:\x", "\\server\x" "\\?\UNC\server\x".
inline constexpr size_t long_path_growth = 6;

// Writes the absolute path in the "\\?\" form, so that calls below it are not held to
// MAX_PATH (Windows lifts that limit only where a setting allows it). The path is made
// full first, as the system makes plain paths: "." and ".." resolved, trailing dots and
// blanks of a name dropped. A path already in that form, or naming a device ("\\.\"),
// stays as it is. False when the result would not fit capacity (which counts the NUL)
// or the system cannot make the path full.
bool long_path_form(wchar_t* output, size_t capacity, const wchar_t* path);

// The path without its "\\?\" prefix, as messages show it: a pointer into path, or for
// the network form ("\\?\UNC\server\...") the text rewritten in place as "\\server\...".
const wchar_t* plain_path_form(wchar_t* path);
