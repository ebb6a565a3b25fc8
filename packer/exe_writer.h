// Makes the finished one-file executable from the prebuilt stub: the stub's image with a
// payload section (settings record, then the payload) and a resource section added.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "file_tree.h"
#include "pe_image.h"
#include "resources.h"

struct exe_settings {
    std::filesystem::path stub;
    version_texts texts;
    std::string cache_template;  // UTF-8; empty: extract afresh at every start
    uint32_t kind;               // payload_kind_library or payload_kind_program
    std::string icon;            // the .ico file's bytes
    std::string icon_name;       // for messages
    std::string manifest;
    uint16_t subsystem;          // subsystem_console or subsystem_windowed
    int level;
    int workers;
    bool show_progress;
};

// Throws failure for a cache template that names no fixed folder: empty, or holding a
// placeholder that changes from start to start, or {COMPANY}/{PRODUCT} when that text
// cannot name a folder.
void check_cache_template(const std::string& cache_template, const version_texts& texts);

// The subsystem of the executable: --windowed or --console where one is given (the
// caller refuses both), else that of the program the payload runs (nullptr: a library payload), else
// console.
uint16_t chosen_subsystem(bool windowed, bool console, const pe_image* program);

// Writes beside output and renames into place; on any failure nothing is left behind.
void write_exe(const std::vector<pack_file>& files, const exe_settings& settings,
               const std::filesystem::path& output);
