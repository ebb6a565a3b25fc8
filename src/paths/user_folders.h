// The user's own folders, read without the shell: the shell names the same folders but
// loads USER32 into the launcher and costs every start several milliseconds.
#pragma once

#include <cstddef>

// The profile folder of the process token's user ({HOME}). False when the system cannot
// name it; a folder longer than capacity - 1 units ends the process through abort.
bool get_profile_folder(wchar_t* output, size_t capacity);

// The user's local application data folder ({CACHE_DIR}), as the user's shell folder
// settings name it, or its default below the profile folder when they do not.
bool get_local_app_data_folder(wchar_t* output, size_t capacity);
