// A plain console program that prints, as one JSON list, the argument vector that its
// runtime made of the command line, with wildcards expanded as in the launcher: what an
// application must receive through the launcher.
#include <cstdio>

extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** argv) {
    printf("[");
    for (int i = 0; i < argc; ++i) {
        printf(i > 0 ? ", \"" : "\"");
        for (const wchar_t* p = argv[i]; *p != 0; ++p) {
            if (*p == L'"' || *p == L'\\') printf("\\%c", static_cast<char>(*p));
            else if (*p >= 0x20 && *p < 0x7F) printf("%c", static_cast<char>(*p));
            else printf("\\u%04x", static_cast<unsigned>(*p));
        }
        printf("\"");
    }
    printf("]\n");
    return 0;
}
