// The variables that the launcher's two runs pass to each other. Names are narrow ASCII;
// values are wide.
#pragma once

#include <windows.h>

// A newly allocated copy of the variable's value (release with free), or nullptr when
// the variable is absent, empty, or longer than the platform's maximum.
wchar_t* get_environment(const char* name);

// Sets the variable, or deletes it when value is nullptr. Returns the platform's result,
// which no caller needs: a failed publish shows up later as a fresh value.
BOOL set_environment(const char* name, const wchar_t* value);

// The process id in a value that the launcher's runs pass to each other: decimal digits
// only, naming a 32-bit number. False for anything else, a sign or a blank included.
bool parse_process_id(const wchar_t* text, DWORD* id);
