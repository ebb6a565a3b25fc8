#include "workers/write_pool.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "state/run_state.h"
#include "workers/worker_threads.h"

namespace {

constexpr int slice_count = 32;
// The main thread, out of slices, sleeps until this many are free again: woken for each
// one, it would trade a wake with a worker for every piece.
constexpr int refill_count = slice_count / 4;
// Under Wine a thread took 15 ms and more to start (bench/README.md): a small payload is
// written before the first would be. So the main thread writes alone for this long first.
constexpr LONGLONG writing_alone_us = 20000;
constexpr uint32_t no_failure = UINT32_MAX;

// One piece of a file on its way to disk.
struct file_slice {
    wchar_t path[write_path_capacity];  // read with the file's first piece only
    unsigned char data[piece_capacity];
    size_t length;
    size_t path_length;
    uint32_t file_index;  // the file's place in the payload
    bool opens;
    bool closes;
};

struct worker {
    HANDLE thread;
    CONDITION_VARIABLE work_ready;
    // Slice numbers in the order handed over; under pool_lock.
    int queue[slice_count];
    int first;
    int queued;
    bool writing;  // a slice taken and not yet given back; under pool_lock
    // The worker's own: set before it touches the file system and while it holds a file
    // open, so that the console handler knows when it can write no more.
    std::atomic<bool> busy;
    HANDLE file;  // the worker's own
    // The path of the file it holds open, under pool_lock: a later entry of the same name
    // must go to the same worker, to be written after it.
    wchar_t open_path[write_path_capacity];
    size_t open_path_length;  // 0 while no file is open
};

// Shared, under pool_lock: the free slices, the queues, the end of the workers.
SRWLOCK pool_lock = SRWLOCK_INIT;
CONDITION_VARIABLE slice_returned = CONDITION_VARIABLE_INIT;  // the main thread waits here
CONDITION_VARIABLE slices_freed = CONDITION_VARIABLE_INIT;    // and here for free slices
int free_slices[slice_count];
int free_count = 0;
bool quitting = false;

// Written by the thread that fails first in payload order, under pool_lock; read by the
// main thread once the workers are quiet. Lowered only, so later files are skipped.
std::atomic<uint32_t> first_failure_index{no_failure};
bool failure_in_open = false;
DWORD failure_error = 0;
wchar_t failure_path[write_path_capacity];

// Set by the main thread before the directory goes after a failure: nothing more is written.
std::atomic<bool> abandoned{false};

// The main thread's.
file_slice* slices = nullptr;
worker workers[most_worker_threads];
std::atomic<int> worker_count{0};  // read by the console handler's thread
bool started = false;
bool inline_writing = false;  // no workers (yet): the main thread writes into entry_file itself
bool workers_wanted = false;
LARGE_INTEGER writing_started;
bool settled = false;
int current_slice = -1;
int current_worker = -1;
uint32_t files_begun = 0;

void close_written_file(HANDLE* file) {
    if (*file == INVALID_HANDLE_VALUE) return;
    CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
#ifdef TARVIX_BENCH_CLOSE_WAIT_MS
    Sleep(TARVIX_BENCH_CLOSE_WAIT_MS);  // the benchmark's model of a scanner that reads each file at its close
#endif
}

void record_failure(const file_slice* slice, bool in_open, DWORD error) {
    AcquireSRWLockExclusive(&pool_lock);
    if (slice->file_index < first_failure_index) {
        first_failure_index = slice->file_index;
        failure_in_open = in_open;
        failure_error = error;
        wcscpy(failure_path, slice->path);  // both of write_path_capacity
    }
    ReleaseSRWLockExclusive(&pool_lock);
}

// Does the file system work of one slice in file. False when a console event has asked
// the run to stop: the file is then closed and nothing was written.
bool write_slice(const file_slice* slice, HANDLE* file) {
    if (stop_requested) {
        close_written_file(file);
        return false;
    }
    // A file after the first failure, or any after the run has given up: left unwritten.
    if (abandoned || slice->file_index > first_failure_index) {
        close_written_file(file);
        return true;
    }
    if (slice->opens) {
        *file = CreateFileW(slice->path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (*file == INVALID_HANDLE_VALUE) {
            record_failure(slice, true, GetLastError());
            return true;
        }
    }
    if (*file == INVALID_HANDLE_VALUE) return true;  // the rest of a file that failed
    if (slice->length > 0) {
        DWORD written = 0;
        if (!WriteFile(*file, slice->data, static_cast<DWORD>(slice->length), &written, nullptr)) {
            record_failure(slice, false, GetLastError());
            close_written_file(file);
            return true;
        }
        // A write that reports success but falls short would lose data without a word.
        if (written != slice->length) {
            record_failure(slice, false, ERROR_WRITE_FAULT);
            close_written_file(file);
            return true;
        }
    }
    if (slice->closes) close_written_file(file);
    return true;
}

// Waits for the worker's next slice; -1 once the workers are to end. A console event
// makes it close the file it holds open between two pieces.
int take_slice(worker* self) {
    AcquireSRWLockExclusive(&pool_lock);
    int slice = -1;
    for (;;) {
        if (self->queued > 0) {
            slice = self->queue[self->first];
            self->first = (self->first + 1) % slice_count;
            --self->queued;
            self->writing = true;
            self->busy = true;
            if (slices[slice].opens) {
                wmemcpy(self->open_path, slices[slice].path, slices[slice].path_length + 1);
                self->open_path_length = slices[slice].path_length;
            }
            break;
        }
        if ((stop_requested || abandoned) && self->file != INVALID_HANDLE_VALUE) {
            ReleaseSRWLockExclusive(&pool_lock);
            close_written_file(&self->file);
            AcquireSRWLockExclusive(&pool_lock);
            self->open_path_length = 0;
            self->busy = false;
            WakeConditionVariable(&slice_returned);
            continue;
        }
        if (quitting) break;
        SleepConditionVariableSRW(&self->work_ready, &pool_lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&pool_lock);
    return slice;
}

DWORD WINAPI worker_loop(void* argument) {
    worker* self = static_cast<worker*>(argument);
    for (;;) {
        int slice = take_slice(self);
        if (slice < 0) return 0;
        write_slice(&slices[slice], &self->file);
        AcquireSRWLockExclusive(&pool_lock);
        free_slices[free_count++] = slice;
        self->writing = false;
        if (self->file == INVALID_HANDLE_VALUE) {
            self->open_path_length = 0;
            self->busy = false;
        }
        WakeConditionVariable(&slice_returned);
        if (free_count >= refill_count || first_failure_index != no_failure) WakeConditionVariable(&slices_freed);
        ReleaseSRWLockExclusive(&pool_lock);
    }
}

// Whether a worker has slices left to write. One that holds a file open for the pieces
// still to come is done with what it was given. Under pool_lock.
bool any_worker_writing() {
    for (int i = 0; i < worker_count; ++i) {
        if (workers[i].queued > 0 || workers[i].writing) return true;
    }
    return false;
}

// Whether a worker may still touch the directory. Under pool_lock.
bool any_worker_busy() {
    for (int i = 0; i < worker_count; ++i) {
        if (workers[i].queued > 0 || workers[i].busy) return true;
    }
    return false;
}

// Main thread: waits, under pool_lock, until wanted holds, parking for a console event.
template <typename condition>
void wait_locked(condition wanted, CONDITION_VARIABLE* woken_by = &slice_returned) {
    while (!wanted()) {
        if (stop_requested) {
            ReleaseSRWLockExclusive(&pool_lock);
            wait_to_be_ended();
        }
        SleepConditionVariableSRW(woken_by, &pool_lock, INFINITE, 0);
    }
}

void wait_until_quiet() {
    AcquireSRWLockExclusive(&pool_lock);
    wait_locked([] { return !any_worker_writing(); });
    ReleaseSRWLockExclusive(&pool_lock);
}

// Ends the run with the first failure, once every file before it has been written.
[[noreturn]] void report_failure() {
    wait_until_quiet();
    settled = true;
    if (failure_in_open) fatal_open_error(plain_path_form(failure_path));
    fatal_os_error(message_unpack_failed, failure_error);
}

void check_for_failure() {
    if (stop_requested) wait_to_be_ended();
    if (first_failure_index != no_failure) report_failure();
}

void start_pool() {
    started = true;
    settled = false;
    quitting = false;
    abandoned = false;
    first_failure_index = no_failure;
    files_begun = 0;
    current_worker = -1;
    inline_writing = true;
    workers_wanted = worker_thread_count() > 0;
    QueryPerformanceCounter(&writing_started);
    int count = workers_wanted ? slice_count : 1;
    slices = static_cast<file_slice*>(malloc(sizeof(file_slice) * count));
    if (slices == nullptr) fatal_error(message_out_of_memory);
    free_count = 0;
    for (int i = count - 1; i >= 0; --i) free_slices[free_count++] = i;
}

// A worker more, when every one has work and the count allows. False when none could be
// started at all: the main thread then writes itself.
bool add_worker() {
    int count = worker_count;
    worker* added = &workers[count];
    InitializeConditionVariable(&added->work_ready);
    added->first = 0;
    added->queued = 0;
    added->writing = false;
    added->busy = false;
    added->file = INVALID_HANDLE_VALUE;
    added->open_path_length = 0;
    added->thread = start_worker_thread(worker_loop, added);
    if (added->thread == nullptr) return false;
    worker_count = count + 1;
    return true;
}

// Whether the file system takes the two names for one file (it ignores letter case).
bool same_file(const wchar_t* path, size_t length, const wchar_t* other, size_t other_length) {
    return length == other_length &&
           CompareStringOrdinal(path, static_cast<int>(length), other, static_cast<int>(other_length), TRUE) ==
               CSTR_EQUAL;
}

// The worker that has a file of this name open or waiting, -1 when none. Under pool_lock.
int worker_with_file(const wchar_t* path, size_t length) {
    for (int i = 0; i < worker_count; ++i) {
        const worker& candidate = workers[i];
        if (same_file(path, length, candidate.open_path, candidate.open_path_length)) return i;
        for (int k = 0; k < candidate.queued; ++k) {
            const file_slice& waiting = slices[candidate.queue[(candidate.first + k) % slice_count]];
            if (waiting.opens && same_file(path, length, waiting.path, waiting.path_length)) return i;
        }
    }
    return -1;
}

// The worker that writes the file: the one that has a file of the same name, so that the
// later entry wins as it would written in order; else the one with the least work, or a
// new one when all have some. Under pool_lock.
int choose_worker(const file_slice* slice) {
    int chosen = worker_with_file(slice->path, slice->path_length);
    if (chosen >= 0) return chosen;
    for (int i = 0; i < worker_count; ++i) {
        if (chosen < 0 || workers[i].queued < workers[chosen].queued) chosen = i;
    }
    bool all_working = chosen < 0 || workers[chosen].queued > 0 || workers[chosen].busy;
    if (all_working && worker_count < worker_thread_count() && add_worker()) chosen = worker_count - 1;
    return chosen;
}

// The next free slice for the file begun last; path, of a new file, goes with it.
unsigned char* take_free_slice(const wchar_t* path) {
    AcquireSRWLockExclusive(&pool_lock);
    if (free_count == 0) {
        wait_locked([] { return free_count >= refill_count || first_failure_index != no_failure; }, &slices_freed);
    }
    if (first_failure_index != no_failure) {
        ReleaseSRWLockExclusive(&pool_lock);
        report_failure();
    }
    current_slice = free_slices[--free_count];
    file_slice* slice = &slices[current_slice];
    slice->opens = path != nullptr;
    slice->file_index = files_begun - 1;
    if (slice->opens) {
        slice->path_length = wcslen(path);
        wmemcpy(slice->path, path, slice->path_length + 1);  // the caller's buffer is of write_path_capacity
        if (!inline_writing) {
            current_worker = choose_worker(slice);
            // Not one thread could be started: the main thread goes on writing alone.
            if (current_worker < 0) {
                inline_writing = true;
                workers_wanted = false;
            }
        }
    }
    ReleaseSRWLockExclusive(&pool_lock);
    return slice->data;
}

// Whether the main thread has written alone long enough for workers to pay off. Their
// files come after every file it wrote, which it closed before handing over the next.
bool time_for_workers() {
    if (!workers_wanted) return false;
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (now.QuadPart - writing_started.QuadPart) * 1000000 / frequency.QuadPart >= writing_alone_us;
}

}  // namespace

unsigned char* write_pool_begin_file(const wchar_t* path) {
    if (!started) start_pool();
    check_for_failure();
    if (inline_writing && time_for_workers()) inline_writing = false;
    ++files_begun;
    return take_free_slice(path);
}

unsigned char* write_pool_hand_over(size_t length, bool last) {
    file_slice* slice = &slices[current_slice];
    slice->length = length;
    slice->closes = last;
    if (inline_writing) {
        // The slice goes back to the free list as soon as it is written.
        if (!write_slice(slice, &entry_file)) wait_to_be_ended();
        AcquireSRWLockExclusive(&pool_lock);
        free_slices[free_count++] = current_slice;
        ReleaseSRWLockExclusive(&pool_lock);
    } else {
        worker* chosen = &workers[current_worker];
        AcquireSRWLockExclusive(&pool_lock);
        chosen->queue[(chosen->first + chosen->queued) % slice_count] = current_slice;
        ++chosen->queued;
        WakeConditionVariable(&chosen->work_ready);
        ReleaseSRWLockExclusive(&pool_lock);
    }
    current_slice = -1;
    check_for_failure();
    return last ? nullptr : take_free_slice(nullptr);
}

void write_pool_wait_for_file(const wchar_t* path) {
    if (!started || inline_writing) return;
    size_t length = wcslen(path);
    AcquireSRWLockExclusive(&pool_lock);
    wait_locked([&] { return worker_with_file(path, length) < 0 || first_failure_index != no_failure; });
    ReleaseSRWLockExclusive(&pool_lock);
    check_for_failure();
}

void write_pool_finish() {
    if (!started) return;
    wait_until_quiet();
    if (first_failure_index != no_failure) report_failure();
    AcquireSRWLockExclusive(&pool_lock);
    quitting = true;
    for (int i = 0; i < worker_count; ++i) WakeConditionVariable(&workers[i].work_ready);
    ReleaseSRWLockExclusive(&pool_lock);
    for (int i = 0; i < worker_count; ++i) {
        WaitForSingleObject(workers[i].thread, INFINITE);
        CloseHandle(workers[i].thread);
    }
    if (trace_enabled) trace_line("write pool: %d worker threads beside the main thread", 0LL + worker_count);
    worker_count = 0;
    free(slices);
    slices = nullptr;
    started = false;
}

void write_pool_settle() {
    if (!started || settled) return;
    wait_until_quiet();
    settled = true;
    if (first_failure_index != no_failure) report_failure();
}

void write_pool_abandon() {
    abandoned = true;
    write_pool_wake();
    AcquireSRWLockExclusive(&pool_lock);
    while (any_worker_busy()) SleepConditionVariableSRW(&slice_returned, &pool_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&pool_lock);
}

void write_pool_wake() {
    AcquireSRWLockExclusive(&pool_lock);
    for (int i = 0; i < worker_count; ++i) WakeConditionVariable(&workers[i].work_ready);
    WakeAllConditionVariable(&slice_returned);
    WakeAllConditionVariable(&slices_freed);
    ReleaseSRWLockExclusive(&pool_lock);
}

bool write_pool_quiet() {
    for (int i = 0; i < worker_count; ++i) {
        if (workers[i].busy) return false;
    }
    return true;
}
