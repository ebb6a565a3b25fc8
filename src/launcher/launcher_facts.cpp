#include "launcher/launcher_facts.h"

#include <cwchar>

#include "common/bounded_text.h"
#include "paths/environment.h"
#include "paths/executable_path.h"

void publish_launcher_facts(const wchar_t* argument_0) {
    wchar_t directory[executable_path_capacity];
    text_copy(directory, executable_path_capacity, get_executable_path(false));
    wchar_t* last_backslash = wcsrchr(directory, L'\\');
    if (last_backslash != nullptr) *last_backslash = 0;
    set_environment("TARVIX_ONEFILE_DIRECTORY", directory);
    set_environment("TARVIX_ORIGINAL_ARGV0", argument_0);
}
