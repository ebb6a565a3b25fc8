// The payload found in the section that tarvix-pack writes into the prebuilt stub: the
// image's own section table, as the loader mapped it, leads to it.
#include <windows.h>

#include <cstring>

#include "payload/attached_payload.h"

const char tarvix_payload_route[] = "stub-made";

void find_attached_payload() {
    const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    if (image == nullptr) return;
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    uint64_t image_size = nt->OptionalHeader.SizeOfImage;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (memcmp(section->Name, payload_section_name, IMAGE_SIZEOF_SHORT_NAME) != 0) continue;
        uint64_t start = section->VirtualAddress;
        uint64_t size = section->Misc.VirtualSize;
        payload_section_contents contents;
        if (start + size > image_size || !parse_payload_section(image + start, size, &contents)) return;
        tarvix_payload = contents.payload;
        tarvix_payload_size = contents.payload_size;
        tarvix_company_name = contents.texts[0];
        tarvix_product_name = contents.texts[1];
        tarvix_version = contents.texts[2];
        tarvix_cache_template = contents.texts[3];
        tarvix_payload_digest = contents.texts[4];
        tarvix_payload_kind = contents.kind;
        return;
    }
}
