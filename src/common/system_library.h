// System libraries bound where they are needed, not imported: each import costs every
// process start its loading, and SHELL32 in particular pulls in USER32, after which a
// console process no longer receives logoff and shutdown events.
#pragma once

// The export name of the system library (looked for in the system directory only), or
// nullptr when the library or the export is missing.
void* system_function(const wchar_t* library, const char* name);
