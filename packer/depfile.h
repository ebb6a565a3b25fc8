// What a build read, for build tools that run the packer again when any of it changes.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "file_tree.h"

// Writes a make-style dependency file (as compilers write with -MD) naming output as the
// target and as its prerequisites every file packed and every directory below dir, dir
// included: a file added to or removed from a directory changes that directory's time.
// Writes beside depfile first and renames it into place. Throws failure on any error,
// also for a path that the format cannot hold (a line break).
void write_depfile(const std::filesystem::path& depfile, const std::filesystem::path& output,
                   const std::vector<pack_file>& files, const std::optional<std::filesystem::path>& dir);
