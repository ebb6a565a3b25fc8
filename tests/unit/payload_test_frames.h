// Attached payloads built in memory for the payload tests: zstd frames made of raw and
// run-length blocks written by hand (the target's zstd has no encoder), entry streams,
// and the scratch directories that extraction writes to.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using byte_vector = std::vector<unsigned char>;

// Window descriptor of a 128 KiB window: the largest block fits, and a decoder needs
// little memory for it.
inline constexpr unsigned char small_window = 0x38;
inline constexpr size_t largest_block = 131072;

// Frame magic, a header descriptor without content size, checksum or dictionary, and
// the window descriptor.
void append_frame_header(byte_vector& frame, unsigned char window_descriptor);
void append_raw_block(byte_vector& frame, const unsigned char* data, size_t size, bool last);
void append_rle_block(byte_vector& frame, unsigned char value, size_t count, bool last);

// content in raw blocks of at most largest_block bytes; empty content gives one empty block.
byte_vector raw_frame(const byte_vector& content, unsigned char window_descriptor = small_window);

// "KAY", the frame, four zero bytes and the 64-bit length of everything before them.
byte_vector attached_payload(const byte_vector& frame);

// Bytes that differ from their neighbours and do not repeat every 256 positions, so
// that a shifted or repeated piece shows.
byte_vector pattern_bytes(size_t size, unsigned seed);

// One entry of the decompressed stream: path units, 0x0000, 64-bit size, data.
void append_entry(byte_vector& stream, const std::wstring& path, const byte_vector& data);
// An entry header whose size claims more data than follows.
void append_entry_header(byte_vector& stream, const std::wstring& path, unsigned long long size);
void append_end_marker(byte_vector& stream);

// A directory path below the temporary directory, the same in a test and in the death
// test processes it starts (they inherit the run's number), removed with all contents.
std::wstring fresh_scratch_path(const wchar_t* name);
void remove_tree(const std::wstring& path);

bool file_exists(const std::wstring& path);
bool directory_exists(const std::wstring& path);
// Whole file content; fails the test when the file cannot be read.
byte_vector read_file(const std::wstring& path);
void write_file(const std::wstring& path, const byte_vector& data);

// For death tests: standard output joins standard error, which is what the test matches.
void stdout_to_stderr();

// For death tests of reading: a process still running after 10 seconds (a reader waiting
// for input that cannot come) ends with 99 instead of at the test runner's time-out.
void start_hang_watchdog();

// Escapes every character that a death test's pattern would read as an operator.
std::string pattern_literal(const std::wstring& text);

// The text for a failure message: ASCII kept, every other unit shown as '?'.
std::string printable(const std::wstring& text);
