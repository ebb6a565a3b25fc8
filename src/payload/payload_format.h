// The launcher's side of the payload format (format/payload_format.h): where the
// payload lies and the buffer that holds one path.
#pragma once

#include <stddef.h>

#include "format/payload_format.h"

inline constexpr size_t relative_path_capacity = payload_path_max_units + 1;  // and the NUL

// Linked into every one-file executable: the whole payload, and its size in bytes.
extern "C" const unsigned char tarvix_payload[];
extern "C" const unsigned long long tarvix_payload_size;
