#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "import_hook.h"
#include "paths/path_template.h"
#include "payload/extraction.h"
#include "payload/payload_reader.h"
#include "payload_test_frames.h"
#include "state/run_state.h"
#include "target_directory/target_directory.h"

namespace {

constexpr int abort_status = 3;  // the runtime's exit code after abort

using create_directory_function = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
using write_file_function = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using create_file_function = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

struct directory_call {
    std::wstring path;
    bool succeeded;
    bool operator==(const directory_call& other) const {
        return path == other.path && succeeded == other.succeeded;
    }
};

std::ostream& operator<<(std::ostream& out, const directory_call& call) {
    return out << printable(call.path) << (call.succeeded ? " (made)" : " (failed)");
}

create_directory_function real_create_directory;
std::vector<directory_call> directory_calls;

BOOL WINAPI recording_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    BOOL made = real_create_directory(path, security);
    DWORD error = GetLastError();
    directory_calls.push_back({path, made != FALSE});
    SetLastError(error);
    return made;
}

struct directory_recorder {
    scoped_import_hook hook{"kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(recording_create_directory)};
    directory_recorder() {
        real_create_directory = reinterpret_cast<create_directory_function>(hook.original());
        directory_calls.clear();
    }
};

write_file_function real_write_file;
std::vector<DWORD> write_sizes;

BOOL WINAPI recording_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    write_sizes.push_back(size);
    return real_write_file(file, data, size, written, overlapped);
}

BOOL WINAPI short_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return real_write_file(file, data, size - 1, written, overlapped);
}

BOOL WINAPI failing_write_file(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

create_file_function real_create_file;
int create_file_calls = 0;

HANDLE WINAPI counting_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE template_file) {
    ++create_file_calls;
    return real_create_file(path, access, share, security, disposition, flags, template_file);
}

// The main thread writes alone for the first 20 ms: opening app.dll takes 40 ms here, so
// the files after it go to the workers. Opening a file with "slow" in its name takes 300 ms.
HANDLE WINAPI pausing_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE template_file) {
    size_t length = wcslen(path);
    if (length >= 7 && wcscmp(path + length - 7, L"app.dll") == 0) Sleep(40);
    if (wcsstr(path, L"slow") != nullptr) Sleep(300);
    return real_create_file(path, access, share, security, disposition, flags, template_file);
}

struct files_to_the_workers {
    scoped_import_hook hook{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(pausing_create_file)};
    files_to_the_workers() { real_create_file = reinterpret_cast<create_file_function>(hook.original()); }
};

void make_directory(const std::wstring& path) {
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << printable(path);
}

// The payload must outlive the reader, which keeps pointing into it.
byte_vector current_payload;

void start_reader(const byte_vector& stream, bool in_process) {
    current_payload = attached_payload(raw_frame(stream));
    application_library_path[0] = 0;
    in_process_mode = in_process;
    payload_reader_create(current_payload.data(), current_payload.size());
}

void extract(const byte_vector& stream) {
    start_reader(stream, false);
    extract_payload();
    payload_reader_release();
}

std::wstring library_path() {
    return application_library_path;
}

// The rule a damaged payload meets before anything of its entry is written.
TEST(relative_path_is_safe, refuses_steps_up_roots_drives_streams_and_device_names) {
    for (const wchar_t* path : {L"app.dll", L"a b.c\\d e\\f.txt", L"..x\\x..", L"console.txt", L"con1.txt",
                                L"lpt10.log", L"COM\\nul_x", L"conout$x"}) {
        EXPECT_TRUE(relative_path_is_safe(path)) << printable(path);
    }
    // Steps up (also as Windows reads them, without trailing dots and blanks), empty
    // components, drives, streams, the other separator, and devices in any case and depth.
    for (const wchar_t* path : {L"..", L"a\\..\\..\\x", L"...", L". .", L".\\x", L"", L"\\x", L"\\\\server\\x",
                                L"a\\", L"a\\\\b", L"C:\\x", L"C:x", L"x.txt:stream", L"a/../b", L"CON",
                                L"sub\\con.txt", L"nul.tar.gz", L"aux .txt", L"Lpt9.log", L"com0", L"COM\u00B9",
                                L"conin$", L"prn\\x"}) {
        EXPECT_FALSE(relative_path_is_safe(path)) << printable(path);
    }
}

