// The second run: recognising it, and handing the process to the application library.
#pragma once

#include <windows.h>

// True when TARVIX_ONEFILE_PARENT names a live ancestor of this process (its parent, or
// a few generations up) running this very executable file. Every failure on the way
// means false; nothing is reported.
bool detect_in_process_mode();

// Loads the application library from the target directory and returns what its
// run_code returns. Ends the process when the library cannot be loaded or lacks run_code.
int run_application_library(int argument_count, wchar_t** arguments);

// The two halves of run_application_library, for a caller that can recover from a
// library that does not load: nullptr then, with the system's error code to read. From
// the load on, the process finds libraries by bare name in the target directory and the
// system's folder only.
HMODULE load_application_library();
// Ends the process when the library lacks run_code.
int run_loaded_library(HMODULE library, int argument_count, wchar_t** arguments);
