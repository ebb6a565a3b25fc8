// Build-machine generator of the uppercase table that every packer compiles in, so that
// the Linux and the Windows packer refuse exactly the same names and neither needs ICU
// when it runs. Writes a header holding each UTF-16 unit whose simple uppercase mapping
// is another unit of the Basic Multilingual Plane, with that mapping, in unit order.
#include <cstdio>
#include <string>

#include <unicode/uchar.h>
#include <unicode/uversion.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvix-case-table OUTPUT.h\n");
        return 2;
    }
    std::string text =
        "// Generated at build time by packer/case_table.cpp from ICU " U_ICU_VERSION
        " (Unicode " U_UNICODE_VERSION "); not kept in the repository.\n"
        "#pragma once\n\n"
        "// {unit, its simple uppercase mapping}, ascending by unit.\n"
        "constexpr char16_t upcase_pairs[][2] = {\n";
    for (UChar32 unit = 0; unit <= 0xFFFF; ++unit) {
        if (unit >= 0xD800 && unit <= 0xDFFF) continue;  // surrogates compare exactly
        UChar32 upper = u_toupper(unit);
        if (upper == unit || upper > 0xFFFF) continue;
        char line[40];
        std::snprintf(line, sizeof line, "    {0x%04X, 0x%04X},\n", static_cast<unsigned>(unit),
                      static_cast<unsigned>(upper));
        text += line;
    }
    text += "};\n";

    // Whole or not at all: a half-written header must not look up to date.
    std::string temporary = std::string(argv[1]) + ".tmp";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out) return std::perror(temporary.c_str()), 1;
    bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written || std::rename(temporary.c_str(), argv[1]) != 0) {
        std::perror(argv[1]);
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
