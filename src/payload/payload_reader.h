// Hands out exact byte counts of the attached payload's decompressed stream.
#pragma once

#include <cstdint>

// Ends the process with "couldn't find attached data header" unless payload begins
// with the header.
void payload_check_header(const unsigned char* payload, uint64_t size);

// Sets up the single reader over the stream that follows the header; size is the
// payload's whole size. Ends the process when memory cannot be had.
void payload_reader_create(const unsigned char* payload, uint64_t size);

// Copies exactly count (at least 1) bytes of the stream into buffer, or ends the process
// with "couldn't decode attached data".
void payload_read(void* buffer, uint64_t count);

// Frees the decoder and the output buffer; no read may follow.
void payload_reader_release();
