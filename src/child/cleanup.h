// Removing the target directory once the child has ended or a console event arrives.
#pragma once

#include <windows.h>

// Publishes the running child's process handle, or withdraws it (nullptr). The main
// thread alone closes the handle, after withdrawing it; the console handler's thread
// only waits on it and terminates it, under the same lock, so it never uses a closed one.
void child_handle_publish(HANDLE child);
HANDLE child_handle_withdraw();

// The child's start and a console event exclude each other, so that a handler that
// finds no child knows none will be started after it: the main thread starts the child
// between these two calls. child_start_begin is false, holding nothing, when an event
// has already asked the run to stop.
bool child_start_begin();
void child_start_end();

// Registered in normal mode. Cleans up on interrupt, break, close, logoff and shutdown,
// then returns FALSE so that the system's default handling ends the launcher.
BOOL WINAPI console_control_handler(DWORD event);

// Gives a running child 5 seconds before ending it, then deletes the target directory:
// one attempt and up to 20 more, 100 ms apart, while it still exists. Reports nothing.
void cleanup_target_directory();

// Deletes a directory tree by walking it. A junction or symbolic link inside is removed
// itself, never followed; read-only files are made writable first. Leaves whatever
// cannot be deleted.
void delete_tree(const wchar_t* directory);
