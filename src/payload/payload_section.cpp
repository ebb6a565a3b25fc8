// Reading the settings record of a payload section: every bound checked before use,
// since the section's bytes are as untrusted as the payload's.
#include <cstring>

#include "payload/attached_payload.h"

namespace {

uint32_t read_u32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

uint64_t read_u64(const unsigned char* at) { return read_u32(at) | static_cast<uint64_t>(read_u32(at + 4)) << 32; }

bool is_digest(const wchar_t* text) {
    for (size_t i = 0; i < payload_digest_units; ++i) {
        wchar_t unit = text[i];
        if (!((unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'f'))) return false;
    }
    return text[payload_digest_units] == 0;
}

}  // namespace

bool parse_payload_section(const unsigned char* section, uint64_t size, payload_section_contents* contents) {
    if (size < payload_settings_fixed_size) return false;
    if (memcmp(section, payload_settings_magic, sizeof payload_settings_magic) != 0) return false;
    uint64_t record_size = read_u32(section + 8);
    uint64_t payload_size = read_u64(section + 16);
    if (record_size % 8 != 0 || record_size < payload_settings_fixed_size || record_size > size) return false;
    uint32_t kind = read_u32(section + 12);
    if (kind != payload_kind_library && kind != payload_kind_program) return false;
    if (payload_size > size - record_size) return false;

    // Texts are read in place: the record's start is aligned, and so is every unit.
    const wchar_t* units = reinterpret_cast<const wchar_t*>(section + payload_settings_fixed_size);
    size_t unit_count = (record_size - payload_settings_fixed_size) / sizeof(wchar_t);
    size_t at = 0;
    for (const wchar_t*& text : contents->texts) {
        size_t length = 0;
        while (at + length < unit_count && units[at + length] != 0) ++length;
        if (at + length == unit_count || length > payload_settings_text_max_units) return false;
        text = units + at;
        at += length + 1;
    }
    for (; at < unit_count; ++at) {
        if (units[at] != 0) return false;
    }
    if (!is_digest(contents->texts[payload_settings_text_count - 1])) return false;
    contents->payload = section + record_size;
    contents->payload_size = payload_size;
    contents->kind = kind;
    return true;
}
