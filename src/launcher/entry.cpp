// The program's entry; everything else lives in the library that the tests link too.
#include "launcher/main_sequence.h"

// Asks the runtime to expand wildcards in the argument vector, as a console tool's
// users expect from "app *.txt".
extern "C" {
int _dowildcard = -1;
}

int wmain(int argument_count, wchar_t** arguments) { return launcher_main(argument_count, arguments); }
