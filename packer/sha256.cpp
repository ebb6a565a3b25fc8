#include "sha256.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "failure.h"
#include "file_tree.h"
#include "path_text.h"

namespace {

constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotate_right(uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

void compress(uint32_t* state, const unsigned char* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 | uint32_t{block[4 * i + 2]} << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = state[i];
    for (int i = 0; i < 64; ++i) {
        uint32_t s1 = rotate_right(v[4], 6) ^ rotate_right(v[4], 11) ^ rotate_right(v[4], 25);
        uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        uint32_t t1 = v[7] + s1 + choice + round_constants[i] + w[i];
        uint32_t s0 = rotate_right(v[0], 2) ^ rotate_right(v[0], 13) ^ rotate_right(v[0], 22);
        uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        for (int j = 7; j > 0; --j) v[j] = v[j - 1];
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i) state[i] += v[i];
}

}  // namespace

void sha256::add(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    total_bytes += size;
    while (size > 0) {
        size_t take = std::min(size, sizeof block - block_used);
        std::copy(bytes, bytes + take, block + block_used);
        block_used += take, bytes += take, size -= take;
        if (block_used == sizeof block) {
            compress(state, block);
            block_used = 0;
        }
    }
}

std::string sha256::hex_digest() {
    uint64_t bits = total_bytes * 8;
    unsigned char padding[72] = {0x80};
    size_t pad = (block_used < 56 ? 56 : 120) - block_used;
    for (int i = 0; i < 8; ++i) padding[pad + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    add(padding, pad + 8);
    std::string text;
    const char* digits = "0123456789abcdef";
    for (uint32_t word : state)
        for (int shift = 28; shift >= 0; shift -= 4) text += digits[(word >> shift) & 15];
    return text;
}

std::string file_sha256(const std::filesystem::path& file, uint64_t offset, uint64_t size) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<char> chunk(size_t{1} << 20);
    sha256 hash;
    while (size > 0) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size));
        in.read(chunk.data(), static_cast<std::streamsize>(take));
        if (!in) throw failure("cannot read back '" + printable(host_bytes(file)) + "'");
        hash.add(chunk.data(), take);
        size -= take;
    }
    return hash.hex_digest();
}
