# The packer runs on the build machine, so it is built by the host's compiler in a
# build of its own. A packer built elsewhere can be named with TARVIX_PACK_EXECUTABLE.
set(TARVIX_PACK_EXECUTABLE "" CACHE FILEPATH "A ready tarvix-pack; empty builds one for the host")
if(TARVIX_PACK_EXECUTABLE)
  add_custom_target(tarvix_pack_host)
  set(TARVIX_PACK "${TARVIX_PACK_EXECUTABLE}")
else()
  include(ExternalProject)
  set(host_packer_dir "${CMAKE_BINARY_DIR}/host-packer")
  ExternalProject_Add(tarvix_pack_host
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/packer"
    BINARY_DIR "${host_packer_dir}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS "${host_packer_dir}/tarvix-pack")
  set(TARVIX_PACK "${host_packer_dir}/tarvix-pack")
endif()
