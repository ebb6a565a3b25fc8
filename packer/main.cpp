// tarvix-pack: builds, lists, verifies and extracts the payload that the launcher carries.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "depfile.h"
#include "embedded_resources.h"
#include "exe_writer.h"
#include "failure.h"
#include "format/payload_format.h"
#include "file_tree.h"
#include "import_check.h"
#include "output_file.h"
#include "path_text.h"
#include "payload_reader.h"
#include "payload_writer.h"
#include "pe_image.h"

namespace fs = std::filesystem;

namespace {

constexpr int default_level = 19;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

const char* usage_text = "tarvix-pack " TARVIX_VERSION R"(: makes one-file executables for 64-bit Windows
usage:
  tarvix-pack exe [--stub STUB.exe] (--library APP.dll | --program APP.exe) [--dir DIR]
                  [--company TEXT] [--product TEXT] [--version a.b.c.d] [--icon FILE.ico]
                  [--level N] [--cached [--cache-directory TEMPLATE]] [--windowed|--console]
                  [--quiet] [--depfile FILE] -o OUT.exe
  tarvix-pack build (--library APP.dll | --program APP.exe) [--dir DIR] [--level N]
                    [--quiet] [--depfile FILE] -o PAYLOAD
  tarvix-pack list PAYLOAD|APP.exe
  tarvix-pack verify PAYLOAD|APP.exe
  tarvix-pack extract PAYLOAD|APP.exe DIR
  tarvix-pack --help | --version

exe      Makes the one-file executable OUT.exe from the prebuilt launcher STUB.exe
         (default: tarvix-stub.exe beside tarvix-pack): the payload that build
         would write, the settings that travel with it, and the version record
         (company, default "tarvix user"; product, default the name of OUT.exe;
         version, default 1.0.0.0), the icon (a default one otherwise) and the
         manifest. --cached extracts once per user into the cache directory
         TEMPLATE (default {CACHE_DIR}\{COMPANY}\{PRODUCT}\{VERSION}).
         --windowed makes a windowed executable, which opens no console and
         shows its errors in a message box; --console a console one. Without
         either, a program's own subsystem decides, and a library's is console.
         APP.dll must be a 64-bit DLL that exports run_code, which the launcher
         loads; APP.exe a 64-bit program, which the launcher starts as its child.
         --depfile as for build, with OUT.exe as the target.
build    Packs APP.dll or APP.exe as the first entry, then every regular file under
         DIR in code point order of its payload path (the first entry itself only
         once). Refuses, naming the file, anything
         Windows could not hold as it is. --level is the zstd level, 1..22
         (default 19: the smallest download, but slow; 680 MB took 13 minutes
         on two cores): for trees over 100 MB use --level 9 or lower while
         iterating (some 20 times faster, 10 % larger). Writes beside
         PAYLOAD first and renames it into place; refuses an output that is an
         input or lies inside DIR. Warns, one line each, about every library
         the first entry imports that is neither at the top of the payload nor
         part of Windows (--quiet keeps the warnings).
         On a terminal, one line on stderr shows the files and bytes done, the
         rate and the time left; at the end one line says what was made (files,
         bytes in, size, level, time); --quiet hides both. --depfile writes
         FILE, naming every file and directory read, for build tools to pack
         again when one changes.
list     One line per entry: the size in bytes right-aligned in 12 columns, two
         spaces, the path as stored (backslash separators); then a line
         "N files, M bytes".
verify   Decodes the whole payload and checks its layout, and in an executable
         made by exe its settings record, as the launcher reads it, and its
         digest; prints "ok: N files, M bytes".
extract  Verifies, then writes the entries under DIR ('/' for '\'); DIR must be
         new or empty.
         All three end with the line "first entry: library" or "first entry:
         program": as the executable's settings record states it, or else as
         the first entry's own header tells. For an executable, list and
         verify then say its launcher's version ("launcher: unknown" where it
         states none) and its settings: company, product, version and the
         cache directory template; for one that tarvix_add_onefile linked,
         the texts of its version record and "cached: compiled in".

Exit status: 0 done, 1 refused or failed, 2 wrong usage.
)";

struct usage_error : failure {
    using failure::failure;
};

using option_map = std::map<std::string, std::string>;

// The payload's first entry, from --library or --program: exactly one of them.
struct first_entry {
    fs::path file;
    uint32_t kind;
    const char* role;
};

