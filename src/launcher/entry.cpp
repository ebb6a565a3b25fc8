// The program's entry; everything else lives in the library that the tests link too.
#include "format/payload_format.h"
#include "launcher/main_sequence.h"

// Asks the runtime to expand wildcards in the argument vector, as a console tool's
// users expect from "app *.txt".
extern "C" {
int _dowildcard = -1;
}

// Read by tarvix-pack list and verify in both routes' executables; nothing refers to it.
extern "C" {
__attribute__((used)) extern const char tarvix_launcher_version[] = TARVIX_LAUNCHER_VERSION_MARKER TARVIX_VERSION;
}

int wmain(int argument_count, wchar_t** arguments) { return launcher_main(argument_count, arguments); }
