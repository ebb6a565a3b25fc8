#include "payload/payload_reader.h"

#include <zstd.h>

#include <cstdlib>
#include <cstring>

#include "diag/fatal.h"
#include "diag/messages.h"
#include "payload/attached_payload.h"

namespace {

// One full zstd block: a decoder call never produces more than this at once.
constexpr size_t output_capacity = 131072;

ZSTD_DCtx* decoder = nullptr;
ZSTD_inBuffer input = {nullptr, 0, 0};
// Between decoder calls, size is what the last call produced and pos what of it has
// been handed out.
ZSTD_outBuffer output = {nullptr, 0, 0};

}  // namespace

void payload_check_header(const unsigned char* payload, uint64_t size) {
    if (size < payload_header_size || memcmp(payload, payload_header, payload_header_size) != 0) {
        fatal_error(message_header_missing);
    }
}

void payload_reader_create(const unsigned char* payload, uint64_t size) {
    output.dst = malloc(output_capacity);
    if (output.dst == nullptr) fatal_error(message_out_of_memory);
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) fatal_error(message_out_of_memory);
    input.src = payload + payload_header_size;
    input.size = size - payload_header_size;
    input.pos = 0;
    output.size = 0;
    output.pos = 0;
}

void payload_read(void* buffer, uint64_t count) {
    unsigned char* target = static_cast<unsigned char*>(buffer);
    // Set when the last decoder call filled the whole buffer: the decoder may then still
    // hold output although all input has been consumed.
    bool output_full = false;
    for (;;) {
        size_t available = output.size - output.pos;
        if (available > 0) {
            size_t n = count < available ? static_cast<size_t>(count) : available;
            memcpy(target, static_cast<unsigned char*>(output.dst) + output.pos, n);
            output.pos += n;
            count -= n;
            if (count == 0) return;
            target += n;
            continue;
        }
        // All input used and nothing held back: the stream ended inside the frame.
        // Nothing more can come, so waiting would never end.
        if (input.pos >= input.size && !output_full) fatal_error(message_decode_failed);
        output.size = output_capacity;
        output.pos = 0;
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) fatal_error(message_decode_failed);
        output_full = output.pos == output_capacity;
        output.size = output.pos;
        output.pos = 0;
    }
}

void payload_reader_release() {
    ZSTD_freeDCtx(decoder);
    free(output.dst);
}
