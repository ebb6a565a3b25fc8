# The packer runs on the build machine, so it is built by the host's compiler in a
# build of its own, from the zstd source the launcher's decoder comes from. A packer
# built elsewhere can be named with TARVIX_PACK_EXECUTABLE. Either way it is the imported
# executable tarvix::pack, as in the installed package.
# The host build also makes the uppercase table (upcase_table.h in TARVIX_CASE_TABLE_DIR)
# that the Windows packer compiles in; TARVIX_CASE_TABLE_STEP names the step that makes it.
set(TARVIX_PACK_EXECUTABLE "" CACHE FILEPATH "A ready tarvix-pack; empty builds one for the host")
add_executable(tarvix::pack IMPORTED GLOBAL)
include(ExternalProject)
set(host_packer_dir "${CMAKE_CURRENT_BINARY_DIR}/host-packer")
set(TARVIX_CASE_TABLE_DIR "${host_packer_dir}/generated")
# A build that makes the release (with the Windows packer) links the packer statically, so
# that the archive's runs on Linux systems older than this one; inside another project the
# packer needs no static C library, which not every system has.
set(host_packer_args -DCMAKE_BUILD_TYPE=Release "-DTARVIX_ZSTD_SOURCE=${TARVIX_ZSTD_SOURCE}"
  "-DTARVIX_PACK_STATIC=${TARVIX_BUILD_WINDOWS_PACKER}" "-DTARVIX_VERSION=${PROJECT_VERSION}")
if(TARVIX_PACK_EXECUTABLE)
  set_target_properties(tarvix::pack PROPERTIES IMPORTED_LOCATION "${TARVIX_PACK_EXECUTABLE}")
  if(TARVIX_BUILD_WINDOWS_PACKER)
    set(TARVIX_CASE_TABLE_STEP tarvix_case_table_host)
    ExternalProject_Add(tarvix_case_table_host
      SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../packer"
      BINARY_DIR "${host_packer_dir}"
      CMAKE_ARGS ${host_packer_args}
      BUILD_COMMAND "${CMAKE_COMMAND}" --build "${host_packer_dir}" --target tarvix_case_table_header
      INSTALL_COMMAND ""
      BUILD_ALWAYS TRUE)
  endif()
else()
  ExternalProject_Add(tarvix_pack_host
    SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../packer"
    BINARY_DIR "${host_packer_dir}"
    CMAKE_ARGS ${host_packer_args}
    INSTALL_COMMAND ""
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS "${host_packer_dir}/tarvix-pack")
  set_target_properties(tarvix::pack PROPERTIES IMPORTED_LOCATION "${host_packer_dir}/tarvix-pack")
  add_dependencies(tarvix::pack tarvix_pack_host)
  set(TARVIX_CASE_TABLE_STEP tarvix_pack_host)
endif()
