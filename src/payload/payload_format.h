// The attached payload as the packer lays it out:
//   "KAY" | one zstd frame | four zero bytes | 64-bit length of everything before this
// The frame's content is a sequence of entries, then an end marker:
//   entry:      relative path (UTF-16LE units, "\" separated) | 0x0000 | 64-bit size | data
//   end marker: 0x0000
// The first entry is the application library, at the top level.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned char payload_header[3] = {'K', 'A', 'Y'};
inline constexpr size_t payload_header_size = sizeof payload_header;
inline constexpr size_t relative_path_capacity = 1024;  // 1023 units and the NUL
inline constexpr size_t entry_size_bytes = 8;           // little-endian, unsigned

// Linked into every one-file executable: the whole payload, and its size in bytes.
extern "C" const unsigned char tarvix_payload[];
extern "C" const unsigned long long tarvix_payload_size;
