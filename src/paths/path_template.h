// Expansion of path templates such as "{TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}".
// Values that differ from run to run are taken from the environment when present and
// published there when made here, so that the child arrives at the same path.
#pragma once

#include <cstddef>
#include <cstdint>

// {COMPANY}, {PRODUCT} and {VERSION} are the texts of the executable's version record.
#include "payload/attached_payload.h"

// Expands path_template into output (capacity units, NUL included). False on an empty
// or unknown placeholder, a literal that does not fit, a folder the system cannot name,
// or a name over 1023 units; output then holds the text expanded so far. A value that
// does not fit, or a malformed TARVIX_ONEFILE_PARENT, ends the process through abort.
bool expand_path_template(wchar_t* output, const wchar_t* path_template, size_t capacity);

// {TIME_US} is six decimal digits, {RANDOM} eleven base64url characters.
inline constexpr size_t time_us_text_length = 6;
inline constexpr size_t random_text_length = 11;

// The 11 base64url characters (and a NUL) that {RANDOM} makes of 8 random bytes.
void random_text_from_bytes(const uint8_t* bytes, wchar_t* output);

// 11 fresh characters from the system's cryptographic generator, as {RANDOM} makes them;
// false when the generator fails.
bool make_random_text(wchar_t* output);
