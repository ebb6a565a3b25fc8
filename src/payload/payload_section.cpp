// The launcher's side of the settings record: the judgement is format/settings_record.h,
// shared with the packer's verify; the texts are then read in place, since the record's
// start is aligned and so is every unit.
#include "format/settings_record.h"
#include "payload/attached_payload.h"

bool parse_payload_section(const unsigned char* section, uint64_t size, payload_section_contents* contents) {
    settings_record record;
    if (settings_record_fault(section, size, &record) != settings_fault::none) return false;
    for (size_t i = 0; i < payload_settings_text_count; ++i)
        contents->texts[i] = reinterpret_cast<const wchar_t*>(section + record.text_offset[i]);
    contents->payload = section + record.record_size;
    contents->payload_size = record.payload_size;
    contents->kind = record.kind;
    return true;
}
