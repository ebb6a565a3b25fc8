// SHA-256, for the payload digest that names a cached executable's cache directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

struct sha256 {
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block[64] = {};
    size_t block_used = 0;
    uint64_t total_bytes = 0;

    void add(const void* data, size_t size);
    // The digest as 64 lowercase hex digits; the object is spent afterwards.
    std::string hex_digest();
};

// The 64 hex digits of the SHA-256 of size bytes of file from offset on.
std::string file_sha256(const std::filesystem::path& file, uint64_t offset, uint64_t size);
