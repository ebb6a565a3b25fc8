#define BUILDING_GREETING
#include "greeting.h"

const wchar_t* greeting_text() { return L"Hello from greeting.dll"; }
