/* What the codec unit offers the rest of the library besides stb's own
 * API. C and C++. */
#ifndef VEERPIX_STB_CODECS_H
#define VEERPIX_STB_CODECS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The zlib stream of the PNG writer's filtered rows, from the same
 * compressor and level as stb_image_write's own PNG writer (its compress
 * hook), in one malloc'd block, or NULL when memory runs out. */
unsigned char *compress_png_rows(unsigned char *rows, int length, int *compressed_length);

#if defined(VEERPIX_DEFLATE_LIBDEFLATE) || defined(VEERPIX_DEFLATE_ZLIB)
/* The standard CRC-32 from the compressor's library, continuing `crc`. */
unsigned int library_crc32(unsigned int crc, const unsigned char *data, size_t length);
#endif

/* A zlib stream of `data`, through the PNG writer's compressor (libdeflate,
 * zlib or the built-in deflate): malloc'd, or NULL on failure. */
unsigned char *compress_zlib_stream(const unsigned char *data, int length, int *out_length);

/* Inflates a zlib stream into `out`, which holds `capacity` bytes: the
 * inflated length, or -1 when the stream is broken or does not fit. */
int inflate_zlib_stream(const unsigned char *stream, int length, unsigned char *out, int capacity);

#ifdef __cplusplus
}
#endif

#endif
