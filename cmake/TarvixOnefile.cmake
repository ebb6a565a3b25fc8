# tarvix_add_onefile(<name>
#     LIBRARY <target or file>        the application library, exporting run_code
#     [DIRECTORY <dir>]               every regular file below it travels along
#     [DEPENDS <targets>...]          targets that produce files in DIRECTORY
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b.c.d>]
#     [ICON <file.ico>] [LEVEL <n>]
#     [CACHED [CACHE_DIRECTORY <template>]])
# makes the one-file executable <name>.exe. COMPANY, PRODUCT and VERSION go into its
# version record and are what {COMPANY}, {PRODUCT} and {VERSION} expand to.
#
# By default every start extracts the files into a fresh temporary directory and deletes
# it at the end. CACHED extracts them once per user into a cache directory, by default
# {CACHE_DIR}\{COMPANY}\{PRODUCT}\{VERSION}, followed by a digest of the payload, and
# runs later starts from there in one process; nothing is deleted at exit.
#
# Everything it needs comes from the targets that tarvix defines, in its own build
# (add_subdirectory) or in its installed package (find_package): tarvix::launcher, which
# also names the resource folder, tarvix::entry and the host packer tarvix::pack.
function(tarvix_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CACHED" "LIBRARY;DIRECTORY;COMPANY;PRODUCT;VERSION;ICON;LEVEL;CACHE_DIRECTORY"
    "DEPENDS")
  if(NOT arg_LIBRARY)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): LIBRARY is required")
  endif()
  foreach(needed tarvix::launcher tarvix::entry tarvix::pack)
    if(NOT TARGET ${needed})
      message(FATAL_ERROR "tarvix_add_onefile(${name}): no target ${needed}; bring tarvix in first with "
        "find_package(tarvix CONFIG REQUIRED) or add_subdirectory(<tarvix source>)")
    endif()
  endforeach()
  get_target_property(resources tarvix::launcher TARVIX_RESOURCE_DIR)
  if(NOT DEFINED arg_COMPANY)
    set(arg_COMPANY "tarvix user")
  endif()
  if(NOT DEFINED arg_PRODUCT)
    set(arg_PRODUCT "${name}")
  endif()
  if(NOT DEFINED arg_VERSION)
    set(arg_VERSION "1.0.0.0")
  endif()
  if(NOT arg_ICON)
    set(arg_ICON "${resources}/default.ico")
  endif()
  if(NOT arg_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "tarvix_add_onefile(${name}): VERSION '${arg_VERSION}' is not of the form a.b.c.d")
  endif()

  # A cache directory's name must be the same at every start: no per-run placeholders.
  set(cache_template "")
  if(DEFINED arg_CACHE_DIRECTORY AND NOT arg_CACHED)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): CACHE_DIRECTORY needs CACHED")
  endif()
  if(arg_CACHED)
    set(cache_template [=[{CACHE_DIR}\{COMPANY}\{PRODUCT}\{VERSION}]=])
    if(DEFINED arg_CACHE_DIRECTORY)
      set(cache_template "${arg_CACHE_DIRECTORY}")
    endif()
    string(TOUPPER "${cache_template}" upper_template)
    if(upper_template MATCHES "{(PID|TIME_US|RANDOM|TIME)}")
      message(FATAL_ERROR "tarvix_add_onefile(${name}): CACHE_DIRECTORY '${cache_template}' holds "
        "{${CMAKE_MATCH_1}}, which differs from start to start")
    endif()
    if(cache_template STREQUAL "")
      message(FATAL_ERROR "tarvix_add_onefile(${name}): CACHE_DIRECTORY is empty")
    endif()
    foreach(field COMPANY PRODUCT)
      if(upper_template MATCHES "{${field}}" AND arg_${field} MATCHES "[<>:\"/\\|?*]|[. ]$|^$")
        message(FATAL_ERROR "tarvix_add_onefile(${name}): ${field} '${arg_${field}}' cannot name a folder of "
          "the cache directory; give CACHED a CACHE_DIRECTORY without {${field}}")
      endif()
    endforeach()
  endif()
  string(REPLACE "\\" "\\\\" cache_c "${cache_template}")
  string(REPLACE "\"" "\\\"" cache_c "${cache_c}")

  set(work "${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile")
  set(payload "${work}/payload.bin")
  set(digest "${work}/payload_digest.h")
  set(depends tarvix::pack ${arg_DEPENDS})
  if(TARGET ${arg_LIBRARY})
    set(library "$<TARGET_FILE:${arg_LIBRARY}>")
    list(APPEND depends ${arg_LIBRARY})
  else()
    get_filename_component(library "${arg_LIBRARY}" ABSOLUTE)
    list(APPEND depends "${library}")
  endif()
  set(pack_args build --library "${library}")
  if(arg_DIRECTORY)
    get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE)
    list(APPEND pack_args --dir "${directory}")
    file(GLOB_RECURSE directory_files CONFIGURE_DEPENDS "${directory}/*")
    list(APPEND depends ${directory_files})
  endif()
  if(arg_LEVEL)
    list(APPEND pack_args --level ${arg_LEVEL})
  endif()
  add_custom_command(OUTPUT "${payload}" "${digest}"
    COMMAND "$<TARGET_FILE:tarvix::pack>" ${pack_args} -o "${payload}"
    COMMAND "${CMAKE_COMMAND}" -D "payload=${payload}" -D "output=${digest}"
      -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TarvixPayloadDigest.cmake"
    DEPENDS ${depends}
    COMMENT "Packing the payload of ${name}"
    USES_TERMINAL  # where the build runs on a terminal, the packer's progress line shows
    VERBATIM)

  # The same text, UTF-8 here, reaches the version record and {COMPANY}/{PRODUCT}: each
  # literal escapes backslashes and quotes in its own syntax.
  foreach(field COMPANY PRODUCT)
    if(arg_${field} MATCHES "[\r\n]")
      message(FATAL_ERROR "tarvix_add_onefile(${name}): ${field} must be one line of text")
    endif()
  endforeach()
  string(REPLACE "\\" "\\\\" company_c "${arg_COMPANY}")
  string(REPLACE "\"" "\\\"" company_c "${company_c}")
  string(REPLACE "\\" "\\\\" product_c "${arg_PRODUCT}")
  string(REPLACE "\"" "\\\"" product_c "${product_c}")
  string(REPLACE "\\" "\\\\" company_rc "${arg_COMPANY}")
  string(REPLACE "\"" "\"\"" company_rc "${company_rc}")
  string(REPLACE "\\" "\\\\" product_rc "${arg_PRODUCT}")
  string(REPLACE "\"" "\"\"" product_rc "${product_rc}")

  # The payload is linked as one constant array through the assembler's .incbin: no
  # generated C array, so a payload of hundreds of megabytes links in seconds. The
  # launcher finds it and the settings through these symbols (payload/linked_payload.cpp).
  set(payload_source "${work}/payload_data.cpp")
  file(CONFIGURE OUTPUT "${payload_source}" CONTENT [=[
// Generated for @name@: the attached payload and the build-time constants.
#include "payload_digest.h"
extern "C" const wchar_t tarvix_linked_company_name[] = L"@company_c@";
extern "C" const wchar_t tarvix_linked_product_name[] = L"@product_c@";
extern "C" const wchar_t tarvix_linked_version[] = L"@arg_VERSION@";
extern "C" const wchar_t tarvix_linked_cache_template[] = L"@cache_c@";
extern "C" const wchar_t tarvix_linked_payload_digest[] = TARVIX_PAYLOAD_DIGEST;
__asm__(
    ".section .rdata,\"dr\"\n"
    ".balign 64\n"
    ".globl tarvix_linked_payload\n"
    "tarvix_linked_payload:\n"
    ".incbin \"@payload@\"\n"
    "tarvix_linked_payload_end:\n"
    ".balign 8\n"
    ".globl tarvix_linked_payload_size\n"
    "tarvix_linked_payload_size:\n"
    ".quad tarvix_linked_payload_end - tarvix_linked_payload\n"
    ".text\n");
]=] @ONLY)
  set_source_files_properties("${payload_source}" PROPERTIES OBJECT_DEPENDS "${payload};${digest}"
    INCLUDE_DIRECTORIES "${work}")

  string(REPLACE "." ";" version_parts "${arg_VERSION}")
  list(LENGTH version_parts version_count)
  while(version_count LESS 4)
    list(APPEND version_parts 0)
    list(LENGTH version_parts version_count)
  endwhile()
  string(REPLACE ";" "," version_numbers "${version_parts}")
  set(icon "${arg_ICON}")
  set(manifest "${resources}/launcher.manifest")
  set(name_rc "${name}")
  configure_file("${resources}/launcher.rc.in" "${work}/resources.rc" @ONLY)

  add_executable(${name} "${payload_source}" "${work}/resources.rc" $<TARGET_OBJECTS:tarvix::entry>)
  add_dependencies(${name} tarvix::pack)
  target_link_libraries(${name} PRIVATE tarvix::launcher)
  target_link_options(${name} PRIVATE -municode -static -Wl,--file-alignment=4096)
  # Released executables carry no symbols or DWARF sections (the runtime's own libraries
  # bring them): they would double the launcher's size. Debug builds keep them.
  target_link_options(${name} PRIVATE $<$<NOT:$<CONFIG:Debug,RelWithDebInfo>>:-s>)
  set_source_files_properties("${work}/resources.rc" PROPERTIES OBJECT_DEPENDS "${icon};${manifest}")
endfunction()
