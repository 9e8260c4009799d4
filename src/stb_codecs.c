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

/* The PNG writer trusts its allocations: when a buffer of its built-in
 * deflate cannot grow it writes through the old pointer, and when its last
 * allocation fails it drops the compressed stream. While
 * write_png_to_memory runs, every block the writer holds is recorded, and a
 * failed allocation jumps back there, which frees them all. Outside it (the
 * tests' and tools' own calls) the writer allocates as before. */
#include <setjmp.h>
#include <stdlib.h>

static STBI_THREAD_LOCAL struct {
    int active;
    jmp_buf escape;
    void **blocks;
    size_t count;
    size_t capacity;
} png_writer;

static void png_writer_fail(void) { longjmp(png_writer.escape, 1); }

static void png_writer_hold(void *block)
{
    if (png_writer.count == png_writer.capacity) {
        size_t capacity = png_writer.capacity ? png_writer.capacity * 2 : 64;
        void **grown = (void **)realloc(png_writer.blocks, capacity * sizeof *grown);
        if (!grown) {
            free(block);
            png_writer_fail();
        }
        png_writer.blocks = grown;
        png_writer.capacity = capacity;
    }
    png_writer.blocks[png_writer.count++] = block;
}

/* The newest blocks are the likeliest to go first. */
static void png_writer_forget(void *block)
{
    size_t i = png_writer.count;
    while (i > 0) {
        if (png_writer.blocks[--i] == block) {
            png_writer.blocks[i] = png_writer.blocks[--png_writer.count];
            return;
        }
    }
}

static void *png_writer_realloc(void *block, size_t size)
{
    void *moved = realloc(block, size);
    if (!png_writer.active) return moved;
    if (!moved) png_writer_fail(); /* the old block is still held */
    if (moved != block) {
        if (block) png_writer_forget(block);
        png_writer_hold(moved);
    }
    return moved;
}

static void png_writer_free(void *block)
{
    if (png_writer.active && block) png_writer_forget(block);
    free(block);
}

#define STBIW_MALLOC(size) png_writer_realloc(NULL, size)
#define STBIW_REALLOC(block, size) png_writer_realloc(block, size)
#define STBIW_FREE(block) png_writer_free(block)

#if defined(STBIW_ZLIB_COMPRESS)
/* The compress hook allocates its stream itself; the writer owns it after. */
static unsigned char *png_writer_compress(unsigned char *data, int data_len, int *out_len, int quality)
{
    unsigned char *stream = STBIW_ZLIB_COMPRESS(data, data_len, out_len, quality);
    if (stream && png_writer.active) png_writer_hold(stream);
    return stream;
}
#undef STBIW_ZLIB_COMPRESS
#define STBIW_ZLIB_COMPRESS png_writer_compress
#endif

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"

/* The whole PNG of an RGBA raster in one malloc'd block, or NULL. */
unsigned char *write_png_to_memory(const unsigned char *pixels, int width, int height, int *length)
{
    unsigned char *volatile png = NULL;
    png_writer.active = 1;
    if (setjmp(png_writer.escape) == 0) {
        png = stbi_write_png_to_mem(pixels, width * 4, width, height, 4, length);
    }
    png_writer.active = 0;
    if (png) png_writer_forget(png);
    while (png_writer.count > 0) free(png_writer.blocks[--png_writer.count]);
    free(png_writer.blocks);
    png_writer.blocks = NULL;
    png_writer.capacity = 0;
    return png;
}
