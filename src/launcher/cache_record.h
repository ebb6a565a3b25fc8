// The completion record at the top of a cache directory: written last, it lists every
// entry of the payload with its size, so that a later start can tell a whole directory
// from one that a cleaner, a scanner or a power loss has damaged.
//
//   tarvix cache record 2 \n  digest \n  library name \n  then per entry:  size " " path \n
//
// UTF-16 text. The entries are sorted by folder, then by name (ordinally, unit by unit,
// letter case ignored as the file system ignores it), so that each folder's entries lie
// together; of two entries that differ only in case, the later one alone is listed.
#pragma once

#include <cstddef>

// Starts listing the entries that extraction writes, through entry_extracted.
void begin_cache_record();

// Writes the record of the entries listed since begin_cache_record into directory, whose
// library (at the top) is library_name. False when it cannot be written whole; the
// system's error code is then GetLastError's.
bool write_cache_record(const wchar_t* directory, const wchar_t* library_name);

// True when directory holds a record of this payload and every entry it lists is there,
// a file of the recorded size; library_name then receives the library's name. Each
// folder is read with one listing, not one call per file. Files that are not listed
// (an application's own caches, for one) do not matter.
bool directory_matches_record(const wchar_t* directory, wchar_t* library_name, size_t capacity);
