// Writes the attached payload: header, one zstd frame of the content, zero gap, trailer.
#pragma once

#include <filesystem>
#include <vector>

#include "file_tree.h"
#include "output_file.h"

// Writes to a temporary file beside output and renames it into place, so no partial
// payload is ever left under the output name. Throws failure on any error.
// With show_progress, one line on stderr is updated as the content is compressed.
void write_payload(const std::vector<pack_file>& files, const std::filesystem::path& output, int level,
                   int workers, bool show_progress);

// Appends the payload to out at its current position and returns its size in bytes.
uint64_t write_payload_to(temp_output& out, const std::vector<pack_file>& files, int level, int workers,
                          bool show_progress);
