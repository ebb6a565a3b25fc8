// The values that find_attached_payload fills, defined once for both finders. Not part of
// the launcher library: its unit tests define their own.
#include "payload/attached_payload.h"

const unsigned char* tarvix_payload = nullptr;
uint64_t tarvix_payload_size = 0;
const wchar_t* tarvix_company_name = L"";
const wchar_t* tarvix_product_name = L"";
const wchar_t* tarvix_version = L"";
const wchar_t* tarvix_cache_template = L"";
const wchar_t* tarvix_payload_digest = L"";
uint32_t tarvix_payload_kind = payload_kind_library;
