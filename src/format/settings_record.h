// Reading the settings record at the start of a payload section (its layout is in
// format/payload_format.h): the one judgement that the launcher, reading its own mapped
// image, and the packer's verify, reading a file, both compile. It works on raw bytes,
// so wchar_t's width on either side does not matter; every bound is checked before
// use, since the section's bytes are as untrusted as the payload's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format/payload_format.h"

// The u32 at offset 12 is the payload's kind; only this function says which values a
// record may hold there.
inline constexpr size_t settings_kind_offset = 12;
inline constexpr bool settings_kind_accepted(uint32_t value) {
    return value == payload_kind_library || value == payload_kind_program;
}

// What a well-formed record says. Texts are given by their byte offset from the record's
// start (always even) and their length in UTF-16 units without the terminator.
struct settings_record {
    uint64_t record_size;  // the payload begins here
    uint64_t payload_size;
    uint32_t kind;
    size_t text_offset[payload_settings_text_count];
    size_t text_units[payload_settings_text_count];
};

inline uint32_t settings_u32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

inline uint64_t settings_u64(const unsigned char* at) {
    return settings_u32(at) | static_cast<uint64_t>(settings_u32(at + 4)) << 32;
}

// Why a record is malformed. A code, not a text: the launcher carries no messages for it.
enum class settings_fault {
    none,
    section_too_short,
    no_magic,
    record_size_unaligned,
    record_too_small,
    record_beyond_section,
    unknown_kind,
    payload_beyond_section,
    text_unterminated,
    text_too_long,
    bytes_after_texts,
    digest_malformed,
};

// The fixed part. fixed holds the first payload_settings_fixed_size bytes of a section of
// section_size bytes (fewer when the section is shorter); record then holds the sizes and
// the kind.
inline settings_fault settings_fixed_fault(const unsigned char* fixed, uint64_t section_size,
                                           settings_record* record) {
    if (section_size < payload_settings_fixed_size) return settings_fault::section_too_short;
    for (size_t i = 0; i < sizeof payload_settings_magic; ++i) {
        if (fixed[i] != payload_settings_magic[i]) return settings_fault::no_magic;
    }
    record->record_size = settings_u32(fixed + 8);
    record->kind = settings_u32(fixed + settings_kind_offset);
    record->payload_size = settings_u64(fixed + 16);
    if (record->record_size % 8 != 0) return settings_fault::record_size_unaligned;
    if (record->record_size < payload_settings_fixed_size) return settings_fault::record_too_small;
    if (record->record_size > section_size) return settings_fault::record_beyond_section;
    if (!settings_kind_accepted(record->kind)) return settings_fault::unknown_kind;
    if (record->payload_size > section_size - record->record_size) return settings_fault::payload_beyond_section;
    return settings_fault::none;
}

// The texts, once the fixed part has passed: bytes holds the record's record_size bytes.
inline settings_fault settings_texts_fault(const unsigned char* bytes, settings_record* record) {
    size_t end = static_cast<size_t>(record->record_size);
    size_t at = payload_settings_fixed_size;
    for (size_t text = 0; text < payload_settings_text_count; ++text) {
        size_t units = 0;
        while (at + 2 * units < end && (bytes[at + 2 * units] | bytes[at + 2 * units + 1]) != 0) ++units;
        if (at + 2 * units == end) return settings_fault::text_unterminated;
        if (units > payload_settings_text_max_units) return settings_fault::text_too_long;
        record->text_offset[text] = at;
        record->text_units[text] = units;
        at += 2 * (units + 1);
    }
    for (; at < end; ++at) {
        if (bytes[at] != 0) return settings_fault::bytes_after_texts;
    }
    size_t digest = record->text_offset[payload_settings_text_count - 1];
    if (record->text_units[payload_settings_text_count - 1] != payload_digest_units)
        return settings_fault::digest_malformed;
    for (size_t i = 0; i < payload_digest_units; ++i) {
        unsigned char low = bytes[digest + 2 * i];
        bool hex = (low >= '0' && low <= '9') || (low >= 'a' && low <= 'f');
        if (!hex || bytes[digest + 2 * i + 1] != 0) return settings_fault::digest_malformed;
    }
    return settings_fault::none;
}

// The whole record at the start of section, size bytes all readable.
inline settings_fault settings_record_fault(const unsigned char* section, uint64_t size, settings_record* record) {
    settings_fault fault = settings_fixed_fault(section, size, record);
    return fault != settings_fault::none ? fault : settings_texts_fault(section, record);
}