TEST(extract_payload, writes_each_size_in_chunks_of_32768_bytes) {
    struct {
        size_t size;
        std::vector<DWORD> writes;
    } cases[] = {
        {0, {}},
        {32768, {32768}},
        {32769, {32768, 1}},
        {100000, {32768, 32768, 32768, 1696}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::wstring directory = fresh_scratch_path((L"sizes_" + std::to_wstring(c.size)).c_str());
        make_directory(directory);
        set_target_directory(directory.c_str());
        byte_vector data = pattern_bytes(c.size, 20);
        byte_vector stream;
        append_entry(stream, L"file.bin", data);
        append_end_marker(stream);
        {
            scoped_import_hook hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(recording_write_file));
            real_write_file = reinterpret_cast<write_file_function>(hook.original());
            write_sizes.clear();
            extract(stream);
        }
        EXPECT_EQ(write_sizes, c.writes);
        EXPECT_EQ(read_file(directory + L"\\file.bin"), data);
        EXPECT_EQ(library_path(), directory + L"\\file.bin");
        remove_tree(directory);
    }
}

TEST(extract_payload, writes_every_entry_and_records_the_first_as_the_library) {
    std::wstring directory = fresh_scratch_path(L"entries");  // not there yet
    set_target_directory(directory.c_str());
    struct {
        std::wstring path;
        byte_vector data;
    } entries[] = {
        {L"app.dll", pattern_bytes(5000, 21)},
        {L"empty.txt", {}},
        {L"twice.txt", pattern_bytes(4000, 22)},
        {L"sub\\deeper\\data.bin", pattern_bytes(70000, 23)},
        {L"sub\\caf\u00e9 \u0416.txt", {'x'}},
        {L"twice.txt", {'s', 'e', 'c', 'o', 'n', 'd'}},
    };
    byte_vector stream;
    for (const auto& entry : entries) append_entry(stream, entry.path, entry.data);
    append_end_marker(stream);

    {
        files_to_the_workers workers;
        extract(stream);
    }
    EXPECT_EQ(library_path(), directory + L"\\app.dll");
    // The later of the two twice.txt entries wins; an empty entry is followed directly by the next path.
    struct {
        std::wstring path;
        byte_vector data;
    } files[] = {
        {L"app.dll", entries[0].data},
        {L"empty.txt", {}},
        {L"twice.txt", entries[5].data},
        {L"sub\\deeper\\data.bin", entries[3].data},
        {L"sub\\caf\u00e9 \u0416.txt", {'x'}},
    };
    for (const auto& file : files) {
        EXPECT_EQ(read_file(directory + L"\\" + file.path), file.data) << printable(file.path);
    }
    remove_tree(directory);
}

TEST(extract_payload, replaces_and_truncates_an_existing_file) {
    std::wstring directory = fresh_scratch_path(L"replace");
    make_directory(directory);
    write_file(directory + L"\\app.dll", byte_vector(1000, 'z'));
    set_target_directory(directory.c_str());
    byte_vector stream;
    append_entry(stream, L"app.dll", {'n', 'e', 'w'});
    append_end_marker(stream);

    extract(stream);
    EXPECT_EQ(read_file(directory + L"\\app.dll"), (byte_vector{'n', 'e', 'w'}));
    remove_tree(directory);
}

TEST(extract_payload, creates_missing_directories_top_down_and_remembers_them) {
    std::wstring directory = fresh_scratch_path(L"levels");
    make_directory(directory);
    set_target_directory(directory.c_str());
    byte_vector stream;
    append_entry(stream, L"a\\b\\c.txt", {'c'});
    append_entry(stream, L"a\\b\\d.txt", {'d'});
    append_entry(stream, L"a\\e.txt", {'e'});
    append_end_marker(stream);
    {
        directory_recorder recorder;
        extract(stream);
    }
    // Named in the form that is not held to MAX_PATH.
    std::wstring long_directory = L"\\\\?\\" + directory;
    std::vector<directory_call> expected = {
        {long_directory + L"\\a\\b", false},
        {long_directory + L"\\a", true},
        {long_directory + L"\\a\\b", true},
    };
    EXPECT_EQ(directory_calls, expected);
    EXPECT_EQ(read_file(directory + L"\\a\\b\\c.txt"), byte_vector{'c'});
    EXPECT_EQ(read_file(directory + L"\\a\\b\\d.txt"), byte_vector{'d'});
    EXPECT_EQ(read_file(directory + L"\\a\\e.txt"), byte_vector{'e'});
    remove_tree(directory);
}

