#include "output_file.h"

#include <csignal>
#include <cstdio>
#include <random>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "failure.h"
#include "file_tree.h"
#include "path_text.h"

namespace fs = std::filesystem;

namespace {

// Names of the temporary outputs while they exist, for the signal handler to remove:
// the payload and the executable that carries it.
constexpr int pending_capacity = 2;
const fs::path::value_type* volatile pending_outputs[pending_capacity] = {};

extern "C" void remove_pending_outputs(int signal_number) {
    for (const fs::path::value_type* name : pending_outputs) {
        if (name == nullptr) continue;
#ifdef _WIN32
        _wremove(name);
#else
        unlink(name);
#endif
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

fs::path temp_name_beside(const fs::path& output) {
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%08x", static_cast<unsigned>(random()));
    fs::path name = ".";
    name += output.filename();
    name += suffix;
    return output.parent_path() / name;
}

}  // namespace

temp_output::temp_output(const fs::path& final_name) : path(temp_name_beside(final_name)), slot(0) {
    while (slot < pending_capacity && pending_outputs[slot] != nullptr) ++slot;
    if (slot == pending_capacity) throw failure("too many outputs at once");
    stream.open(path, std::ios::binary | std::ios::trunc);
    if (!stream) throw failure("cannot create '" + printable(host_bytes(path)) + "'");
    pending_outputs[slot] = path.c_str();
    std::signal(SIGINT, remove_pending_outputs);
    std::signal(SIGTERM, remove_pending_outputs);
}

temp_output::~temp_output() {
    pending_outputs[slot] = nullptr;
    if (!kept) {
        stream.close();
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    for (const fs::path::value_type* name : pending_outputs) {
        if (name != nullptr) return;
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void write_bytes(temp_output& out, const void* data, size_t size) {
    out.stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.stream) throw failure("cannot write '" + printable(host_bytes(out.path)) + "'");
}

void publish_output(temp_output& out, const fs::path& final_name) {
    out.stream.close();
    if (!out.stream) throw failure("cannot write '" + printable(host_bytes(out.path)) + "'");
    std::error_code error;
    fs::rename(out.path, final_name, error);
    if (error) throw failure("cannot rename to '" + printable(host_bytes(final_name)) + "': " + error.message());
    out.kept = true;
}

void check_output_name(const fs::path& output) {
    if (fs::is_directory(output)) throw failure("output '" + printable(host_bytes(output)) + "' is a directory");
}

void check_output_apart(const fs::path& output, const std::vector<named_input>& inputs,
                        const std::optional<fs::path>& dir) {
    std::string shown = "output '" + printable(host_bytes(output)) + "'";
    for (const named_input& input : inputs) {
        std::error_code error;
        if (fs::equivalent(output, input.path, error))
            throw failure(shown + " is the " + input.what + " '" + printable(host_bytes(input.path)) + "'");
    }
    if (dir && lies_inside(output, *dir))
        throw failure(shown + " lies inside the packed directory '" + printable(host_bytes(*dir)) + "'");
}
