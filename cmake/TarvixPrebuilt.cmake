# The CMake package of the release archives, their cmake/tarvixConfig.cmake: with
# CMAKE_PREFIX_PATH naming the unpacked folder, find_package(tarvix) gives
#
# tarvix_add_onefile(<name>
#     LIBRARY <target or file> | PROGRAM <target or file>
#     [DIRECTORY <dir>]               every regular file below it travels along
#     [DEPENDS <targets>...]          targets that produce files in DIRECTORY
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b.c.d>]
#     [ICON <file.ico>] [LEVEL <n>]
#     [CACHED [CACHE_DIRECTORY <template>]]
#     [WINDOWED | CONSOLE])
#
# with the arguments of the function that builds the launcher from source. It makes
# <name>.exe in the current binary folder from the archive's stub, with the archive's
# packer, once LIBRARY or PROGRAM is built by whatever compiler the project uses, and again
# whenever a file below DIRECTORY changes, appears or goes. The target <name> builds it;
# its TARVIX_ONEFILE_EXECUTABLE property names the file. The packer refuses bad values in
# one line when the build runs it.

# DEPFILE with every generator, Visual Studio's and Xcode included.
if(CMAKE_VERSION VERSION_LESS 3.21)
  set(tarvix_FOUND FALSE)
  set(tarvix_NOT_FOUND_MESSAGE "tarvix's prebuilt package needs CMake 3.21 or later")
  return()
endif()

# The archive's packer, the one that runs where CMake runs whatever the project builds
# for, and its stub, both in the folder above this file.
function(_tarvix_archive_files packer_variable stub_variable)
  get_filename_component(folder "${CMAKE_CURRENT_FUNCTION_LIST_DIR}" DIRECTORY)
  if(CMAKE_HOST_WIN32)
    set(${packer_variable} "${folder}/tarvix-pack.exe" PARENT_SCOPE)
  else()
    set(${packer_variable} "${folder}/tarvix-pack" PARENT_SCOPE)
  endif()
  set(${stub_variable} "${folder}/tarvix-stub.exe" PARENT_SCOPE)
endfunction()

_tarvix_archive_files(_tarvix_packer _tarvix_stub)
foreach(_tarvix_file "${_tarvix_packer}" "${_tarvix_stub}")
  if(NOT EXISTS "${_tarvix_file}")
    if(CMAKE_HOST_WIN32)
      set(_tarvix_archive "windows-x64.zip")
    else()
      set(_tarvix_archive "linux-x86_64.tar.gz")
    endif()
    set(tarvix_FOUND FALSE)
    set(tarvix_NOT_FOUND_MESSAGE
      "there is no ${_tarvix_file}: on this machine unpack the release's tarvix-${tarvix_VERSION}-${_tarvix_archive}")
    return()
  endif()
endforeach()

# The packer's dependency file names absolute paths; Ninja takes it as the executable's.
cmake_policy(SET CMP0116 NEW)

function(tarvix_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CACHED;WINDOWED;CONSOLE"
    "LIBRARY;PROGRAM;DIRECTORY;COMPANY;PRODUCT;VERSION;ICON;LEVEL;CACHE_DIRECTORY" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): unknown arguments '${arg_UNPARSED_ARGUMENTS}'")
  endif()
  if(DEFINED arg_LIBRARY AND DEFINED arg_PROGRAM)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): give LIBRARY or PROGRAM, not both")
  elseif(arg_LIBRARY)
    set(first_option --library)
    set(first "${arg_LIBRARY}")
  elseif(arg_PROGRAM)
    set(first_option --program)
    set(first "${arg_PROGRAM}")
  else()
    message(FATAL_ERROR "tarvix_add_onefile(${name}): LIBRARY or PROGRAM is required")
  endif()
  if(DEFINED arg_CACHE_DIRECTORY AND NOT arg_CACHED)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): CACHE_DIRECTORY needs CACHED")
  endif()
  # The defaults of the other route, given explicitly so that an empty text stays one.
  if(NOT DEFINED arg_COMPANY)
    set(arg_COMPANY "tarvix user")
  endif()
  if(NOT DEFINED arg_PRODUCT)
    set(arg_PRODUCT "${name}")
  endif()
  if(NOT DEFINED arg_VERSION)
    set(arg_VERSION "1.0.0.0")
  endif()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(depfile "${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile.d")
  _tarvix_archive_files(packer stub)
  set(depends "${packer}" "${stub}" ${arg_DEPENDS})
  if(TARGET ${first})
    set(first_file "$<TARGET_FILE:${first}>")
    list(APPEND depends ${first})
  else()
    get_filename_component(first_file "${first}" ABSOLUTE)
    list(APPEND depends "${first_file}")
  endif()
  set(options "")
  if(arg_DIRECTORY)
    get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE)
    list(APPEND options "--dir=${directory}")
  endif()
  if(arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE)
    list(APPEND options "--icon=${icon}")
    list(APPEND depends "${icon}")
  endif()
  if(arg_LEVEL)
    list(APPEND options "--level=${arg_LEVEL}")
  endif()
  # The packer refuses the two together; without either, a program's own subsystem decides.
  if(arg_WINDOWED)
    list(APPEND options --windowed)
  endif()
  if(arg_CONSOLE)
    list(APPEND options --console)
  endif()
  if(arg_CACHED)
    list(APPEND options --cached)
  endif()
  if(DEFINED arg_CACHE_DIRECTORY)
    # Last: a template ending in a backslash would escape a list separator after it.
    list(APPEND options "--cache-directory=${arg_CACHE_DIRECTORY}")
  endif()
  # The packer lists every file and folder it read, so a change below DIRECTORY packs
  # again; which targets must write there first, DEPENDS says.
  add_custom_command(OUTPUT "${output}"
    COMMAND "${packer}" exe "--stub=${stub}" "${first_option}=${first_file}" ${options}
      "--company=${arg_COMPANY}" "--product=${arg_PRODUCT}" "--version=${arg_VERSION}"
      "--depfile=${depfile}" "--output=${output}"
    DEPENDS ${depends}
    DEPFILE "${depfile}"
    COMMENT "Packing ${name}.exe"
    USES_TERMINAL  # where the build runs on a terminal, the packer's progress line shows
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  set_target_properties(${name} PROPERTIES TARVIX_ONEFILE_EXECUTABLE "${output}")
endfunction()
