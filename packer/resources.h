// The resource section of an executable made from the stub: the same resources that
// tarvix_add_onefile's launcher.rc.in gives an executable of the CMake route.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct version_texts {
    std::string company;        // UTF-8, one line
    std::string product;        // UTF-8, one line
    std::string version;        // a.b.c.d as given, 1 to 4 numbers of 0..65535
    std::string internal_name;  // the executable's name without ".exe"
};

// Throws failure unless text is a.b.c.d with 1 to 4 numbers, each at most 65535.
void check_version_text(const std::string& text);

// The bytes of the resource section placed at section_rva: the icon group (id 1) with its
// icons (ids 1..n) from the .ico file's bytes, the version record and the manifest
// (RT_MANIFEST id 1), all in language 0x409. Throws failure("icon 'NAME': why") for an
// icon file that is not one.
std::vector<unsigned char> build_resource_section(const std::string& icon, const std::string& icon_name,
                                                  const std::string& manifest, const version_texts& texts,
                                                  uint32_t section_rva);
