// The launcher's run from entry to exit, in normal and in in-process mode.
#pragma once

// Returns the process exit code: the child's in normal mode, run_code's in in-process mode.
int launcher_main(int argument_count, wchar_t** arguments);

// Publishes the directory that holds the launcher's executable and argv[0] as it came,
// for the application and everything it starts.
void publish_launcher_facts(const wchar_t* argument_0);
