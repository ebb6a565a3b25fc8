// What the launcher's run shares between its parts and with the console handler's thread.
#pragma once

#include <atomic>
#include <cstddef>

inline constexpr size_t target_directory_capacity = 4096;
inline constexpr size_t library_path_capacity = 4096;

// The absolute directory the payload goes to. Every unit after the path's NUL is NUL,
// one unit beyond the capacity included, so the path is always followed by a second NUL:
// the shell's delete takes it as a list of names ended by an empty one.
extern wchar_t target_directory[target_directory_capacity + 1];

// Full path of the first payload entry; empty until it has been read.
extern wchar_t application_library_path[library_path_capacity];

// True in the second run, which loads the library instead of extracting.
extern bool in_process_mode;

// Set before the first entry is read; from then on a cleanup removes the directory.
extern std::atomic<bool> extraction_started;

// Set by a console event: the handler is deleting the target directory and the system
// ends the process once it returns, so the main thread writes and starts nothing more.
extern std::atomic<bool> stop_requested;

// Parks the main thread until the system ends the process.
[[noreturn]] void wait_to_be_ended();
