#include "workers/worker_threads.h"

#include <atomic>

namespace {

std::atomic<int> counted_workers{-1};

constexpr SIZE_T worker_stack_reservation = 256 * 1024;

int count_workers() {
#ifdef TARVIX_ONE_THREAD
    return 0;  // the benchmark's one-thread build: the run as it was before workers
#else
    int processors = usable_processor_count();
    if (processors <= 1) return 0;
    return processors * 2 < most_worker_threads ? processors * 2 : most_worker_threads;
#endif
}

}  // namespace

int usable_processor_count() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    int processors = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        for (; process_mask != 0; process_mask &= process_mask - 1) ++processors;
    }
    return processors;
}

int worker_thread_count() {
    // Not a function's static: its guard would pull the C++ runtime's exception support
    // into the launcher (100 KB). Two threads counting at once find the same number.
    static_assert(std::atomic<int>::is_always_lock_free);
    int count = counted_workers;
    if (count < 0) counted_workers = count = count_workers();
    return count;
}

HANDLE start_worker_thread(LPTHREAD_START_ROUTINE routine, void* argument) {
    return CreateThread(nullptr, worker_stack_reservation, routine, argument, STACK_SIZE_PARAM_IS_A_RESERVATION,
                        nullptr);
}
