# What 'cmake --install' puts under the prefix, for find_package(tarvix CONFIG):
#   bin/tarvix-pack                        the packer, a program of the build machine
#   bin/tarvix-stub.exe                    the prebuilt launcher that 'tarvix-pack exe' fills
#   lib/libtarvix_launcher.a, libtarvix_zstd.a
#   lib/tarvix/objects-<config>/...        the entry point and the linked payload's finder
#   share/tarvix/resources/                icon, manifest, version record template
#   lib/cmake/tarvix/                      package config, version, targets, the function
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVIX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/tarvix")
set(TARVIX_INSTALL_RESOURCEDIR "${CMAKE_INSTALL_DATADIR}/tarvix/resources")

install(TARGETS tarvix_launcher tarvix_zstd tarvix_entry EXPORT tarvix_targets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  OBJECTS DESTINATION "${CMAKE_INSTALL_LIBDIR}/tarvix")
install(EXPORT tarvix_targets NAMESPACE tarvix:: FILE tarvixTargets.cmake DESTINATION "${TARVIX_INSTALL_CMAKEDIR}")
install(PROGRAMS "$<TARGET_FILE:tarvix::pack>" DESTINATION "${CMAKE_INSTALL_BINDIR}" RENAME tarvix-pack)
# Beside the packer, where 'tarvix-pack exe' looks for it by default.
install(TARGETS tarvix_stub RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

get_target_property(resource_dir tarvix_launcher TARVIX_RESOURCE_DIR)
install(FILES "${resource_dir}/default.ico" "${resource_dir}/launcher.manifest" "${resource_dir}/launcher.rc.in"
  DESTINATION "${TARVIX_INSTALL_RESOURCEDIR}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/tarvixConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/tarvixConfig.cmake"
  INSTALL_DESTINATION "${TARVIX_INSTALL_CMAKEDIR}"
  PATH_VARS CMAKE_INSTALL_BINDIR TARVIX_INSTALL_RESOURCEDIR)
# The package is young: until 1.0 a minor version may change what the function takes.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/tarvixConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/tarvixConfig.cmake"
  "${PROJECT_BINARY_DIR}/tarvixConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TarvixOnefile.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TarvixPayloadDigest.cmake"
  DESTINATION "${TARVIX_INSTALL_CMAKEDIR}")
