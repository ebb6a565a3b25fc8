#include "child/cleanup.h"

#include "state/run_state.h"
#include "target_directory/removal.h"
#include "workers/write_pool.h"

namespace {

// The system ends a process about 5 seconds after a close, logoff or shutdown event.
// The application, which has the event too, gets half of that to end by itself; the
// other half is left to ending it and deleting its files (a tree of 3,000 files takes
// about 0.6 s).
constexpr DWORD grace_period_ms = 2500;
// Termination is asynchronous; the child's files are free only once it is gone.
constexpr DWORD termination_wait_ms = 500;
// How long the handler waits for the main thread and the workers to stop writing before
// deleting anyway; they stop between two writes of at most 32 KiB.
constexpr DWORD park_timeout_ms = 2000;
constexpr DWORD park_poll_ms = 5;

SRWLOCK start_lock = SRWLOCK_INIT;
SRWLOCK child_lock = SRWLOCK_INIT;
HANDLE child_process_handle = nullptr;
bool application_started = false;  // under start_lock

// True when no child has started and none will: the run is to stop.
bool stop_before_child_start() {
    AcquireSRWLockExclusive(&start_lock);
    bool stopping = !application_started;
    if (stopping) stop_requested = true;
    ReleaseSRWLockExclusive(&start_lock);
    return stopping;
}

// Session 0 holds the services and no user's desktop: a logoff there tells that some
// user has logged off elsewhere, which ends neither a service's programs nor this run.
bool runs_in_services_session() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

void wait_for_writers_to_park() {
    write_pool_wake();  // a worker waiting for the next piece of a file closes it
    for (DWORD waited = 0; !(main_thread_parked() && write_pool_quiet()) && waited < park_timeout_ms;
         waited += park_poll_ms) {
        SleepEx(park_poll_ms, FALSE);
    }
}

}  // namespace

bool application_start_begin() {
    AcquireSRWLockExclusive(&start_lock);
    if (!stop_requested) return true;
    ReleaseSRWLockExclusive(&start_lock);
    return false;
}

void mark_application_started() { application_started = true; }

void application_start_end() { ReleaseSRWLockExclusive(&start_lock); }

void child_handle_publish(HANDLE child) {
    AcquireSRWLockExclusive(&child_lock);
    child_process_handle = child;
    ReleaseSRWLockExclusive(&child_lock);
}

HANDLE child_handle_withdraw() {
    AcquireSRWLockExclusive(&child_lock);
    HANDLE child = child_process_handle;
    child_process_handle = nullptr;
    ReleaseSRWLockExclusive(&child_lock);
    return child;
}

BOOL WINAPI console_control_handler(DWORD event) {
    bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!interrupt && !closing) return FALSE;
    // Consumed, so that the system's default handling does not end the launcher either;
    // the application has the event too and decides for itself.
    if (event == CTRL_LOGOFF_EVENT && runs_in_services_session()) return TRUE;
    if (stop_before_child_start()) {
        // Nothing of the application has run: undo the extraction and end as an
        // interrupted program ends, whatever the main thread was doing.
        wait_for_writers_to_park();
        if (extraction_started) remove_target_directory();
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
        return TRUE;
    }
    if (interrupt) return TRUE;
    cleanup_target_directory();
    // The main thread has the child's exit code and ends the run with it; returning
    // would let the system's default handling end the launcher with a code of its own.
    for (;;) SleepEx(INFINITE, FALSE);
}

void cleanup_target_directory() {
    AcquireSRWLockExclusive(&child_lock);
    if (child_process_handle != nullptr &&
        WaitForSingleObject(child_process_handle, grace_period_ms) != WAIT_OBJECT_0) {
        // Never 0: a run whose application had to be ended did not succeed.
        TerminateProcess(child_process_handle, STATUS_CONTROL_C_EXIT);
        WaitForSingleObject(child_process_handle, termination_wait_ms);
    }
    ReleaseSRWLockExclusive(&child_lock);
    if (extraction_started) remove_target_directory();
}
