/* stb's decoders without zero-filled blocks (bench/plain_decoder.c). C and C++. */
#ifndef VEERPIX_PLAIN_DECODER_H
#define VEERPIX_PLAIN_DECODER_H

#ifdef __cplusplus
extern "C" {
#endif

/* 8-bit RGBA, malloc'd, or NULL. */
unsigned char *plain_decoder_load(const unsigned char *bytes, int length, int *width, int *height);

#ifdef __cplusplus
}
#endif

#endif
