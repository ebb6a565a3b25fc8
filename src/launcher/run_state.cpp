#include "launcher/run_state.h"

#include <windows.h>

wchar_t target_directory[target_directory_capacity + 1];
wchar_t application_library_path[library_path_capacity];
bool in_process_mode = false;
std::atomic<bool> extraction_started{false};
std::atomic<bool> stop_requested{false};

void wait_to_be_ended() {
    for (;;) Sleep(INFINITE);
}
