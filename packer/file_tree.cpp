#include "file_tree.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "failure.h"
#include "path_text.h"
#include "payload_layout.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const std::string& display, const std::string& reason) {
    throw failure("refused '" + printable(display) + "': " + reason);
}

// Joins host name components into a payload path, refusing names Windows cannot hold.
std::u16string payload_path_of(const std::vector<std::string>& components, const std::string& display) {
    std::u16string path;
    for (size_t i = 0; i < components.size(); ++i) {
        std::u16string name;
        bool is_directory = i + 1 < components.size();
        std::string where = is_directory ? "directory '" + printable(components[i]) + "': " : "";
        if (!utf8_to_utf16(components[i], name)) refuse(display, where + "name is not valid UTF-8");
        if (const char* problem = windows_name_problem(name)) refuse(display, where + problem);
        if (i > 0) path += payload_separator;
        path += name;
    }
    if (path.size() > payload_path_max_units)
        refuse(display, "path is " + std::to_string(path.size()) + " UTF-16 units long, over the limit of " +
                            std::to_string(payload_path_max_units));
    return path;
}

std::string join(const std::vector<std::string>& components) {
    std::string text;
    for (const auto& name : components) text += (text.empty() ? "" : "/") + name;
    return text;
}

#ifdef _WIN32
// libstdc++ sees no links on Windows. Symbolic links and junctions are reparse points of
// two tags; the others (cloud placeholders, deduplicated files) are ordinary files.
bool is_link(const fs::path& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK || found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

// Where path leads with every link resolved, as the system names the file it opens.
fs::path resolve_links(const fs::path& path, std::error_code& error) {
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
        return {};
    }
    std::wstring name(32768, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD failure = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    CloseHandle(file);
    if (length == 0 || length >= name.size()) {
        error = std::error_code(static_cast<int>(failure), std::system_category());
        return {};
    }
    error.clear();
    name.resize(length);
    // The C runtime's file functions refuse the \\?\ form: give the plain one.
    if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) return fs::path(L"\\\\" + name.substr(8));
    if (name.compare(0, 4, L"\\\\?\\") == 0) return fs::path(name.substr(4));
    return fs::path(name);
}
#else
bool is_link(const fs::path& path) { return fs::is_symlink(fs::symlink_status(path)); }

fs::path resolve_links(const fs::path& path, std::error_code& error) { return fs::canonical(path, error); }
#endif

// Two paths of one folder, as resolve_links gives it, naming one entry: the file system
// compares the names.
bool same_location(const fs::path& a, const fs::path& b) {
    if (a.parent_path() != b.parent_path()) return false;
#ifdef _WIN32
    std::u16string a_name, b_name;
    return utf8_to_utf16(host_bytes(a.filename()), a_name) && utf8_to_utf16(host_bytes(b.filename()), b_name) &&
           windows_case_key(a_name) == windows_case_key(b_name);
#else
    return a.filename() == b.filename();
#endif
}

bool is_inside(const fs::path& root, const fs::path& target) {
    auto at = target.begin();
    for (const auto& part : root) {
        if (at == target.end() || *at != part) return false;
        ++at;
    }
    return true;
}

// Where a symbolic link under root leads; only files inside root are taken.
fs::path follow_link(const fs::path& root, const fs::path& link, const std::string& display) {
    std::error_code error;
    fs::path target = resolve_links(link, error);
    if (error) refuse(display, "symbolic link cannot be resolved (" + error.message() + ")");
    if (!is_inside(root, target)) refuse(display, "symbolic link leads outside the directory");
    // Directory links are not followed: that is what keeps the walk free of loops.
    if (fs::is_directory(target)) refuse(display, "symbolic link to a directory");
    return target;
}

void add_file(std::vector<pack_file>& files, const fs::path& source, const std::vector<std::string>& components,
              const std::string& display) {
    std::u16string path = payload_path_of(components, display);
    files.push_back({source, path, display, fs::file_size(source)});
}

std::vector<fs::path> sorted_children(const fs::path& dir) {
    std::vector<fs::path> children;
    for (const auto& entry : fs::directory_iterator(dir)) children.push_back(entry.path());
    std::sort(children.begin(), children.end(),
              [](const fs::path& a, const fs::path& b) { return host_bytes(a) < host_bytes(b); });
    return children;
}

