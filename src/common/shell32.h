// SHELL32 is bound where it is called, not imported: loading it costs every process
// start several milliseconds, and the application's own run never needs it.
#pragma once

// The named SHELL32 export, or nullptr when the library or the export is missing.
void* shell32_function(const char* name);
