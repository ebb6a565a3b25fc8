# tarvix_add_onefile(<name>
#     LIBRARY <target or file>        the application library, exporting run_code, or
#     PROGRAM <target or file>        the application program, a 64-bit .exe, run as the child
#     [DIRECTORY <dir>]               every regular file below it travels along
#     [DEPENDS <targets>...]          targets that produce files in DIRECTORY
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b.c.d>]
#     [ICON <file.ico>] [LEVEL <n>]
#     [CACHED [CACHE_DIRECTORY <template>]]
#     [WINDOWED | CONSOLE])
# makes the one-file executable <name>.exe. COMPANY, PRODUCT and VERSION go into its
# version record and are what {COMPANY}, {PRODUCT} and {VERSION} expand to.
#
# By default every start extracts the files into a fresh temporary directory and deletes
# it at the end. CACHED extracts them once per user into a cache directory, by default
# {CACHE_DIR}\{COMPANY}\{PRODUCT}\{VERSION}, followed by a digest of the payload, and
# runs later starts from there (a library in one process, a program as its child);
# nothing is deleted at exit.
#
# WINDOWED makes an executable of the windowed kind: no console window opens for it, and
# its errors are shown in a message box as well. CONSOLE a console one. Without either, a
# PROGRAM's own subsystem decides (a target's WIN32_EXECUTABLE, a file's header), and a
# LIBRARY makes a console one.
#
# Everything it needs comes from the targets that tarvix defines, in its own build
# (add_subdirectory) or in its installed package (find_package): tarvix::launcher, which
# also names the resource folder, tarvix::entry and the host packer tarvix::pack.

# The packer's dependency file names absolute paths; Ninja takes it as the payload's.
if(POLICY CMP0116)
  cmake_policy(SET CMP0116 NEW)
endif()

