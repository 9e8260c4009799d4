/* The image codecs, compiled once and hidden inside the library. Only the
 * decoders for the accepted input formats are built, so no other format's
 * parser can be reached by a hostile file. */
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#include "stb_image.h"

/* decode_image quotes the failure reason of its own call. */
#if !defined(STBI_THREAD_LOCAL)
#error "the decoder's failure reason must be kept per thread"
#endif

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"
