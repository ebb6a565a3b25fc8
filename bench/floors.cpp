// The floors under a launcher run, for one payload: decoding its stream from memory,
// writing its files (the same sizes and folders) from memory, and deleting the written tree
// by a direct walk. Each is timed once per process, as a launcher run pays it once.
//
// usage: bench_floors PAYLOAD
// prints: floor decode_us=... write_us=... delete_us=... files=... directories=...
//         bytes=... window=... decoder_bytes=...
// usage: bench_floors --decode N PAYLOAD
// prints: decode runs_us=T1,...,TN: only the decoding, N times after the untimed one, to
//         compare decoders built with different options (bench/decoder_options.py).
#define ZSTD_STATIC_LINKING_ONLY  // for the frame header and the decoder's size
#include <windows.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "probe.h"

namespace {

constexpr size_t header_size = 3;       // "KAY" before the zstd frame
constexpr size_t block_size = 131072;   // the launcher's output buffer: one zstd block
constexpr size_t walk_capacity = 32768;
// Files are written in pieces of this size, the launcher's, from one buffer that stays in
// the cache: the launcher writes what the decoder has just produced, so the floor must not
// pay for reading hundreds of megabytes back from memory (that doubles the time of the
// large application's writes; pieces of 1 MiB or more are slower still under Wine).
constexpr size_t write_piece = 32768;

struct entry {
    std::wstring full_path;
    unsigned long long size;
};

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "bench_floors: %s (error %lu)\n", what, GetLastError());
    exit(1);
}

double seconds_now() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<unsigned char> read_file(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("cannot open the payload");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) fail("cannot size the payload");
    std::vector<unsigned char> bytes(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD want = static_cast<DWORD>(bytes.size() - done < (1u << 30) ? bytes.size() - done : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + done, want, &got, nullptr) || got == 0) fail("cannot read the payload");
        done += got;
    }
    CloseHandle(file);
    return bytes;
}

// Decodes the whole frame through one block-sized buffer, as the launcher's reader
// does; content, when given, receives every byte.
void decode_frame(const unsigned char* frame, size_t frame_size, std::vector<unsigned char>* content) {
    static unsigned char block[block_size];
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    if (decoder == nullptr) fail("no decoder");
    ZSTD_inBuffer input = {frame, frame_size, 0};
    for (;;) {
        ZSTD_outBuffer output = {block, sizeof block, 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) fail(ZSTD_getErrorName(result));
        if (content != nullptr) content->insert(content->end(), block, block + output.pos);
        if (result == 0) break;
        if (output.pos == 0 && input.pos == input.size) fail("frame ends early");
    }
    ZSTD_freeDCtx(decoder);
}

unsigned long long read_u64(const unsigned char* bytes) {
    unsigned long long value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// The entries of the decoded stream, with their full paths below root, and the
// directories they need, parents before children.
void parse_entries(const std::vector<unsigned char>& content, const std::wstring& root, std::vector<entry>& entries,
                   std::vector<std::wstring>& directories) {
    std::set<std::wstring> known;
    size_t at = 0;
    for (;;) {
        std::wstring relative;
        for (;;) {
            if (at + 2 > content.size()) fail("stream ends inside a path");
            wchar_t unit = static_cast<wchar_t>(content[at] | (content[at + 1] << 8));
            at += 2;
            if (unit == 0) break;
            relative += unit;
        }
        if (relative.empty()) break;
        if (at + 8 > content.size()) fail("stream ends inside a size");
        unsigned long long size = read_u64(&content[at]);
        at += 8;
        if (size > content.size() - at) fail("stream ends inside a file");
        for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1)) {
            std::wstring directory = root + L"\\" + relative.substr(0, slash);
            if (known.insert(directory).second) directories.push_back(directory);
        }
        entries.push_back({root + L"\\" + relative, size});
        at += size;
    }
}

// The files' sizes and structure; their bytes are the first write_piece bytes of the
// content, repeated: the file system does not look at them.
void write_tree(const std::wstring& root, const std::vector<entry>& entries,
                const std::vector<std::wstring>& directories, const unsigned char* piece) {
    if (!CreateDirectoryW(root.c_str(), nullptr)) fail("cannot create the root");
    for (const std::wstring& directory : directories) {
        if (!CreateDirectoryW(directory.c_str(), nullptr)) fail("cannot create a directory");
    }
    for (const entry& file : entries) {
        HANDLE handle = CreateFileW(file.full_path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                                    nullptr);
        if (handle == INVALID_HANDLE_VALUE) fail("cannot create a file");
        unsigned long long done = 0;
        while (done < file.size) {
            unsigned long long rest = file.size - done;
            DWORD want = static_cast<DWORD>(rest < write_piece ? rest : write_piece);
            DWORD written = 0;
            if (!WriteFile(handle, piece, want, &written, nullptr) || written != want) fail("cannot write");
            done += want;
        }
        CloseHandle(handle);
    }
}

