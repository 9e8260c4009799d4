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

#ifdef __cplusplus
}
#endif

#endif