// library is where the library's own directory entry lies (its folder resolved): the
// walk leaves it out wherever it meets it, since it travels as the first entry.
void walk(const fs::path& root, const fs::path& dir, const fs::path& library, std::vector<std::string>& components,
          std::vector<pack_file>& files) {
    for (const auto& child : sorted_children(dir)) {
        if (same_location(child, library)) continue;
        components.push_back(host_bytes(child.filename()));
        std::string display = join(components);
        fs::path source = child;
        fs::file_status status = fs::symlink_status(child);
        if (is_link(child)) {
            source = follow_link(root, child, display);
            status = fs::status(source);
        }
        if (fs::is_directory(status))
            walk(root, child, library, components, files);
        else if (fs::is_regular_file(status))
            add_file(files, source, components, display);
        else
            refuse(display, "special file (fifo, socket or device)");
        components.pop_back();
    }
}

pack_file library_file(const fs::path& library, const std::string& role) {
    std::string display = host_bytes(library);
    std::error_code error;
    fs::file_status status = fs::status(library, error);
    if (!fs::exists(status)) refuse(display, role + " does not exist");
    if (!fs::is_regular_file(status)) refuse(display, role + " is not a regular file");
    uint64_t size = fs::file_size(library);
    if (size == 0) refuse(display, role + " is empty");
    std::u16string path = payload_path_of({host_bytes(library.filename())}, display);
    return {library, path, display, size};
}

bool payload_order(const pack_file& a, const pack_file& b) {
    // display differs from the payload path only in its separator.
    auto key = [](char c) { return static_cast<unsigned char>(c == '/' ? '\\' : c); };
    return std::lexicographical_compare(a.display.begin(), a.display.end(), b.display.begin(), b.display.end(),
                                        [&](char x, char y) { return key(x) < key(y); });
}

// A link at the top of dir under the library's name that leads to the library (the walk
// has left out the library's own entry) is the first entry already. Another file under
// the library's name still clashes.
void drop_library_copy(std::vector<pack_file>& files) {
    const pack_file& library = files[0];
    auto is_library = [&](const pack_file& file) {
        std::error_code error;
        return file.path == library.path && fs::equivalent(file.source, library.source, error);
    };
    files.erase(std::remove_if(files.begin() + 1, files.end(), is_library), files.end());
}

void refuse_clashes(const std::vector<pack_file>& files, const std::string& role) {
    name_registry names;
    for (size_t i = 0; i < files.size(); ++i) {
        const pack_file& file = files[i];
        if (letters_match(file.path.data(), file.path.size(), cache_record_name))
            refuse(file.display, "name is kept for the launcher's cache record");
        std::string label = i == 0 ? "the " + role + " '" + display_path(file.path, '/') + "'"
                                   : "'" + printable(file.display) + "'";
        std::string clash = register_path(names, file.path, label, '/');
        if (!clash.empty()) refuse(file.display, clash);
    }
}

}  // namespace

std::string host_bytes(const fs::path& path) {
#ifdef _WIN32
    return path.u8string();
#else
    return path.native();
#endif
}

fs::path location_of(const fs::path& path) {
    fs::path absolute = fs::absolute(path);
    fs::path existing = absolute.parent_path();
    fs::path rest = absolute.filename();
    std::error_code error;
    for (;;) {
        fs::path resolved = resolve_links(existing, error);
        if (!error) return resolved / rest;
        if (existing == existing.parent_path()) return absolute;
        rest = existing.filename() / rest;
        existing = existing.parent_path();
    }
}

bool lies_inside(const fs::path& path, const fs::path& dir) {
    std::error_code error;
    fs::path root = resolve_links(dir, error);
    return !error && is_inside(root, location_of(path));
}

std::vector<pack_file> collect_files(const fs::path& library, const std::optional<fs::path>& dir,
                                     const std::string& role) {
    std::vector<pack_file> files{library_file(library, role)};
    if (dir) {
        std::error_code error;
        fs::path root = resolve_links(*dir, error);
        if (error || !fs::is_directory(root))
            throw failure("'" + printable(host_bytes(*dir)) + "' is not a directory");
        std::vector<std::string> components;
        walk(root, root, location_of(library), components, files);
        std::sort(files.begin() + 1, files.end(), payload_order);
        drop_library_copy(files);
    }
    refuse_clashes(files, role);
    return files;
}

std::string read_input_file(const fs::path& file, const std::string& what) {
    std::error_code error;
    uint64_t size = fs::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    std::string data(error ? 0 : static_cast<size_t>(size), '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    if (error || !in || in.peek() != std::ifstream::traits_type::eof())
        throw failure("cannot read " + what + " '" + printable(host_bytes(file)) + "'");
    return data;
}
