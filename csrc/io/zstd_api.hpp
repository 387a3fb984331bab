// The part of libzstd's API that the zstd decompressor calls: the streaming decompression functions,
// stable since zstd 1.3 (2017) and unchanged since.
//
// Why our own declarations: Debian and Ubuntu install the runtime library libzstd.so.1 everywhere (apt
// itself depends on it), but its header only with libzstd-dev, which a fresh machine lacks. So that
// `pip install .` works there, the build links libzstd.so.1 directly and uses the declarations below.
// When the build finds zstd.h (TOVAK_HAVE_ZSTD_H), that header is included as well: the compiler then
// checks every function declaration below against it, and the static_asserts check the two structures.
//
// Thread rule: as libzstd's: one decompression context per thread at a time.
#pragma once

#include <cstddef>

#if TOVAK_HAVE_ZSTD_H
#include <zstd.h>
#else
extern "C" {
typedef struct ZSTD_DCtx_s ZSTD_DCtx;
typedef struct ZSTD_inBuffer_s {
    const void* src;
    size_t size;
    size_t pos;
} ZSTD_inBuffer;
typedef struct ZSTD_outBuffer_s {
    void* dst;
    size_t size;
    size_t pos;
} ZSTD_outBuffer;
typedef ZSTD_DCtx ZSTD_DStream;
}
#endif

extern "C" {
ZSTD_DCtx* ZSTD_createDCtx(void);
size_t ZSTD_freeDCtx(ZSTD_DCtx* dctx);
size_t ZSTD_decompressStream(ZSTD_DStream* zds, ZSTD_outBuffer* output, ZSTD_inBuffer* input);
size_t ZSTD_DStreamInSize(void);
unsigned ZSTD_isError(size_t code);
const char* ZSTD_getErrorName(size_t code);
}

namespace tovak::io::zstd_layout {
// The layout the declarations above promise, checked against zstd.h where it is present.
struct Buffer {
    const void* data;
    size_t size;
    size_t pos;
};
static_assert(sizeof(ZSTD_inBuffer) == sizeof(Buffer) && offsetof(ZSTD_inBuffer, src) == offsetof(Buffer, data) &&
              offsetof(ZSTD_inBuffer, size) == offsetof(Buffer, size) &&
              offsetof(ZSTD_inBuffer, pos) == offsetof(Buffer, pos));
static_assert(sizeof(ZSTD_outBuffer) == sizeof(Buffer) && offsetof(ZSTD_outBuffer, dst) == offsetof(Buffer, data) &&
              offsetof(ZSTD_outBuffer, size) == offsetof(Buffer, size) &&
              offsetof(ZSTD_outBuffer, pos) == offsetof(Buffer, pos));
}  // namespace tovak::io::zstd_layout
