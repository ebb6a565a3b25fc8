#include "state/run_state.h"

#include <windows.h>

int program_argument_count = 0;
wchar_t** program_arguments = nullptr;
wchar_t target_directory[target_directory_capacity + 1];
wchar_t application_library_path[library_path_capacity];
bool in_process_mode = false;
std::atomic<bool> extraction_started{false};
std::atomic<bool> stop_requested{false};
HANDLE entry_file = INVALID_HANDLE_VALUE;
HANDLE held_directory = INVALID_HANDLE_VALUE;

void close_entry_file() {
    if (entry_file == INVALID_HANDLE_VALUE) return;
    CloseHandle(entry_file);
    entry_file = INVALID_HANDLE_VALUE;
}

void release_held_directory() {
    if (held_directory == INVALID_HANDLE_VALUE) return;
    CloseHandle(held_directory);
    held_directory = INVALID_HANDLE_VALUE;
}

namespace {

std::atomic<bool> parked{false};

}  // namespace

void wait_to_be_ended() {
    parked = true;
    for (;;) Sleep(INFINITE);
}

bool main_thread_parked() { return parked; }
