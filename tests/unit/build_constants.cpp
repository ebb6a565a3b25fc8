// The settings that every one-file executable finds with its payload, for the test programs.
#include "payload/attached_payload.h"

const wchar_t* tarvix_company_name = L"Test Company";
const wchar_t* tarvix_product_name = L"Test Product";
const wchar_t* tarvix_version = L"9.8.7.6";
const wchar_t* tarvix_cache_template = L"";
const wchar_t* tarvix_payload_digest = L"0123456789abcdef";
// No payload: the tests hand the reader payloads of their own.
const unsigned char test_payload[] = {'K', 'A', 'Y'};
const unsigned char* tarvix_payload = test_payload;
uint64_t tarvix_payload_size = sizeof test_payload;

void find_attached_payload() {}
uint32_t tarvix_payload_kind = payload_kind_library;
const char tarvix_payload_route[] = "test";
