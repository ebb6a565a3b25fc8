// The ways a failure ends the launcher. None of them returns. A normal run removes the
// target directory it has made before it ends; a failure met while a console event is
// being handled is not reported: the handler ends the run. Once
// show_failures_in_message_box has been called, each also shows its line in a message box
// and waits for the user to close it, after the removal and before the exit.
#pragma once

#include <cstddef>
#include <cstdint>

// The message and a newline on standard output, then exit code 2.
[[noreturn]] void fatal_error(const char* message);

// "Error, couldn't runtime expand spec '<template>'." on standard error, then abort.
[[noreturn]] void fatal_template_error(const wchar_t* path_template);

// "<message> ([Error <code>] <system text>)" on standard error, then exit code 2.
// error_code is what GetLastError returned right after the failed call.
[[noreturn]] void fatal_os_error(const char* message, uint32_t error_code);

// fatal_os_error's line, then one that names what failed: the first import that neither
// path's folder nor the system folder holds and the file that needs it (path, or a library
// beside it), else path itself. For a library that does not load and a program that does
// not start; path must still be there.
[[noreturn]] void fatal_load_error(const char* message, uint32_t error_code, const wchar_t* path);

// The second line of fatal_load_error alone on standard error, when a missing import is
// found, and nothing otherwise: for a program that started but ended at once because the
// system could not load it. Reports, never ends the run.
void report_missing_import(const wchar_t* path);

// "Error, failed to open '<path>' for writing." on standard error, then exit code 2.
[[noreturn]] void fatal_open_error(const wchar_t* path);

// From now on an abort, the silent way out, also removes the target directory that a
// normal run has made.
void remove_target_directory_on_abort();

// A windowed launcher's user sees no console: from now on every failure is also shown in
// a message box with title (the product name; the system's default title when empty),
// which must stay valid until the process ends.
void show_failures_in_message_box(const wchar_t* title);

// Narrows a wide text for a message, one unit at a time: units up to U+00FF become the
// byte of the same value, and the text ends at the first unit above that. capacity counts
// the terminating NUL; text beyond it is cut.
void narrow_for_message(const wchar_t* text, char* output, size_t capacity);
