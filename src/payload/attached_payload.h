// Where the payload that this executable carries lies, with the settings that travel
// with it, and the buffer that holds one of its paths. The one fork between the two ways
// of making an executable: find_attached_payload has two definitions, and whichever is
// linked decides. Everything after it is shared.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format/payload_format.h"

inline constexpr size_t relative_path_capacity = payload_path_max_units + 1;  // and the NUL

// Set by find_attached_payload, read-only afterwards. The whole payload and its size in
// bytes; the texts of the version record, which {COMPANY}, {PRODUCT} and {VERSION}
// expand to; the cache directory's template without the payload's digest that follows
// it, empty for an executable that extracts afresh at every start; the short digest of
// the payload that names its cache directory; the payload's kind (payload_kind_library
// or payload_kind_program), which decides what the child is.
extern const unsigned char* tarvix_payload;
extern uint64_t tarvix_payload_size;
extern const wchar_t* tarvix_company_name;
extern const wchar_t* tarvix_product_name;
extern const wchar_t* tarvix_version;
extern const wchar_t* tarvix_cache_template;
extern const wchar_t* tarvix_payload_digest;
extern uint32_t tarvix_payload_kind;
// Which finder is linked: "linked" or "stub-made", for the trace.
extern const char tarvix_payload_route[];

// Points the values above at this executable's payload and settings: the symbols that
// tarvix_add_onefile links in (linked_payload.cpp), or the section that tarvix-pack
// writes into the prebuilt stub (section_payload.cpp). Without a payload, or with a
// malformed section, the size is 0 and the texts are empty: the header check that
// follows then ends the run as for any damaged payload.
void find_attached_payload();

// What a payload section holds, each pointer into the section itself.
struct payload_section_contents {
    const unsigned char* payload;
    uint64_t payload_size;
    const wchar_t* texts[payload_settings_text_count];  // in the order of the record
    uint32_t kind;
};

// Reads the settings record at the start of section (size bytes, as mapped) and finds the
// payload after it. False when the record is malformed in any way: a wrong magic, sizes
// outside the section, a kind it does not know, a text without its terminator or over
// the limit, a digest that is not 16 lowercase hex digits, bytes other than zero after
// the texts (format/settings_record.h, which the packer's verify applies too).
bool parse_payload_section(const unsigned char* section, uint64_t size, payload_section_contents* contents);
