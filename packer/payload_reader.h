// Decodes a payload while checking every part of its layout; list, verify and extract
// all go through it so they accept exactly the same files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct entry_info {
    uint64_t number;  // 1 for the library
    uint64_t offset;  // in the decompressed content
    std::u16string path;
    uint64_t size;
};

// Called for each entry once its path and size have passed the checks; data may come in
// several pieces. Any member may be empty.
struct entry_visitor {
    std::function<void(const entry_info&)> begin;
    std::function<void(const char* data, size_t size)> data;
    std::function<void()> end;
};

struct payload_totals {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint32_t kind = 0;  // payload_kind_library or payload_kind_program
    bool executable = false;  // the payload came from an executable, not a payload file
    std::string launcher_version;  // the executable's launcher's, empty when it states none
    // The texts of a stub-made executable's settings record, as UTF-8: company, product,
    // version, cache directory template (empty: not cached), digest. Empty for an
    // executable linked by tarvix_add_onefile, which compiles its settings in.
    std::vector<std::string> settings;
    // For an executable without a settings record: the strings of its version record.
    std::vector<std::pair<std::string, std::string>> version_strings;
};

// Reads a payload file, or the payload inside an executable of either kind (see
// find_payload_in_exe). Throws failure("FILE: where: what") at the first fault. The kind
// is the settings record's, or else the first entry's header tells it.
payload_totals read_payload(const std::filesystem::path& file, const entry_visitor& visitor);
