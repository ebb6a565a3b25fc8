// Console events, and the end of the child and of the target directory.
#pragma once

#include <windows.h>

// Publishes the started child's process handle, or withdraws it (nullptr). The main
// thread alone closes the handle, after withdrawing it; the console handler's thread
// only waits on it and terminates it, under the same lock, so it never uses a closed one.
void child_handle_publish(HANDLE child);
HANDLE child_handle_withdraw();

// The application's start and a console event exclude each other, so that the handler
// knows whether the application has started: the main thread starts it between these two
// calls and marks it started before the second. application_start_begin is false, holding
// nothing, when an event has already asked the run to stop.
bool application_start_begin();
void mark_application_started();
void application_start_end();

// Registered in normal mode.
// - Before the child has started, any of interrupt, break, close, logoff and shutdown
//   stops the extraction, removes the target directory and ends the launcher with
//   STATUS_CONTROL_C_EXIT.
// - Once it has started, interrupt and break belong to the application, which gets them
//   from the system too: the launcher ignores them. Close, logoff and shutdown run the
//   cleanup and leave the launcher's end, with the child's exit code, to the main thread.
// - In session 0, the services' session, logoff is some user's elsewhere: the handler
//   consumes it and does nothing.
// A windowed launcher hears of logoff and shutdown through its hidden window
// (child/session_window.h), which hands them to this handler as the same events.
BOOL WINAPI console_control_handler(DWORD event);

// Gives a running child 2.5 seconds before ending it with STATUS_CONTROL_C_EXIT, then
// removes the target directory. Reports nothing.
void cleanup_target_directory();
