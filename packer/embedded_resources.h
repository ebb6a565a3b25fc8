// The default icon and the manifest of src/resources/, built into the packer so that it
// needs no file beside it for them (packer/CMakeLists.txt generates the definitions).
#pragma once

#include <string>

std::string embedded_default_icon();
std::string embedded_manifest();
