// Gathers what goes into a payload and refuses whatever the launcher could not extract
// faithfully on Windows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct pack_file {
    std::filesystem::path source;  // contents are read from here (a link's target)
    std::u16string path;           // payload path, backslash separated
    std::string display;           // host form for messages, '/' separated
    uint64_t size;
};

// The library (or program) first, then the regular files under dir in payload order:
// bytewise by the UTF-8 form of the payload path, backslashes included (that is, code
// point order). The first entry itself is not taken twice: the walk leaves out its own
// entry, at the top of dir or in a folder below, and a file at the top under its name
// that is the same file. Throws failure("refused '...': ...") naming the offending file;
// role ("library" or "program") names the first entry in messages.
std::vector<pack_file> collect_files(const std::filesystem::path& library,
                                     const std::optional<std::filesystem::path>& dir, const std::string& role);

// Where path's own directory entry lies: its nearest existing folder with every link
// resolved, then the rest as spelled. The entry itself is not followed when it is a link.
std::filesystem::path location_of(const std::filesystem::path& path);

// Whether path's entry lies in dir or in a folder below it, links resolved.
bool lies_inside(const std::filesystem::path& path, const std::filesystem::path& dir);

// Bytes of a host path as UTF-8 (on POSIX: as the file system holds them).
std::string host_bytes(const std::filesystem::path& path);

// The whole content of a small input file (a stub, an icon); what names it in messages.
std::string read_input_file(const std::filesystem::path& file, const std::string& what);
