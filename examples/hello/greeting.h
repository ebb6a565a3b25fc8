#pragma once

#ifdef BUILDING_GREETING
#define GREETING_API extern "C" __declspec(dllexport)
#else
#define GREETING_API extern "C" __declspec(dllimport)
#endif

// A library of the application's own that the launcher never names: the system finds it
// beside the application library when that is loaded.
GREETING_API const wchar_t* greeting_text();
