# The decompressing half of zstd, built for the target from the source that
# scripts/setup fetched. The launcher only decodes, so nothing else is compiled.
set(TARVIX_ZSTD_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../.deps/zstd" CACHE PATH "zstd source tree (fetched by scripts/setup)")
if(NOT EXISTS "${TARVIX_ZSTD_SOURCE}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found at '${TARVIX_ZSTD_SOURCE}': run scripts/setup first")
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
# Their code, their warnings: only ours are errors.
target_compile_options(tarvix_zstd PRIVATE -O3 -w)
target_compile_definitions(tarvix_zstd PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM=1)
# Only tarvix's own code sees the headers; the installed package carries the library alone.
target_include_directories(tarvix_zstd SYSTEM PUBLIC "$<BUILD_INTERFACE:${zstd_lib}>")
set_target_properties(tarvix_zstd PROPERTIES EXPORT_NAME zstd)
