// Byte layout of the attached payload, shared with the launcher. Integers are little-endian.
//
//   "KAY" | one zstd frame (F bytes) | 00 00 00 00 | u64 trailer = 7 + F
//
// Decompressed content: entries of (UTF-16LE path, 0x0000, u64 size, size bytes), then a
// lone 0x0000 unit as the end marker.
#pragma once

#include <cstddef>
#include <cstdint>

// First bytes of the payload; the launcher checks them before trusting anything else.
constexpr unsigned char payload_magic[3] = {0x4B, 0x41, 0x59};
constexpr uint64_t payload_magic_size = sizeof payload_magic;

// Separates the frame from the trailer, so a frame that overruns its room is caught.
constexpr uint64_t zero_gap_size = 4;

// Holds the length of everything before it, which lets the launcher find the header
// by reading backwards from the end of its own image.
constexpr uint64_t trailer_size = 8;

// Header, zero gap and trailer together: a payload is this plus the frame length.
constexpr uint64_t payload_overhead = payload_magic_size + zero_gap_size + trailer_size;

// Start of every zstd frame.
constexpr unsigned char zstd_frame_magic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// Frame header descriptor: no content size, no single segment, no checksum, no
// dictionary ID. The launcher's decoder relies on exactly this, and it means a window
// descriptor byte always follows.
constexpr unsigned char frame_header_descriptor = 0x00;

// The window never exceeds 2^27, the most the launcher's decoder allocates.
constexpr int max_window_log = 27;
// zstd cannot describe a smaller window.
constexpr int min_window_log = 10;
// Content of this size or larger always gets the largest window.
constexpr uint64_t large_content_size = uint64_t{1} << max_window_log;

// Longest path in UTF-16 units, not counting its 0x0000 terminator.
constexpr size_t max_path_units = 1023;
// Component separator inside payload paths (backslash).
constexpr char16_t payload_separator = 0x5C;

// Bytes of an entry other than its data: path units, terminator, u64 size.
inline uint64_t entry_overhead(size_t path_units) { return 2 * uint64_t{path_units} + 2 + 8; }
// The end marker is a single 0x0000 unit.
constexpr uint64_t end_marker_size = 2;

// Smallest power-of-two window holding the whole content, so the launcher allocates no
// more than it needs.
inline int window_log_for(uint64_t content_size) {
    if (content_size >= large_content_size) return max_window_log;
    int log = min_window_log;
    while ((uint64_t{1} << log) < content_size) ++log;
    return log;
}

// Window descriptor byte for a power-of-two window (mantissa 0).
inline unsigned char window_descriptor(int window_log) {
    return static_cast<unsigned char>((window_log - min_window_log) << 3);
}

// Window size a descriptor byte stands for.
inline uint64_t window_size_of(unsigned char descriptor) {
    uint64_t base = uint64_t{1} << (min_window_log + (descriptor >> 3));
    return base + (base / 8) * (descriptor & 7);
}
