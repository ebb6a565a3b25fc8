// The application of a project of its own, made into one .exe by tarvix: it prints the
// note that travelled beside its library and returns the number of its arguments.
#include <cstdio>
#include <cstring>
#include <cwchar>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* library_path) {
    wchar_t path[4096];
    swprintf(path, 4096, L"%ls", library_path);
    wchar_t* name = wcsrchr(path, L'\\');
    swprintf(name != nullptr ? name + 1 : path, 4096 - (name != nullptr ? name + 1 - path : 0), L"note.txt");
    char note[256] = "(missing)";
    if (FILE* file = _wfopen(path, L"r")) {
        if (fgets(note, sizeof note, file) == nullptr) note[0] = 0;
        note[strcspn(note, "\r\n")] = 0;
        fclose(file);
    }
    printf("consumer: %s\n", note);
    for (int i = 1; i < argc; ++i) printf("argument %d: %ls\n", i, argv[i]);
    return argc - 1;
}
