// What the launcher's run shares between its rooms and with the console handler's thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

inline constexpr size_t target_directory_capacity = 4096;
inline constexpr size_t library_path_capacity = 4096;

// The argument vector as the runtime handed it to the entry; {PROGRAM} reads argument 0.
extern int program_argument_count;
extern wchar_t** program_arguments;

// The absolute directory the payload goes to. Every unit after the path's NUL is NUL,
// one unit beyond the capacity included, so the path is always followed by a second NUL:
// the shell's delete takes it as a list of names ended by an empty one.
extern wchar_t target_directory[target_directory_capacity + 1];

// Full path of the first payload entry; empty until it has been read.
extern wchar_t application_library_path[library_path_capacity];

// True in the second run, which loads the library instead of extracting.
extern bool in_process_mode;

// Set once this run has made its own target directory: from then on every end of a
// normal run removes it.
extern std::atomic<bool> extraction_started;

// The file the main thread is writing (when it writes without workers, and the cache's
// record), INVALID_HANDLE_VALUE between files: a run that ends early closes it, so that
// the target directory can go. The main thread's alone; each worker has its own.
extern HANDLE entry_file;
void close_entry_file();

// A default run's target directory for the whole run, or the cached run's directory being
// filled, loaded from or run from; INVALID_HANDLE_VALUE when none: held without delete
// sharing, so that nobody can rename or replace it meanwhile. It also keeps the holder
// itself from deleting the directory, so every removal releases it.
extern HANDLE held_directory;
void release_held_directory();

// Set by a console event before the child has started: the handler removes the target
// directory and ends the process, so the main thread writes, reports and starts nothing
// more.
extern std::atomic<bool> stop_requested;

// Parks the main thread until the console handler ends the process, telling the handler
// first that nothing more will be written.
[[noreturn]] void wait_to_be_ended();

// True once the main thread has parked; the handler waits for that, and for the write
// pool's workers to be quiet, before deleting, so that no file can appear after its deletion.
bool main_thread_parked();
