# The packer runs on the build machine, so it is built by the host's compiler in a
# build of its own. A packer built elsewhere can be named with TARVIX_PACK_EXECUTABLE.
# Either way it is the imported executable tarvix::pack, as in the installed package.
set(TARVIX_PACK_EXECUTABLE "" CACHE FILEPATH "A ready tarvix-pack; empty builds one for the host")
add_executable(tarvix::pack IMPORTED GLOBAL)
if(TARVIX_PACK_EXECUTABLE)
  set_target_properties(tarvix::pack PROPERTIES IMPORTED_LOCATION "${TARVIX_PACK_EXECUTABLE}")
else()
  include(ExternalProject)
  set(host_packer_dir "${CMAKE_CURRENT_BINARY_DIR}/host-packer")
  ExternalProject_Add(tarvix_pack_host
    SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../packer"
    BINARY_DIR "${host_packer_dir}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS "${host_packer_dir}/tarvix-pack")
  set_target_properties(tarvix::pack PROPERTIES IMPORTED_LOCATION "${host_packer_dir}/tarvix-pack")
  add_dependencies(tarvix::pack tarvix_pack_host)
endif()
