/* The image codecs, compiled once and hidden inside the library. Only the
 * decoders for the accepted input formats are built, so no other format's
 * parser can be reached by a hostile file. */
#include "common/large_block.h"
#include "formats/stb_codecs.h"

#include <string.h>

static void *veerpix_codec_grow(void *block, size_t old_size, size_t new_size)
{
    unsigned char *grown = (unsigned char *)realloc(block, new_size);
    if (grown && new_size > old_size) memset(grown + old_size, 0, new_size - old_size);
    return grown;
}

/* The decoder's planes and its RGBA result are the largest blocks of a
 * call; the result is released with free like any raster. Every block
 * starts zero-filled: where a hostile or odd file leaves part of a plane
 * or of the result unwritten (a component no scan covers, rows a decoder
 * skips), the picture shows zeros instead of whatever the process held
 * there before. Blocks that grow (the inflater's output, the PNG's
 * compressed data) get their new part zero-filled too. */
#define STBI_MALLOC(size) veerpix_calloc_large(1, size)
#define STBI_REALLOC(block, size) realloc(block, size)
#define STBI_REALLOC_SIZED(block, old_size, new_size) veerpix_codec_grow(block, old_size, new_size)
#define STBI_FREE(block) free(block)
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

/* PNG compression: the writer's own deflate is slow and its output large,
 * so where the build found libdeflate or zlib (formats/deflate.cpp), the
 * writer's compress hook hands the filtered rows to it. Either library
 * yields a standard zlib stream, so decoded pixels do not change. */
#if defined(VEERPIX_DEFLATE_LIBDEFLATE) || defined(VEERPIX_DEFLATE_ZLIB)
#define STBIW_ZLIB_COMPRESS library_deflate
#endif

/* The PNG writer's built-in deflate trusts its allocations: when a buffer
 * cannot grow it writes through the old pointer. While compress_guarded
 * runs, every block the compressor holds is recorded, and a failed
 * allocation jumps back there, which frees them all. Outside it (the
 * tests' and tools' own calls of the writer, the reference for the
 * library's own PNG and JPEG writers) the writer allocates as before. */
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

unsigned char *compress_guarded(const unsigned char *data, int length, int *compressed_length)
{
    unsigned char *volatile stream = NULL;
    png_writer.active = 1;
    if (setjmp(png_writer.escape) == 0) {
        /* The writer's compressor does not change its input. */
        stream = stbi_zlib_compress((unsigned char *)data, length, compressed_length,
                                    stbi_write_png_compression_level);
    }
    png_writer.active = 0;
    if (stream) png_writer_forget(stream);
    while (png_writer.count > 0) free(png_writer.blocks[--png_writer.count]);
    free(png_writer.blocks);
    png_writer.blocks = NULL;
    png_writer.capacity = 0;
    return stream;
}

int inflate_zlib_stream(const unsigned char *stream, int length, unsigned char *out, int capacity)
{
    /* A fixed buffer: the decoder's growing variant has no upper bound. */
    return stbi_zlib_decode_buffer((char *)out, capacity, (const char *)stream, length);
}