TEST(extract_payload, creates_the_target_directory_and_its_missing_ancestors) {
    std::wstring base = fresh_scratch_path(L"ancestors");
    std::wstring directory = base + L"\\x\\y";
    set_target_directory(directory.c_str());
    byte_vector stream;
    append_entry(stream, L"app.dll", {'a'});
    append_end_marker(stream);
    {
        directory_recorder recorder;
        extract(stream);
    }
    std::wstring long_base = L"\\\\?\\" + base;
    std::vector<directory_call> expected = {
        {long_base + L"\\x\\y", false}, {long_base + L"\\x", false}, {long_base, true},
        {long_base + L"\\x", true},      {long_base + L"\\x\\y", true},
    };
    EXPECT_EQ(directory_calls, expected);
    EXPECT_EQ(read_file(directory + L"\\app.dll"), byte_vector{'a'});
    remove_tree(base);
}

TEST(extract_payload, a_directory_part_naming_a_file_ends_with_the_open_error) {
    // The file there before, or written by an earlier entry while the workers write.
    for (bool earlier_entry : {false, true}) {
        std::wstring directory = fresh_scratch_path(earlier_entry ? L"blocked_by_entry" : L"blocked");
        make_directory(directory);
        set_target_directory(directory.c_str());
        byte_vector stream;
        if (earlier_entry) {
            append_entry(stream, L"app.dll", {'a'});
            append_entry(stream, L"blocker", {'b'});
        } else {
            write_file(directory + L"\\blocker", {'b'});
        }
        append_entry(stream, L"blocker\\x.txt", {'x'});
        append_end_marker(stream);

        std::string message =
            "^Error, failed to open '" + pattern_literal(directory + L"\\blocker\\x.txt") + "' for writing\\.\n$";
        EXPECT_EXIT(
            {
                files_to_the_workers workers;
                extract(stream);
            },
            testing::ExitedWithCode(2), message.c_str());
        EXPECT_EQ(read_file(directory + L"\\blocker"), byte_vector{'b'});
        remove_tree(directory);
    }
}

TEST(extract_payload, a_failed_or_short_write_ends_with_the_unpack_error) {
    struct {
        const wchar_t* name;
        write_file_function replacement;
        const char* message;
    } cases[] = {
        {L"short", short_write_file, "^Error, couldn't unpack file to target path\\. \\(\\[Error "},
        {L"failed", failing_write_file, "^Error, couldn't unpack file to target path\\. \\(\\[Error 112\\] "},
    };
    byte_vector stream;
    append_entry(stream, L"app.dll", pattern_bytes(100, 24));
    append_end_marker(stream);
    for (const auto& c : cases) {
        std::wstring directory = fresh_scratch_path((std::wstring(L"write_") + c.name).c_str());
        make_directory(directory);
        set_target_directory(directory.c_str());
        EXPECT_EXIT(
            {
                scoped_import_hook hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(c.replacement));
                real_write_file = reinterpret_cast<write_file_function>(hook.original());
                extract(stream);
            },
            testing::ExitedWithCode(2), c.message)
            << c.name;
        remove_tree(directory);
    }
}

// A worker's failure and a damage the main thread meets later, decoding ahead while the
// worker is slow: the worker's, first in payload order, is the one reported. So is the
// slow one of two workers' failures, the other's coming first in time.
BOOL WINAPI slow_failing_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (size != 5000) return real_write_file(file, data, size, written, overlapped);
    Sleep(300);
    return failing_write_file(file, data, size, written, overlapped);
}

