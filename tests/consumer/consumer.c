/* A user's program: turns a two-pixel BMP a quarter turn through the
 * installed library and checks the pixels it gets back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <veerpix.h>

static long little_endian(const unsigned char *bytes, int count) {
    unsigned long value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    if (count == 4 && (value & 0x80000000UL)) return -(long)(0xFFFFFFFFUL - value) - 1;
    return (long)value;
}

/* Reads the BGR(A) pixel at (x, y), counted from the top left, of an
 * uncompressed 24- or 32-bit BMP held in `file`. */
static int bmp_pixel(const unsigned char *file, long length, long x, long y, unsigned char rgb[3]) {
    long offset = little_endian(file + 10, 4);
    long width = little_endian(file + 18, 4);
    long height = little_endian(file + 22, 4);
    long bytes_per_pixel = little_endian(file + 28, 2) / 8;
    long stride = (width * bytes_per_pixel + 3) / 4 * 4;
    long row = height > 0 ? height - 1 - y : y; /* positive height: bottom row first */
    long at = offset + row * stride + x * bytes_per_pixel;
    if (at < 0 || at + 3 > length) return 0;
    rgb[0] = file[at + 2];
    rgb[1] = file[at + 1];
    rgb[2] = file[at];
    return 1;
}

int main(int argc, char **argv) {
    /* Two pixels side by side: red on the left, blue on the right. */
    static const unsigned char two_pixels[62] = {
        'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0,
        1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0, 0};
    char input[4096], output[4096];
    unsigned char result[256], top[3], bottom[3];
    long length;
    FILE *file;
    if (argc < 2) return 2;
    snprintf(input, sizeof input, "%s/consumer_in.bmp", argv[1]);
    snprintf(output, sizeof output, "%s/consumer_out.bmp", argv[1]);
    file = fopen(input, "wb");
    if (!file || fwrite(two_pixels, 1, sizeof two_pixels, file) != sizeof two_pixels || fclose(file) != 0) {
        fprintf(stderr, "consumer: cannot write %s\n", input);
        return 2;
    }

    if (!veerpix_fixed(input, output, 90)) {
        fprintf(stderr, "consumer: veerpix_fixed failed: %s\n", veerpix_last_error());
        return 1;
    }
    file = fopen(output, "rb");
    length = file ? (long)fread(result, 1, sizeof result, file) : 0;
    if (file) fclose(file);
    if (length < 54 || result[0] != 'B' || result[1] != 'M') {
        fprintf(stderr, "consumer: %s is not a BMP\n", output);
        return 1;
    }
    /* A counter-clockwise quarter turn stands the picture up: 1 wide, 2
     * high, the right-hand pixel (blue) on top. */
    if (little_endian(result + 18, 4) != 1 || labs(little_endian(result + 22, 4)) != 2) {
        fprintf(stderr, "consumer: a quarter turn of 2x1 pixels is not 1x2\n");
        return 1;
    }
    if (!bmp_pixel(result, length, 0, 0, top) || !bmp_pixel(result, length, 0, 1, bottom) ||
        memcmp(top, "\x00\x00\xff", 3) != 0 || memcmp(bottom, "\xff\x00\x00", 3) != 0) {
        fprintf(stderr, "consumer: wrong pixels after a quarter turn\n");
        return 1;
    }

    if (veerpix_fixed(input, output, 45) != 0 ||
        strcmp(veerpix_last_error(), "degrees must be 90, 180 or 270 (got 45)") != 0) {
        fprintf(stderr, "consumer: 45 degrees not refused as expected (message: %s)\n", veerpix_last_error());
        return 1;
    }
    printf("consumer: the installed library turned the picture\n");
    return 0;
}
