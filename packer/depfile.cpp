#include "depfile.h"

#include <fstream>
#include <system_error>

#include "failure.h"
#include "path_text.h"

namespace fs = std::filesystem;

namespace {

// Make's and Ninja's reading: a blank or '#' escaped by a backslash, '$' doubled.
std::string escaped(const fs::path& path) {
    std::string text = host_bytes(path);
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r') throw failure("cannot name '" + printable(text) + "' in a dependency file");
        if (c == ' ' || c == '#') out += '\\';
        if (c == '$') out += '$';
        out += c;
    }
    return out;
}

}  // namespace

void write_depfile(const fs::path& depfile, const fs::path& output, const std::vector<pack_file>& files,
                   const std::optional<fs::path>& dir) {
    std::string text = escaped(fs::absolute(output)) + ":";
    for (const auto& file : files) text += " \\\n  " + escaped(fs::absolute(file.source));
    if (dir) {
        fs::path root = fs::canonical(*dir);
        text += " \\\n  " + escaped(root);
        // Directory links are refused by the walk, so this one does not follow them either.
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_directory() && !entry.is_symlink()) text += " \\\n  " + escaped(entry.path());
        }
    }
    text += "\n";

    fs::path temporary = depfile;
    temporary += ".tmp";
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.close();
    std::error_code error;
    if (stream) fs::rename(temporary, depfile, error);
    if (!stream || error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw failure("cannot write '" + printable(host_bytes(depfile)) + "'" + (error ? ": " + error.message() : ""));
    }
}
