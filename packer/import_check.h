// Pack-time warnings about the libraries the first entry needs and the machine that runs
// it may lack: a build linked against a runtime that was not packed beside it.
#pragma once

#include <string>
#include <vector>

#include "file_tree.h"

// Whether every supported Windows has the library of this name (ASCII letters in any case):
// an API set or one of the system's own libraries.
bool every_windows_has(const std::string& library);

// One warning line on stderr for each library that the first entry (files[0]) imports,
// in its import tables or delay-loaded, and that is neither a file at the top of the
// payload nor one every Windows has. Only the top counts: the launcher loads the library
// (and starts the program) from there, and the loader looks for imports in that folder and
// the system's, never in folders below. Never fails the pack.
void warn_about_missing_imports(const std::vector<pack_file>& files);
