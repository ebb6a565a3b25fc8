// The build-time constants that every one-file executable defines, for the test programs.
extern "C" const wchar_t tarvix_company_name[] = L"Test Company";
extern "C" const wchar_t tarvix_product_name[] = L"Test Product";
extern "C" const wchar_t tarvix_version[] = L"9.8.7.6";
extern "C" const wchar_t tarvix_cache_template[] = L"";
extern "C" const wchar_t tarvix_payload_digest[] = L"0123456789abcdef";
// No payload: the tests hand the reader payloads of their own.
extern "C" const unsigned char tarvix_payload[] = {'K', 'A', 'Y'};
extern "C" const unsigned long long tarvix_payload_size = sizeof tarvix_payload;
