// The build-time constants that every one-file executable defines, for the test programs.
extern "C" const wchar_t tarvix_company_name[] = L"Test Company";
extern "C" const wchar_t tarvix_product_name[] = L"Test Product";
extern "C" const wchar_t tarvix_version[] = L"9.8.7.6";
