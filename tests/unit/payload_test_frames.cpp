#include "payload_test_frames.h"

#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

void append_block_header(byte_vector& frame, unsigned type, size_t size, bool last) {
    unsigned long header = (last ? 1u : 0u) | (type << 1) | (static_cast<unsigned long>(size) << 3);
    frame.push_back(static_cast<unsigned char>(header));
    frame.push_back(static_cast<unsigned char>(header >> 8));
    frame.push_back(static_cast<unsigned char>(header >> 16));
}

void append_u64(byte_vector& bytes, unsigned long long value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

}  // namespace

void append_frame_header(byte_vector& frame, unsigned char window_descriptor) {
    for (unsigned char byte : {0x28, 0xB5, 0x2F, 0xFD}) frame.push_back(byte);
    frame.push_back(0x00);
    frame.push_back(window_descriptor);
}

void append_raw_block(byte_vector& frame, const unsigned char* data, size_t size, bool last) {
    append_block_header(frame, 0, size, last);
    frame.insert(frame.end(), data, data + size);
}

void append_rle_block(byte_vector& frame, unsigned char value, size_t count, bool last) {
    append_block_header(frame, 1, count, last);
    frame.push_back(value);
}

byte_vector raw_frame(const byte_vector& content, unsigned char window_descriptor) {
    byte_vector frame;
    append_frame_header(frame, window_descriptor);
    size_t offset = 0;
    do {
        size_t size = content.size() - offset < largest_block ? content.size() - offset : largest_block;
        append_raw_block(frame, content.data() + offset, size, offset + size == content.size());
        offset += size;
    } while (offset < content.size());
    return frame;
}

byte_vector attached_payload(const byte_vector& frame) {
    byte_vector payload(3 + frame.size() + 4, 0);
    payload[0] = 'K';
    payload[1] = 'A';
    payload[2] = 'Y';
    std::copy(frame.begin(), frame.end(), payload.begin() + 3);
    append_u64(payload, payload.size());
    return payload;
}

byte_vector pattern_bytes(size_t size, unsigned seed) {
    byte_vector bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251 + seed);
    return bytes;
}

void append_entry_header(byte_vector& stream, const std::wstring& path, unsigned long long size) {
    for (wchar_t unit : path) {
        stream.push_back(static_cast<unsigned char>(unit));
        stream.push_back(static_cast<unsigned char>(unit >> 8));
    }
    stream.push_back(0);
    stream.push_back(0);
    append_u64(stream, size);
}

void append_entry(byte_vector& stream, const std::wstring& path, const byte_vector& data) {
    append_entry_header(stream, path, data.size());
    stream.insert(stream.end(), data.begin(), data.end());
}

void append_end_marker(byte_vector& stream) {
    stream.push_back(0);
    stream.push_back(0);
}

std::wstring fresh_scratch_path(const wchar_t* name) {
    wchar_t run[32];
    if (GetEnvironmentVariableW(L"PAYLOAD_TEST_RUN", run, 32) == 0) {
        swprintf(run, 32, L"%lu", GetCurrentProcessId());
        SetEnvironmentVariableW(L"PAYLOAD_TEST_RUN", run);
    }
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    EXPECT_GT(length, 0u);
    std::wstring path = std::wstring(temp) + L"payload_test_" + name + L"_" + run;
    remove_tree(path);
    return path;
}

void remove_tree(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
                remove_tree(path + L"\\" + found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool file_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directory_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

byte_vector read_file(const std::wstring& path) {
    byte_vector data;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot open " << printable(path);
    if (file == INVALID_HANDLE_VALUE) return data;
    unsigned char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data.insert(data.end(), chunk, chunk + got);
    CloseHandle(file);
    return data;
}

void write_file(const std::wstring& path, const byte_vector& data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    CloseHandle(file);
}

namespace {

DWORD WINAPI end_hung_process(void*) {
    Sleep(10000);
    ExitProcess(99);
}

}  // namespace

void start_hang_watchdog() {
    HANDLE thread = CreateThread(nullptr, 0, end_hung_process, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}

void stdout_to_stderr() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}

std::string pattern_literal(const std::wstring& text) {
    std::string pattern;
    for (wchar_t unit : text) {
        if (unit > 0x7F) {
            pattern += '.';
            continue;
        }
        if (strchr("\\.^$*+?()[]{}|", static_cast<char>(unit)) != nullptr) pattern += '\\';
        pattern += static_cast<char>(unit);
    }
    return pattern;
}

std::string printable(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) out += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    return out;
}
