// A program that imports the example's greeting.dll: packed without it, the system ends
// it before main.
#include <cwchar>

#include "greeting.h"

int wmain() { return static_cast<int>(wcslen(greeting_text())); }
