// The launcher's run from entry to exit: cached, normal and in-process.
#pragma once

// Returns the process exit code: run_code's in the cached run and in in-process mode, the
// child's in normal mode.
int launcher_main(int argument_count, wchar_t** arguments);
