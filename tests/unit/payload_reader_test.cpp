#include <gtest/gtest.h>

#include <zstd.h>

// Until the scripted decoder exists, every call goes to zstd itself.
extern "C" size_t __real_ZSTD_decompressStream(ZSTD_DCtx* context, ZSTD_outBuffer* output, ZSTD_inBuffer* input);
extern "C" size_t __wrap_ZSTD_decompressStream(ZSTD_DCtx* context, ZSTD_outBuffer* output, ZSTD_inBuffer* input) {
    return __real_ZSTD_decompressStream(context, output, input);
}
