// The launcher's run from entry to exit, in normal and in in-process mode.
#pragma once

// Returns the process exit code: the child's in normal mode, run_code's in in-process mode.
int launcher_main(int argument_count, wchar_t** arguments);

