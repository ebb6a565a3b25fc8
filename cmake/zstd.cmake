# The decompressing half of zstd, built for the target from the source that
# scripts/setup fetched. The launcher only decodes, so nothing else is compiled.
# A tree fetched by FetchContent or copied without .deps names one with TARVIX_ZSTD_SOURCE.
set(TARVIX_ZSTD_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../.deps/zstd" CACHE PATH
  "zstd source tree, the folder holding lib/zstd.h (scripts/setup fetches one into .deps/zstd)")
if(NOT EXISTS "${TARVIX_ZSTD_SOURCE}/lib/zstd.h")
  cmake_path(ABSOLUTE_PATH TARVIX_ZSTD_SOURCE NORMALIZE OUTPUT_VARIABLE zstd_missing)
  cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE OUTPUT_VARIABLE tarvix_cmake_dir)
  cmake_path(GET tarvix_cmake_dir PARENT_PATH tarvix_root)
  message(FATAL_ERROR "zstd source not found at '${zstd_missing}' (no lib/zstd.h): run "
    "'${tarvix_root}/scripts/setup' once, or pass -DTARVIX_ZSTD_SOURCE=<zstd source tree> "
    "(zstd 1.5, the folder holding lib/zstd.h, such as the .deps/zstd of a tarvix clone where scripts/setup ran)")
endif()

set(zstd_lib "${TARVIX_ZSTD_SOURCE}/lib")
add_library(tarvix_zstd STATIC
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c)
# Chosen for the launcher's size against decoding speed (bench/README.md, "A lean
# launcher"; bench/decoder_options.py measures them): -O2 instead of -O3 and only the
# single-symbol Huffman decoder (either reads every stream) take 60 KB off the launcher
# and decode as fast. The BMI2 variants, chosen at run time, stay: without them decoding
# is slower on the processors that have BMI2.
set(TARVIX_ZSTD_OPTIONS "-O2;-DHUF_FORCE_DECOMPRESS_X1" CACHE STRING "Compiler options of the zstd decoder")
mark_as_advanced(TARVIX_ZSTD_OPTIONS)
# Their code, their warnings: only ours are errors.
target_compile_options(tarvix_zstd PRIVATE ${TARVIX_ZSTD_OPTIONS} -w -ffunction-sections)
target_compile_definitions(tarvix_zstd PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM=1)
# Only tarvix's own code sees the headers; the installed package carries the library alone.
target_include_directories(tarvix_zstd SYSTEM PUBLIC "$<BUILD_INTERFACE:${zstd_lib}>")
set_target_properties(tarvix_zstd PROPERTIES EXPORT_NAME zstd)