function(tarvix_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CACHED;WINDOWED;CONSOLE" "LIBRARY;PROGRAM;DIRECTORY;COMPANY;PRODUCT;VERSION;ICON;LEVEL;CACHE_DIRECTORY"
    "DEPENDS")
  if(arg_LIBRARY AND arg_PROGRAM)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): LIBRARY and PROGRAM exclude each other")
  elseif(arg_PROGRAM)
    set(first_entry "${arg_PROGRAM}")
    set(kind_option --program)
    set(kind_value 1)  # payload_kind_program
  elseif(arg_LIBRARY)
    set(first_entry "${arg_LIBRARY}")
    set(kind_option --library)
    set(kind_value 0)  # payload_kind_library
  else()
    message(FATAL_ERROR "tarvix_add_onefile(${name}): LIBRARY or PROGRAM is required")
  endif()
  foreach(needed tarvix::launcher tarvix::entry tarvix::pack)
    if(NOT TARGET ${needed})
      message(FATAL_ERROR "tarvix_add_onefile(${name}): no target ${needed}; bring tarvix in first with "
        "find_package(tarvix CONFIG REQUIRED) or add_subdirectory(<tarvix source>)")
    endif()
  endforeach()
  if(arg_WINDOWED AND arg_CONSOLE)
    message(FATAL_ERROR "tarvix_add_onefile(${name}): WINDOWED and CONSOLE exclude each other")
  endif()
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
    # Expanded as the launcher would, a stand-in folder for each placeholder that names one:
    # a relative result would put a cache in every working directory.
    string(REGEX REPLACE "{(TEMP|HOME|CACHE_DIR|PROGRAM|PROGRAM_BASE|PROGRAM_DIR)}" "C:/folder" sample
      "${upper_template}")
    string(REGEX REPLACE "{(FILE_|PRODUCT_)?VERSION}" "${arg_VERSION}" sample "${sample}")
    string(REPLACE "{COMPANY}" "${arg_COMPANY}" sample "${sample}")
    string(REPLACE "{PRODUCT}" "${arg_PRODUCT}" sample "${sample}")
    if(NOT sample MATCHES [=[^([A-Za-z]:[\/]|[\/][\/][^\/]+[\/][^\/]+([\/]|$))]=])
      message(FATAL_ERROR "tarvix_add_onefile(${name}): CACHE_DIRECTORY '${cache_template}' is not an absolute "
        "path once expanded; begin it with a folder placeholder such as {CACHE_DIR}, a drive (C:\\) or a share "
        "(\\\\server\\share\\)")
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
  # What is built must not lie in what is packed: the next build would carry it along.
  set(directory "")
  if(arg_DIRECTORY)
    get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE)
    cmake_path(IS_PREFIX directory "${work}" NORMALIZE inside)
    if(inside)
      message(FATAL_ERROR "tarvix_add_onefile(${name}): the payload is packed in '${work}', inside DIRECTORY "
        "'${directory}'; stage the files in a folder of their own")
    endif()
  endif()
  set(payload "${work}/payload.bin")
  set(digest "${work}/payload_digest.h")
  set(depfile "${work}/payload.d")
  set(depends tarvix::pack ${arg_DEPENDS})
  if(TARGET ${first_entry})
    set(library "$<TARGET_FILE:${first_entry}>")
    list(APPEND depends ${first_entry})
  else()
    get_filename_component(library "${first_entry}" ABSOLUTE)
    list(APPEND depends "${library}")
  endif()
  # The packer lists every file and folder it read, so a file changed, added or removed
  # below DIRECTORY packs again; what it cannot know is which targets still have to write.
  set(pack_args build ${kind_option} "${library}" --depfile "${depfile}")
  if(arg_DIRECTORY)
    list(APPEND pack_args --dir "${directory}")
    # Once every target is known: those that write into DIRECTORY must be waited for.
    cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL
      _tarvix_warn_unnamed_writers [[${name}]] [[${directory}]] [[${first_entry}]] [[${arg_DEPENDS}]])")
  endif()
  get_filename_component(icon_path "${arg_ICON}" ABSOLUTE)
  # Once the executable's output folder is settled: it must not be one of the inputs nor
  # lie in DIRECTORY.
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL
    _tarvix_check_executable_output [[${name}]] [[${directory}]] [[${library}]] [[${icon_path}]])")
  if(arg_LEVEL)
    list(APPEND pack_args --level ${arg_LEVEL})
  endif()
  add_custom_command(OUTPUT "${payload}" "${digest}"
    COMMAND "$<TARGET_FILE:tarvix::pack>" ${pack_args} -o "${payload}"
    COMMAND "${CMAKE_COMMAND}" -D "payload=${payload}" -D "output=${digest}"
      -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TarvixPayloadDigest.cmake"
    DEPENDS ${depends}
    DEPFILE "${depfile}"
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
extern "C" const unsigned tarvix_linked_payload_kind = @kind_value@;
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
  # No time stamp in the headers: the same inputs give the same executable.
  target_link_options(${name} PRIVATE -municode -static -Wl,--file-alignment=4096 -Wl,--no-insert-timestamp)
  # What nothing calls stays out; the launcher's version marker, which only the packer reads, stays in.
  target_link_options(${name} PRIVATE -Wl,--gc-sections -Wl,--undefined=tarvix_launcher_version)
  # Released executables carry no symbols or DWARF sections (the runtime's own libraries
  # bring them): they would double the launcher's size. Debug builds keep them.
  target_link_options(${name} PRIVATE $<$<NOT:$<CONFIG:Debug,RelWithDebInfo>>:-s>)
  set(windowed "$<BOOL:${arg_WINDOWED}>")
  if(arg_PROGRAM AND NOT arg_WINDOWED AND NOT arg_CONSOLE)
    if(TARGET "${arg_PROGRAM}")
      set(windowed "$<BOOL:$<TARGET_PROPERTY:${arg_PROGRAM},WIN32_EXECUTABLE>>")
    else()
      _tarvix_image_is_windowed("${arg_PROGRAM}" windowed)
    endif()
  endif()
  # Only the header's subsystem differs, as where tarvix-pack sets it in the stub: the
  # entry stays the console one, whose runtime reports nothing in boxes of its own.
  target_link_options(${name} PRIVATE "$<${windowed}:-Wl,--subsystem,windows>" "$<${windowed}:-Wl,--entry,mainCRTStartup>")
  set_source_files_properties("${work}/resources.rc" PROPERTIES OBJECT_DEPENDS "${icon};${manifest}")
endfunction()

# Sets result to 1 when the image file names the GUI subsystem in its header, else 0 (also
# for a file not built yet, or no image at all).
function(_tarvix_image_is_windowed file result)
  set(${result} 0 PARENT_SCOPE)
  if(NOT EXISTS "${file}")
    return()
  endif()
  file(READ "${file}" head LIMIT 4096 HEX)
  string(LENGTH "${head}" length)
  if(length LESS 128 OR NOT head MATCHES "^4d5a")
    return()
  endif()
  string(SUBSTRING "${head}" 120 8 at)  # e_lfanew, little-endian
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" at "${at}")
  math(EXPR at "(0x${at} + 92) * 2")  # the optional header's Subsystem, 24 + 68 bytes in
  math(EXPR needed "${at} + 4")
  if(length LESS needed)
    return()
  endif()
  string(SUBSTRING "${head}" ${at} 4 subsystem)
  if(subsystem STREQUAL "0200")
    set(${result} 1 PARENT_SCOPE)
  endif()
endfunction()

# Warns about each target of the project whose output folder lies in directory but that
# is neither the library nor named in DEPENDS: a build may pack before it has written.
function(_tarvix_warn_unnamed_writers name directory library depends)
  set(folders "${CMAKE_SOURCE_DIR}")
  while(folders)
    list(POP_FRONT folders folder)
    get_property(subfolders DIRECTORY "${folder}" PROPERTY SUBDIRECTORIES)
    get_property(targets DIRECTORY "${folder}" PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND folders ${subfolders})
    list(REMOVE_ITEM targets ${library} ${depends})
    foreach(target IN LISTS targets)
      get_target_property(binary_dir ${target} BINARY_DIR)
      foreach(property RUNTIME_OUTPUT_DIRECTORY LIBRARY_OUTPUT_DIRECTORY)
        get_target_property(output ${target} ${property})
        if(output AND NOT output MATCHES "[$]<")
          cmake_path(ABSOLUTE_PATH output BASE_DIRECTORY "${binary_dir}" NORMALIZE)
          cmake_path(IS_PREFIX directory "${output}" NORMALIZE inside)
          if(inside)
            message(WARNING "tarvix_add_onefile(${name}): target '${target}' writes into DIRECTORY "
              "'${directory}' but is not named in DEPENDS: a build may pack before it has written, leaving its "
              "files out of ${name}.exe")
            break()
          endif()
        endif()
      endforeach()
    endforeach()
  endwhile()
endfunction()

# Fails when the executable <name> would be written over its library or icon, or into
# directory, where the next build would pack it.
function(_tarvix_check_executable_output name directory library icon)
  get_target_property(folder ${name} RUNTIME_OUTPUT_DIRECTORY)
  if(folder MATCHES "[$]<")
    return()  # known only when building: not checked here
  endif()
  get_target_property(binary_dir ${name} BINARY_DIR)
  if(NOT folder)
    set(folder "${binary_dir}")
  endif()
  get_target_property(base ${name} OUTPUT_NAME)
  if(NOT base)
    set(base "${name}")
  endif()
  cmake_path(ABSOLUTE_PATH folder BASE_DIRECTORY "${binary_dir}" NORMALIZE OUTPUT_VARIABLE folder)
  set(executable "${folder}/${base}.exe")
  if(directory)
    cmake_path(IS_PREFIX directory "${executable}" NORMALIZE inside)
    if(inside)
      message(FATAL_ERROR "tarvix_add_onefile(${name}): ${base}.exe would be written into DIRECTORY "
        "'${directory}' and packed into the next build; give it another RUNTIME_OUTPUT_DIRECTORY")
    endif()
  endif()
  foreach(input IN ITEMS "${library}" "${icon}")
    if(NOT input MATCHES "[$]<")  # a target's file is never the executable's
      file(REAL_PATH "${input}" input_path)
      file(REAL_PATH "${executable}" output_path)
      if(input_path STREQUAL output_path)
        message(FATAL_ERROR "tarvix_add_onefile(${name}): ${base}.exe would be written over its input '${input}'")
      endif()
    endif()
  endforeach()
endfunction()