TEST(extract_payload, a_workers_failure_is_reported_before_a_later_damage) {
    struct {
        const wchar_t* name;
        const wchar_t* second_path;
        const char* message;
        const wchar_t* failing_later = nullptr;
    } cases[] = {
        {L"open", L"blocker\\slow.txt", "^Error, failed to open '.*\\\\blocker\\\\slow\\.txt' for writing\\.\n$"},
        {L"write", L"slow.bin", "^Error, couldn't unpack file to target path\\. \\(\\[Error 112\\] "},
        {L"two", L"blocker\\slow.txt", "^Error, failed to open '.*\\\\blocker\\\\slow\\.txt' for writing\\.\n$",
         L"blocker\\fast.txt"},
    };
    for (const auto& c : cases) {
        std::wstring directory = fresh_scratch_path((std::wstring(L"worker_first_") + c.name).c_str());
        make_directory(directory);
        write_file(directory + L"\\blocker", {'b'});
        set_target_directory(directory.c_str());
        byte_vector stream;
        append_entry(stream, L"app.dll", pattern_bytes(100, 28));
        append_entry(stream, c.second_path, pattern_bytes(5000, 29));
        if (c.failing_later != nullptr) append_entry(stream, c.failing_later, pattern_bytes(10, 30));
        append_entry_header(stream, L"damaged.bin", 100000);  // ends inside its data
        stream.insert(stream.end(), 10, 'd');
        append_end_marker(stream);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                files_to_the_workers workers;
                scoped_import_hook write_hook("kernel32.dll", "WriteFile",
                                              reinterpret_cast<void*>(slow_failing_write_file));
                real_write_file = reinterpret_cast<write_file_function>(write_hook.original());
                extract(stream);
            },
            testing::ExitedWithCode(2), c.message)
            << printable(c.name);
        remove_tree(directory);
    }
}

TEST(extract_payload, a_payload_without_entries_ends_with_2_in_both_modes) {
    std::wstring directory = fresh_scratch_path(L"no_entries");
    set_target_directory(directory.c_str());
    byte_vector stream;
    append_end_marker(stream);
    for (bool in_process : {false, true}) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                start_reader(stream, in_process);
                extract_payload();
            },
            testing::ExitedWithCode(2), "^Error, attached data holds no files\\.")
            << (in_process ? "in-process mode" : "normal mode");
    }
    EXPECT_FALSE(directory_exists(directory));
}

TEST(extract_payload, in_process_mode_reads_only_the_first_path) {
    std::wstring directory = fresh_scratch_path(L"in_process");
    set_target_directory(directory.c_str());
    byte_vector stream;
    append_entry(stream, L"app.dll", pattern_bytes(300, 25));
    append_entry(stream, L"sub\\other.txt", {'o'});
    append_end_marker(stream);

    start_reader(stream, true);
    {
        directory_recorder recorder;
        scoped_import_hook write_hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(recording_write_file));
        real_write_file = reinterpret_cast<write_file_function>(write_hook.original());
        scoped_import_hook open_hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(counting_create_file));
        real_create_file = reinterpret_cast<create_file_function>(open_hook.original());
        write_sizes.clear();
        create_file_calls = 0;
        extract_payload();
    }
    in_process_mode = false;
    EXPECT_EQ(library_path(), directory + L"\\app.dll");
    EXPECT_TRUE(directory_calls.empty());
    EXPECT_TRUE(write_sizes.empty());
    EXPECT_EQ(create_file_calls, 0);
    EXPECT_FALSE(directory_exists(directory));
    // The stream goes on with the first entry's size: nothing past its path was read.
    byte_vector size(8);
    payload_read(size.data(), size.size());
    EXPECT_EQ(size, (byte_vector{44, 1, 0, 0, 0, 0, 0, 0}));
    payload_reader_release();
}

TEST(extract_payload, paths_at_the_buffer_limits_fit_and_longer_ones_abort) {
    // In-process mode builds the full path and stops: nothing needs to exist.
    struct {
        size_t target_length;
        size_t relative_length;
        bool fits;
    } cases[] = {
        {4, 1023, true},      // longest relative path
        {4, 1024, false},     // one unit too many for the relative path buffer
        {3071, 1023, true},   // full path of 4095 units
        {3072, 1023, false},  // 4096 units and the NUL would not fit
    };
    for (const auto& c : cases) {
        std::wstring target = L"C:\\" + std::wstring(c.target_length - 3, L't');
        std::wstring relative(c.relative_length, L'r');
        byte_vector stream;
        append_entry(stream, relative, {'x'});
        append_end_marker(stream);
        set_target_directory(target.c_str());
        if (c.fits) {
            start_reader(stream, true);
            extract_payload();
            in_process_mode = false;
            payload_reader_release();
            EXPECT_EQ(library_path(), target + L"\\" + relative) << c.target_length << " + " << c.relative_length;
        } else {
            EXPECT_EXIT(
                {
                    start_reader(stream, true);
                    extract_payload();
                },
                testing::ExitedWithCode(abort_status), "")
                << c.target_length << " + " << c.relative_length;
        }
    }
}

