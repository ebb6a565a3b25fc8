// Starting the launcher's own executable again as the child that runs the application.
#pragma once

#include <cstdint>

// Starts the child with the launcher's arguments (argument 0 replaced by the module's
// full path), standard handles and environment, waits for it, removes the target
// directory and returns the child's exit code, all 32 bits of it; 1 when it cannot be read.
uint32_t run_child_process();

// Appends one argument to the child's command line, quoted so that the system's
// splitting rules give it back unchanged. Ends the process through abort when the line
// would grow past 32767 characters.
void append_argument(const wchar_t* argument);

// The command line built so far; the tests read it.
extern wchar_t child_command_line[32768];
