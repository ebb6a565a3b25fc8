// The cached run: the payload is extracted once into a per-user cache directory, and
// every start runs the application from there in its own process.
#pragma once

#include <cstddef>

// The cache directory's template and the payload's digest.
#include "payload/attached_payload.h"

// Finds the cache directory complete, or fills it (a fresh private sibling, extracted, its
// completion record written last, then renamed into place), and returns what run_code
// returns, called in this very process.
int run_from_cache(int argument_count, wchar_t** arguments);

// The completion record's text for this payload: a header, the digest and the
// application library's name, one per line.
void format_cache_record(wchar_t* text, size_t capacity, const wchar_t* library_name);

// The application library's name from a record's text, or false when the text is not a
// whole record of this payload naming a file at the top of the directory.
bool parse_cache_record(const wchar_t* text, wchar_t* library_name, size_t capacity);
