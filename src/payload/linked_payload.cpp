// The payload found through the symbols that tarvix_add_onefile links into the image:
// the payload in its read-only data, the settings compiled in.
#include "payload/attached_payload.h"

extern "C" const unsigned char tarvix_linked_payload[];
extern "C" const unsigned long long tarvix_linked_payload_size;
extern "C" const wchar_t tarvix_linked_company_name[];
extern "C" const wchar_t tarvix_linked_product_name[];
extern "C" const wchar_t tarvix_linked_version[];
extern "C" const wchar_t tarvix_linked_cache_template[];
extern "C" const wchar_t tarvix_linked_payload_digest[];
extern "C" const unsigned tarvix_linked_payload_kind;

const char tarvix_payload_route[] = "linked";

void find_attached_payload() {
    tarvix_payload = tarvix_linked_payload;
    tarvix_payload_size = tarvix_linked_payload_size;
    tarvix_company_name = tarvix_linked_company_name;
    tarvix_product_name = tarvix_linked_product_name;
    tarvix_version = tarvix_linked_version;
    tarvix_cache_template = tarvix_linked_cache_template;
    tarvix_payload_digest = tarvix_linked_payload_digest;
    tarvix_payload_kind = tarvix_linked_payload_kind;
}
