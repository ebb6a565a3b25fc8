// The cached run: the payload is extracted once into a per-user cache directory, and
// every start runs the application from there in its own process.
#pragma once

#include <cstddef>

// Fixed when the executable is built. The cache directory's template, without the
// payload's digest that follows it; empty for an executable that extracts afresh at
// every start.
extern "C" const wchar_t tarvix_cache_template[];
// A short digest of the attached payload, which names its cache directory.
extern "C" const wchar_t tarvix_payload_digest[];

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
