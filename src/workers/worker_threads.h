// How many threads beside the calling one take the launcher's file work, and starting them.
#pragma once

#include <windows.h>

inline constexpr int most_worker_threads = 4;

// The processors this process may run on (its affinity); 0 when the system does not say.
int usable_processor_count();

// Threads that write the extracted files, and that delete the tree beside the calling
// thread: twice the processors this process may run on, at most 4, for a close that
// waits on a scanner leaves its processor idle. 0 on one processor, where handing files
// over only adds switches: the calling thread does the work itself, as it did before
// there were workers. Counted once.
int worker_thread_count();

// Starts a thread with a small stack (its reservation; little of it is committed).
// Null when the system cannot start one: the caller then does the work itself.
HANDLE start_worker_thread(LPTHREAD_START_ROUTINE routine, void* argument);
