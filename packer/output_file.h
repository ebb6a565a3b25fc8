// Writing whole or not at all: every output is written beside its final name under a
// temporary one and renamed into place; until then any failure or Ctrl+C removes it.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

struct temp_output {
    std::filesystem::path path;
    std::ofstream stream;
    bool kept = false;
    int slot;  // in the table the signal handler walks

    // Creates a new temporary file beside final_name.
    explicit temp_output(const std::filesystem::path& final_name);
    ~temp_output();
    temp_output(const temp_output&) = delete;
    temp_output& operator=(const temp_output&) = delete;
};

// Appends bytes, throwing failure when they cannot be written.
void write_bytes(temp_output& out, const void* data, size_t size);

// Closes the file and renames it to final_name, throwing failure on any error.
void publish_output(temp_output& out, const std::filesystem::path& final_name);

// Throws failure when output names a directory, before any work is done for it.
void check_output_name(const std::filesystem::path& output);

struct named_input {
    std::filesystem::path path;
    std::string what;  // "library", "stub", "icon"
};

// Throws failure when writing output would harm what it is made from: when it is one of
// the inputs (the same file, however spelled or linked) or lies inside dir, where the
// next pack would take it in. Called before anything is read or written.
void check_output_apart(const std::filesystem::path& output, const std::vector<named_input>& inputs,
                        const std::optional<std::filesystem::path>& dir);