void delete_below(wchar_t* path, size_t length) {
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        size_t name_length = wcslen(found.cFileName);
        if (length + 1 + name_length + 3 >= walk_capacity) fail("path too long");
        path[length] = L'\\';
        wcscpy(path + length + 1, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            delete_below(path, length + 1 + name_length);
            RemoveDirectoryW(path);
        } else {
            DeleteFileW(path);
        }
        path[length] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void delete_tree(const std::wstring& root) {
    static wchar_t path[walk_capacity];
    wcscpy(path, root.c_str());
    delete_below(path, root.size());
    RemoveDirectoryW(root.c_str());
}

}  // namespace

int wmain(int argument_count, wchar_t** arguments) {
    int decode_runs = 0;
    if (argument_count == 4 && wcscmp(arguments[1], L"--decode") == 0) {
        decode_runs = _wtoi(arguments[2]);
        arguments += 2;
        argument_count -= 2;
    }
    if (argument_count != 2 || decode_runs < 0) {
        fprintf(stderr, "usage: bench_floors [--decode N] PAYLOAD\n");
        return 2;
    }
    std::vector<unsigned char> payload = read_file(arguments[1]);
    if (payload.size() < header_size + 12 || memcmp(payload.data(), "KAY", header_size) != 0) fail("not a payload");
    const unsigned char* frame = payload.data() + header_size;
    size_t frame_size = payload.size() - header_size;  // the launcher's input: up to the payload's end

    ZSTD_frameHeader frame_header;
    if (ZSTD_getFrameHeader(&frame_header, frame, frame_size) != 0) fail("no frame header");
    size_t decoder_bytes = ZSTD_estimateDStreamSize_fromFrame(frame, frame_size);

    // Untimed: the content to write later, and every code path touched once.
    std::vector<unsigned char> content;
    decode_frame(frame, frame_size, &content);
    if (decode_runs > 0) {
        printf("decode runs_us=");
        for (int run = 0; run < decode_runs; ++run) {
            double start = seconds_now();
            decode_frame(frame, frame_size, nullptr);
            printf("%s%.1f", run == 0 ? "" : ",", (seconds_now() - start) * 1e6);
        }
        printf("\n");
        return 0;
    }

    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) fail("no temporary directory");
    wchar_t name[64];
    swprintf(name, 64, L"floor_%lu", GetCurrentProcessId());
    std::wstring root = std::wstring(temp) + name;
    std::vector<entry> entries;
    std::vector<std::wstring> directories;
    parse_entries(content, root, entries, directories);
    unsigned long long bytes = 0;
    for (const entry& file : entries) bytes += file.size;

    long long cpu[4];
    cpu[0] = group_cpu_microseconds();
    double start = seconds_now();
    decode_frame(frame, frame_size, nullptr);
    double decode_seconds = seconds_now() - start;

    cpu[1] = group_cpu_microseconds();
    start = seconds_now();
    static unsigned char piece[write_piece];
    memcpy(piece, content.data(), content.size() < write_piece ? content.size() : write_piece);
    write_tree(root, entries, directories, piece);
    double write_seconds = seconds_now() - start;

    cpu[2] = group_cpu_microseconds();
    start = seconds_now();
    delete_tree(root);
    double delete_seconds = seconds_now() - start;
    cpu[3] = group_cpu_microseconds();
    bool deleted = GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES;

    printf("floor decode_us=%.1f write_us=%.1f delete_us=%.1f deleted=%d files=%zu directories=%zu bytes=%llu "
           "window=%llu decoder_bytes=%zu",
           decode_seconds * 1e6, write_seconds * 1e6, delete_seconds * 1e6, deleted ? 1 : 0, entries.size(),
           directories.size() + 1, bytes, static_cast<unsigned long long>(frame_header.windowSize), decoder_bytes);
    if (cpu[0] >= 0 && cpu[3] >= 0) {
        printf(" decode_cpu_us=%lld write_cpu_us=%lld delete_cpu_us=%lld", cpu[1] - cpu[0], cpu[2] - cpu[1],
               cpu[3] - cpu[2]);
    }
    printf("\n");
    return 0;
}