// Splits arguments into the options named in takes_value or flags (whose value is
// empty) and positional arguments.
void parse_arguments(const std::vector<std::string>& args, const std::vector<std::string>& takes_value,
                     option_map& options, std::vector<std::string>& positional,
                     const std::vector<std::string>& flags = {}) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::optional<std::string> value;
        if (size_t equals = arg.find('='); equals != std::string::npos && arg.compare(0, 2, "--") == 0) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (arg == "--output") arg = "-o";
        if (!value && std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            if (!options.emplace(arg, "").second) throw usage_error("option '" + arg + "' given twice");
            continue;
        }
        if (std::find(takes_value.begin(), takes_value.end(), arg) == takes_value.end())
            throw usage_error("unknown option '" + printable(arg) + "' (see --help)");
        if (!value) {
            if (i + 1 >= args.size()) throw usage_error("option '" + arg + "' needs a value");
            value = args[++i];
        }
        if (!options.emplace(arg, *value).second) throw usage_error("option '" + arg + "' given twice");
    }
}

int parse_level(const std::string& text) {
    bool digits = !text.empty() && text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos;
    int level = digits ? std::stoi(text) : 0;
    if (level < 1 || level > 22) throw usage_error("level must be 1..22, not '" + printable(text) + "'");
    return level;
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// Hidden TARVIX_PACK_WORKERS lets tests show the output does not depend on it.
int worker_count() {
    if (const char* forced = std::getenv("TARVIX_PACK_WORKERS")) {
        int workers = std::atoi(forced);
        if (workers < 1) throw usage_error("TARVIX_PACK_WORKERS must be a positive number");
        return workers;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// The folder of this very program, where the stub lies beside an installed packer.
fs::path own_directory() {
#ifdef _WIN32
    wchar_t path[32768];
    DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    if (length == 0 || length >= 32768) throw failure("cannot find the packer's own path");
    return fs::path(path).parent_path();
#else
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    if (error) throw failure("cannot find the packer's own path: " + error.message());
    return path.parent_path();
#endif
}

first_entry first_entry_of(const option_map& options, const std::string& command) {
    bool library = options.count("--library") != 0, program = options.count("--program") != 0;
    if (library && program) throw usage_error("--library and --program exclude each other");
    if (!library && !program) throw usage_error(command + " needs --library or --program");
    if (program) return {fs::u8path(options.at("--program")), payload_kind_program, "program"};
    return {fs::u8path(options.at("--library")), payload_kind_library, "library"};
}

// Before anything is written: a library must export run_code, a program be one.
std::vector<pack_file> collect_checked_files(const first_entry& first, const std::optional<fs::path>& dir) {
    std::vector<pack_file> files = collect_files(first.file, dir, first.role);
    if (first.kind == payload_kind_program) {
        check_application_program(first.file);
    } else {
        check_application_library(first.file);
    }
    warn_about_missing_imports(files);
    return files;
}

const char* kind_name(uint32_t kind) { return kind == payload_kind_program ? "program" : "library"; }

using clock_type = std::chrono::steady_clock;

// The line that says what a pack made, on stderr beside the warnings, whether or not it
// is a terminal: a build log shows it too.
void say_what_was_made(const fs::path& output, const std::vector<pack_file>& files, int level,
                       clock_type::time_point start) {
    uint64_t bytes_in = 0;
    for (const pack_file& file : files) bytes_in += file.size;
    std::error_code error;
    uint64_t size = fs::file_size(output, error);
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    std::fprintf(stderr, "tarvix-pack: made %s: %" PRIu64 " bytes from %zu files of %" PRIu64
                 " bytes, level %d, %.1f s\n",
                 printable(host_bytes(output)).c_str(), error ? uint64_t{0} : size, files.size(), bytes_in, level,
                 seconds);
}

// What list and verify say of an executable after its first entry.
void print_executable_facts(const payload_totals& totals) {
    if (!totals.executable) return;
    std::printf("launcher: %s\n", totals.launcher_version.empty() ? "unknown" : totals.launcher_version.c_str());
    if (totals.settings.size() < 4) {
        // A linked executable's settings are code; its version record holds the texts.
        bool any = false;
        for (const auto& [label, key] : {std::pair<const char*, const char*>{"company", "CompanyName"},
                                         {"product", "ProductName"}, {"version", "ProductVersion"}}) {
            for (const auto& [found, text] : totals.version_strings) {
                if (found != key) continue;
                std::printf("%s: %s\n", label, printable(text).c_str());
                any = true;
                break;
            }
        }
        std::printf(any ? "cached: compiled in\n" : "settings: compiled in\n");
        return;
    }
    std::printf("company: %s\nproduct: %s\nversion: %s\n", printable(totals.settings[0]).c_str(),
                printable(totals.settings[1]).c_str(), printable(totals.settings[2]).c_str());
    if (totals.settings[3].empty())
        std::printf("cached: no\n");
    else
        std::printf("cached: %s\n", printable(totals.settings[3]).c_str());
}

std::string one_line_text(const option_map& options, const std::string& option, const std::string& fallback) {
    auto found = options.find(option);
    if (found == options.end()) return fallback;
    std::u16string units;
    if (found->second.find_first_of("\r\n") != std::string::npos || !utf8_to_utf16(found->second, units))
        throw usage_error(option + " must be one line of UTF-8 text");
    return found->second;
}

int run_exe(const std::vector<std::string>& args) {
    clock_type::time_point start = clock_type::now();
    option_map options;
    std::vector<std::string> positional;
    parse_arguments(args,
                    {"--stub", "--library", "--program", "--dir", "--company", "--product", "--version", "--icon",
                     "--level", "--cache-directory", "--depfile", "-o"},
                    options, positional, {"--cached", "--quiet", "--windowed", "--console"});
    if (!positional.empty()) throw usage_error("unexpected argument '" + printable(positional[0]) + "'");
    first_entry first = first_entry_of(options, "exe");
    if (!options.count("-o")) throw usage_error("exe needs -o");
    if (options.count("--cache-directory") && !options.count("--cached"))
        throw usage_error("--cache-directory needs --cached");
    if (options.count("--windowed") && options.count("--console"))
        throw usage_error("--windowed and --console exclude each other");

    fs::path output = fs::u8path(options["-o"]);
    exe_settings settings;
    settings.stub = options.count("--stub") ? fs::u8path(options["--stub"]) : own_directory() / "tarvix-stub.exe";
    std::string name = host_bytes(output.stem());
    settings.texts = {one_line_text(options, "--company", "tarvix user"), one_line_text(options, "--product", name),
                      options.count("--version") ? options["--version"] : "1.0.0.0", name};
    check_version_text(settings.texts.version);
    if (options.count("--cached")) {
        settings.cache_template = options.count("--cache-directory") ? options["--cache-directory"]
                                                                     : R"({CACHE_DIR}\{COMPANY}\{PRODUCT}\{VERSION})";
        check_cache_template(settings.cache_template, settings.texts);
    }
    std::optional<fs::path> dir;
    if (options.count("--dir")) dir = fs::u8path(options["--dir"]);
    std::vector<named_input> inputs{{first.file, first.role}, {settings.stub, "stub"}};
    if (options.count("--icon")) inputs.push_back({fs::u8path(options["--icon"]), "icon"});
    check_output_apart(output, inputs, dir);
    if (options.count("--depfile")) check_output_apart(fs::u8path(options["--depfile"]), inputs, dir);
    if (options.count("--icon")) {
        settings.icon_name = options["--icon"];
        settings.icon = read_input_file(fs::u8path(settings.icon_name), "icon");
    } else {
        settings.icon_name = "default.ico";
        settings.icon = embedded_default_icon();
    }
    settings.manifest = embedded_manifest();
    settings.level = options.count("--level") ? parse_level(options["--level"]) : default_level;
    settings.workers = worker_count();
    settings.show_progress = !options.count("--quiet") && stderr_is_terminal();
    settings.kind = first.kind;

    std::vector<pack_file> files = collect_checked_files(first, dir);
    // A program's own subsystem is the default: a windowed tool stays one.
    std::optional<pe_image> program;
    if (first.kind == payload_kind_program) program = read_pe_image(first.file);
    settings.subsystem = chosen_subsystem(options.count("--windowed") != 0, options.count("--console") != 0,
                                          program ? &*program : nullptr);
    write_exe(files, settings, output);
    if (options.count("--depfile")) write_depfile(fs::u8path(options["--depfile"]), output, files, dir);
    if (!options.count("--quiet")) say_what_was_made(output, files, settings.level, start);
    return 0;
}

int run_build(const std::vector<std::string>& args) {
    clock_type::time_point start = clock_type::now();
    option_map options;
    std::vector<std::string> positional;
    parse_arguments(args, {"--library", "--program", "--dir", "--level", "--depfile", "-o"}, options, positional,
                    {"--quiet"});
    if (!positional.empty()) throw usage_error("unexpected argument '" + printable(positional[0]) + "'");
    first_entry first = first_entry_of(options, "build");
    if (!options.count("-o")) throw usage_error("build needs -o");
    int level = options.count("--level") ? parse_level(options["--level"]) : default_level;
    int workers = worker_count();

    std::optional<fs::path> dir;
    if (options.count("--dir")) dir = fs::u8path(options["--dir"]);
    std::vector<named_input> inputs{{first.file, first.role}};
    check_output_apart(fs::u8path(options["-o"]), inputs, dir);
    if (options.count("--depfile")) check_output_apart(fs::u8path(options["--depfile"]), inputs, dir);
    std::vector<pack_file> files = collect_checked_files(first, dir);
    bool show_progress = !options.count("--quiet") && stderr_is_terminal();
    write_payload(files, fs::u8path(options["-o"]), level, workers, show_progress);
    if (options.count("--depfile"))
        write_depfile(fs::u8path(options["--depfile"]), fs::u8path(options["-o"]), files, dir);
    if (!options.count("--quiet")) say_what_was_made(fs::u8path(options["-o"]), files, level, start);
    return 0;
}

// list, verify and extract take no options, only paths.
std::vector<std::string> paths_only(const std::vector<std::string>& args, size_t count) {
    option_map options;
    std::vector<std::string> positional;
    parse_arguments(args, {}, options, positional);
    if (positional.size() != count)
        throw usage_error("expected " + std::to_string(count) + " argument" + (count > 1 ? "s" : "") +
                          " (see --help)");
    return positional;
}

int run_list(const std::vector<std::string>& args) {
    std::string payload = paths_only(args, 1)[0];
    entry_visitor print_entry;
    print_entry.begin = [](const entry_info& entry) {
        std::printf("%12" PRIu64 "  %s\n", entry.size, utf16_to_utf8(entry.path).c_str());
    };
    payload_totals totals = read_payload(fs::u8path(payload), print_entry);
    std::printf("%" PRIu64 " files, %" PRIu64 " bytes\n", totals.files, totals.bytes);
    std::printf("first entry: %s\n", kind_name(totals.kind));
    print_executable_facts(totals);
    return 0;
}

int run_verify(const std::vector<std::string>& args) {
    std::string payload = paths_only(args, 1)[0];
    payload_totals totals = read_payload(fs::u8path(payload), {});
    std::printf("ok: %" PRIu64 " files, %" PRIu64 " bytes\n", totals.files, totals.bytes);
    std::printf("first entry: %s\n", kind_name(totals.kind));
    print_executable_facts(totals);
    return 0;
}

// Payload paths are checked by the reader (no "..", no drive, no empty component) and
// the directory starts empty, so nothing can land outside it.
fs::path host_path_under(const fs::path& root, const std::u16string& path) {
    fs::path target = root;
    size_t start = 0;
    for (size_t end; (end = path.find(u'\\', start)) != std::u16string::npos; start = end + 1)
        target /= fs::u8path(utf16_to_utf8(path.substr(start, end - start)));
    return target / fs::u8path(utf16_to_utf8(path.substr(start)));
}

int run_extract(const std::vector<std::string>& args) {
    std::vector<std::string> paths = paths_only(args, 2);
    fs::path payload = fs::u8path(paths[0]);
    fs::path root = fs::u8path(paths[1]);
    read_payload(payload, {});
    std::error_code error;
    if (fs::exists(root) && (!fs::is_directory(root) || !fs::is_empty(root, error)))
        throw failure("'" + printable(paths[1]) + "' must be a new or empty directory");
    fs::create_directories(root);

    std::ofstream out;
    fs::path target;
    entry_visitor write_entry;
    write_entry.begin = [&](const entry_info& entry) {
        target = host_path_under(root, entry.path);
        fs::create_directories(target.parent_path());
        out.open(target, std::ios::binary | std::ios::trunc);
        if (!out) throw failure("cannot create '" + printable(host_bytes(target)) + "'");
    };
    write_entry.data = [&](const char* data, size_t size) {
        out.write(data, static_cast<std::streamsize>(size));
    };
    write_entry.end = [&] {
        out.close();
        if (!out) throw failure("cannot write '" + printable(host_bytes(target)) + "'");
    };
    payload_totals totals = read_payload(payload, write_entry);
    std::printf("extracted %" PRIu64 " files, %" PRIu64 " bytes\n", totals.files, totals.bytes);
    std::printf("first entry: %s\n", kind_name(totals.kind));
    return 0;
}

int dispatch(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        }
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::fputs("tarvix-pack " TARVIX_VERSION "\n", stdout);
        return 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "exe") return run_exe(rest);
    if (args[0] == "build") return run_build(rest);
    if (args[0] == "list") return run_list(rest);
    if (args[0] == "verify") return run_verify(rest);
    if (args[0] == "extract") return run_extract(rest);
    throw usage_error("unknown command '" + printable(args[0]) + "' (see --help)");
}

int run(const std::vector<std::string>& args) {
    try {
        return dispatch(args);
    } catch (const usage_error& error) {
        std::fprintf(stderr, "tarvix-pack: %s\n", error.what());
        return exit_usage;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvix-pack: %s\n", error.what());
        return exit_failed;
    }
}

}  // namespace

#ifdef _WIN32
// The ANSI argv cannot carry every file name; take the UTF-16 one (link with -municode).
// Messages and listings are UTF-8, so the console reads them as such while the packer runs.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
    UINT console_page = GetConsoleOutputCP();  // 0 without a console
    if (console_page != 0) SetConsoleOutputCP(CP_UTF8);
    int status = run(args);
    std::fflush(stdout);  // written while the console still reads UTF-8
    if (console_page != 0) SetConsoleOutputCP(console_page);
    return status;
}
#else
int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
