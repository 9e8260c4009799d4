/* What the codec unit offers the rest of the library besides stb's own
 * API. C and C++. */
#ifndef VEERPIX_STB_CODECS_H
#define VEERPIX_STB_CODECS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A zlib stream of `data` from the PNG writer's compressor (its compress
 * hook where the build chose a library) at the writer's level, run inside
 * the writer's allocation guard: one malloc'd block, or NULL when memory
 * runs out. formats/deflate.h is the library's way to it. */
unsigned char *compress_guarded(const unsigned char *data, int length, int *compressed_length);

#if defined(VEERPIX_DEFLATE_LIBDEFLATE) || defined(VEERPIX_DEFLATE_ZLIB)
/* The writer's compress hook, in formats/deflate.cpp. */
unsigned char *library_deflate(unsigned char *data, int data_len, int *out_len, int quality);
#endif

/* Inflates a zlib stream into `out`, which holds `capacity` bytes: the
 * inflated length, or -1 when the stream is broken or does not fit. */
int inflate_zlib_stream(const unsigned char *stream, int length, unsigned char *out, int capacity);

#ifdef __cplusplus
}
#endif

#endif
