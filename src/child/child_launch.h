// Starting the child that runs the application: the launcher's own executable again, or
// the payload's program.
#pragma once

#include <windows.h>

#include <cstdint>

// What the child is, decided here alone from the payload's kind: for a library, this
// executable again, which loads it in-process; for a program, the extracted program
// itself (application_library_path), which is no launcher and so never extracts again.
bool child_is_payload_program();

// Starts the child with the launcher's own command line (argument 0 replaced by the
// child's full path), standard handles, environment and console, bound to the launcher
// so that it ends when the launcher ends; lets a held cache directory go once the child
// has started; waits for it, removes the target directory (when this run made it) and
// returns the child's exit code, all 32 bits of it; 1 when it cannot be read. When the
// payload's program is missing or is no program, a damaged cache's doing, and
// damaged_program is given, sets it and returns 0 having started nothing; otherwise that
// failure, as any other, ends the launcher with its message.
uint32_t run_child_process(bool* damaged_program = nullptr);

// The child's creation flags for its console: none when the launcher has a console, which
// the child then shares; DETACHED_PROCESS when the launcher has none (started detached,
// by a service or from a window, or windowed), so that the child has none either, as a
// plain program started that way would not.
DWORD child_console_flags();

// What follows argument 0 in a command line, found by the system's rule: a quoted
// argument 0 ends at the next quote, any other at the first blank or tab.
const wchar_t* command_line_tail(const wchar_t* command_line);

// Makes child_command_line the quoted program path followed by tail exactly as it
// stands, with a blank between them unless tail is empty or begins with a blank or tab.
// Ends the process with a message (fatal_error) when the line would exceed 32767
// characters.
void build_child_command_line(const wchar_t* program_path, const wchar_t* tail);

// The child's command line as built last; the tests read it.
extern wchar_t child_command_line[32768];
