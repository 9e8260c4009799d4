/* The codec unit's zlib streams, for the metadata module (iCCP chunks).
 * C linkage: the unit is C. */
#ifndef VEERPIX_CODECS_H
#define VEERPIX_CODECS_H

#ifdef __cplusplus
extern "C" {
#endif

/* A zlib stream of `data`, through the PNG writer's compressor (libdeflate,
 * zlib or the built-in deflate): malloc'd, or NULL on failure. */
unsigned char *veerpix_zlib_compress(const unsigned char *data, int length, int *out_length);

/* Inflates a zlib stream into `out`, which holds `capacity` bytes: the
 * inflated length, or -1 when the stream is broken or does not fit. */
int veerpix_zlib_inflate(const unsigned char *stream, int length, unsigned char *out, int capacity);

#ifdef __cplusplus
}
#endif

#endif
