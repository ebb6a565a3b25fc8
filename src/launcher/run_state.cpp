#include "launcher/run_state.h"

wchar_t target_directory[target_directory_capacity + 1];
wchar_t application_library_path[library_path_capacity];
bool in_process_mode = false;
std::atomic<bool> extraction_started{false};
