// What the packer needs beyond the shared format definition (format/payload_format.h):
// the sizes it computes and the one zstd frame header it writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/payload_format.h"

// Header, zero gap and trailer together: a payload is this plus the frame length.
constexpr uint64_t payload_overhead = payload_header_size + payload_gap_size + payload_trailer_size;

// Start of every zstd frame.
constexpr unsigned char zstd_frame_magic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// Frame header descriptor: no content size, no single segment, no checksum, no
// dictionary ID, so a window descriptor byte always follows and states the window.
constexpr unsigned char frame_header_descriptor = 0x00;

// zstd cannot describe a smaller window.
constexpr int min_window_log = 10;
// Content of this size or larger always gets the largest window.
constexpr uint64_t large_content_size = uint64_t{1} << payload_max_window_log;

// Bytes of an entry other than its data: path units, terminator, size field.
inline uint64_t entry_overhead(size_t path_units) { return 2 * uint64_t{path_units} + 2 + entry_size_bytes; }

// Smallest power-of-two window holding the whole content, so the launcher allocates no
// more than it needs.
inline int window_log_for(uint64_t content_size) {
    if (content_size >= large_content_size) return payload_max_window_log;
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
