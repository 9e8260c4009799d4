/* The same decoders as the library's codec unit, with blocks that are not
 * zero-filled (malloc with the same large-block hint): the decode
 * benchmark's reference for what the zero-filling costs. Static, so
 * nothing clashes with the library's unit. */
#include "common/large_block.h"

#define STBI_MALLOC(size) veerpix_malloc_large(size)
#define STBI_REALLOC(block, size) realloc(block, size)
#define STBI_FREE(block) free(block)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_STDIO
#include "stb_image.h"

#include "plain_decoder.h"

unsigned char *plain_decoder_load(const unsigned char *bytes, int length, int *width, int *height)
{
    int channels = 0;
    return stbi_load_from_memory(bytes, length, width, height, &channels, 4);
}
