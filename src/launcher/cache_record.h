// The completion record at the top of a cache directory: written last, it lists every
// entry of the payload with its size, so that a later start can tell a whole directory
// from one that a cleaner, a scanner or a power loss has damaged.
//
//   tarvix cache record 4 \n  digest \n  library name \n
//   then per folder:  "@" write time " " units " " folder path \n
//   and per entry in it:  size " " name \n
//   and last:  "end" \n
//
// UTF-16 text. The folders are sorted (ordinally, unit by unit, letter case ignored as
// the file system ignores it), the top first with an empty path, and each folder's
// entries by name; of two entries that differ only in case, the later one alone is
// listed. units is the length of the folder's entry lines, which a start that does not
// list the folder steps over unread. A folder's write time (FILETIME units) changes when
// an entry in it is added, removed or renamed; the top's is 0, as it is listed at every
// start.
#pragma once

#include <cstddef>

// Starts listing the entries that extraction writes, through entry_extracted.
void begin_cache_record();

// Writes the record of the entries listed since begin_cache_record into directory, whose
// library (at the top) is library_name. False when it cannot be written whole; the
// system's error code is then GetLastError's.
bool write_cache_record(const wchar_t* directory, const wchar_t* library_name);

// True when directory holds a record of this payload and every folder it lists is there,
// and every entry of the top folder and of folders whose write time differs from the
// recorded one is a file of the recorded size (one attribute query per folder, and one
// listing per folder so compared); library_name then receives the library's name. The
// other folders, whose time says no entry has come or gone, are left to
// begin_background_comparison; when they are a few, they are listed as well, and on one
// processor a few of them are, from a different one at each start. Files that are not
// listed (an application's own caches, for one) do not matter.
bool directory_matches_record(const wchar_t* directory, wchar_t* library_name, size_t capacity);

// Lists, on a thread of background priority, the folders that the last true
// directory_matches_record left, from one that changes from start to start, and when a
// file there is missing or of another size (resized in place), marks the record damaged,
// so that the next start heals the directory. Nothing when no folder was left.
void begin_background_comparison();

// Stops that comparison after the folder it is listing and waits for its thread, and
// forgets what the record left: before the process ends, and before the directory is
// set aside.
void end_background_comparison();
