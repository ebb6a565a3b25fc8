// The cached run: the payload is extracted once into a per-user cache directory, and
// every start runs the application from there in its own process.
#pragma once

#include <cstddef>

// The cache directory's template and the payload's digest.
#include "payload/attached_payload.h"

// Finds the cache directory whole, or fills it (a fresh private sibling, extracted, its
// completion record written last, then renamed into place), runs run_code in this very
// process, or a program payload's program as the child, and stores the exit code in
// *exit_code. A damaged directory is set aside and extracted again, once. False, having
// run nothing and left nothing of its own, when the cache cannot be used: it is not the
// user's own or is open to others (as on a volume without access lists), lies below
// someone else's folder, cannot be written or is held damaged by a running start. An elevated start uses a cache of its
// own, "<digest>.elevated", and only where neither it nor any folder above it is the
// plain user's. The caller then runs the application the default way.
bool run_from_cache(int argument_count, wchar_t** arguments, int* exit_code);

enum cache_state { cache_missing, cache_damaged, cache_unusable, cache_ready };

// Opens directory as the cache to run from and, unless it is missing or unusable, keeps
// it open in held_directory. Ready when it is the user's own, on a volume with access
// lists, below trusted folders and whole by its record: application_library_path then
// names its library.
cache_state open_cache(const wchar_t* directory);