TEST(extract_payload, an_entry_larger_than_the_rest_ends_with_2_after_the_earlier_entries) {
    std::wstring directory = fresh_scratch_path(L"oversized");
    make_directory(directory);
    set_target_directory(directory.c_str());
    byte_vector first = pattern_bytes(5000, 26);
    byte_vector second = pattern_bytes(700, 27);
    byte_vector stream;
    append_entry(stream, L"app.dll", first);
    append_entry(stream, L"second.txt", second);
    // Its first piece is handed over whole: the stream ends while its file is open.
    append_entry_header(stream, L"third.bin", 100000);
    stream.insert(stream.end(), 40000, 't');
    append_end_marker(stream);

    EXPECT_EXIT(
        {
            start_hang_watchdog();
            stdout_to_stderr();
            files_to_the_workers workers;
            extract(stream);
        },
        testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.");
    // Written by the death test's process, into the same directory.
    EXPECT_EQ(read_file(directory + L"\\app.dll"), first);
    EXPECT_EQ(read_file(directory + L"\\second.txt"), second);
    remove_tree(directory);
}

TEST(ensure_directory, takes_a_bare_drive_and_the_home_folder_as_existing_without_a_call) {
    wchar_t home[4096];
    ASSERT_TRUE(expand_path_template(home, L"{HOME}", 4096));
    directory_recorder recorder;
    EXPECT_TRUE(ensure_directory(L"C:"));
    EXPECT_TRUE(ensure_directory(L"Q:"));  // no such drive: not even looked at
    EXPECT_TRUE(ensure_directory(home));
    EXPECT_TRUE(directory_calls.empty());
}

TEST(ensure_directory, remembers_existing_and_created_directories_but_not_failures) {
    std::wstring directory = fresh_scratch_path(L"remember");
    make_directory(directory);
    make_directory(directory + L"\\existing");
    directory_recorder recorder;

    struct {
        std::wstring path;
        bool result;
        size_t calls_after;
    } steps[] = {
        {directory + L"\\existing", true, 1},       // already there
        {directory + L"\\existing", true, 1},       // remembered
        {directory + L"\\made", true, 2},           // created
        {directory + L"\\made", true, 2},           // remembered
        {directory + L"\\MADE", true, 3},           // names compare exactly
        {directory + L"\\no\\such", false, 4},      // parent missing
        {directory + L"\\no\\such", false, 5},      // a failure is not remembered
    };
    for (const auto& step : steps) {
        EXPECT_EQ(ensure_directory(step.path.c_str()), step.result) << printable(step.path);
        EXPECT_EQ(directory_calls.size(), step.calls_after) << printable(step.path);
    }
    EXPECT_TRUE(directory_exists(directory + L"\\made"));
    remove_tree(directory);
}

TEST(ensure_directory, still_creates_directories_once_1024_are_remembered) {
    // Filling the list would change every later test of this process: a process of its own.
    std::wstring directory = fresh_scratch_path(L"full_list");
    make_directory(directory);
    std::wstring further = directory + L"\\further";
    EXPECT_EXIT(
        {
            directory_recorder recorder;
            // Slot 0 holds the home folder; 1023 new directories fill the rest.
            auto filler = [&](int i) { return directory + L"\\d" + std::to_wstring(i); };
            for (int i = 0; i < 1023; ++i) {
                if (!ensure_directory(filler(i).c_str())) {
                    fprintf(stderr, "filler %d not made\n", i);
                    exit(1);
                }
            }
            bool filled = directory_calls.size() == 1023;
            bool made = ensure_directory(further.c_str()) && directory_calls.size() == 1024 &&
                        directory_calls.back().succeeded && directory_exists(further);
            // Not remembered: asked again, it already exists.
            bool asked_again = ensure_directory(further.c_str()) && directory_calls.size() == 1025;
            bool others_remembered = ensure_directory(filler(1022).c_str()) && ensure_directory(filler(0).c_str()) &&
                                     directory_calls.size() == 1025;
            fprintf(stderr, "%s%s%s%s", filled ? "" : "not filled by 1023 calls; ", made ? "" : "further not made; ",
                    asked_again ? "" : "further not asked again; ", others_remembered ? "" : "list forgot names; ");
            exit(0);
        },
        testing::ExitedWithCode(0), "^$");
    remove_tree(directory);
}

}  // namespace
