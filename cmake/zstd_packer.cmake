# tarvix_add_zstd_packer_library(<target> <zstd source>) builds all of zstd that the
# packers use (multithreaded compression, decoding for list/verify/extract) as a static
# library from the given source. The Linux and the Windows packer are both built from
# the source that scripts/setup fetched, so one input gives one payload on both: zstd's
# output may change between its versions, not between machines.
function(tarvix_add_zstd_packer_library target source)
  set(lib "${source}/lib")
  file(GLOB sources "${lib}/common/*.c" "${lib}/compress/*.c" "${lib}/decompress/*.c")
  add_library(${target} STATIC ${sources})
  # Their code, their warnings: only ours are errors.
  target_compile_options(${target} PRIVATE -w)
  # The assembly decoder exists for some hosts only; C decodes the same on every one.
  target_compile_definitions(${target} PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM=1 ZSTD_MULTITHREAD)
  target_include_directories(${target} SYSTEM PUBLIC "${lib}")
  if(NOT WIN32)
    # On Windows zstd uses the system's threads directly.
    find_package(Threads REQUIRED)
    target_link_libraries(${target} PRIVATE Threads::Threads)
  endif()
endfunction()
