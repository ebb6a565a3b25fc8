# cmake -D icon=<default.ico> -D manifest=<launcher.manifest> -D output=<file.cpp> -P embed_resources.cmake
# Writes the definitions of embedded_resources.h: each file's bytes as an array.
function(bytes_as_array file name result)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" hex "${hex}")
  set(${result} "const unsigned char ${name}[] = {\n${hex}};\n" PARENT_SCOPE)
endfunction()
bytes_as_array("${icon}" icon_bytes icon_array)
bytes_as_array("${manifest}" manifest_bytes manifest_array)
file(WRITE "${output}.new" "// Generated from ${icon} and ${manifest}.
#include \"embedded_resources.h\"

namespace {
${icon_array}${manifest_array}}  // namespace

std::string embedded_default_icon() { return std::string(reinterpret_cast<const char*>(icon_bytes), sizeof icon_bytes); }
std::string embedded_manifest() { return std::string(reinterpret_cast<const char*>(manifest_bytes), sizeof manifest_bytes); }
")
file(COPY_FILE "${output}.new" "${output}" ONLY_IF_DIFFERENT)
file(REMOVE "${output}.new")
