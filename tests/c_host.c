/* A plain C host: includes the header as C and calls the library. */
#include <stdio.h>
#include <string.h>

#include "veerpix.h"

static int failures = 0;

static void expect(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "c_host: FAILED: %s (last error: %s)\n", what, veerpix_last_error());
        ++failures;
    }
}

int main(int argc, char **argv) {
    char input[4096], output[4096];
    FILE *file;
    /* A 1x1 24-bit BMP. */
    static const unsigned char bmp[58] = {
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
        1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 10, 20, 30, 0};
    if (argc < 2) return 2;
    snprintf(input, sizeof input, "%s/c_host_in.bmp", argv[1]);
    snprintf(output, sizeof output, "%s/c_host_out.png", argv[1]);
    file = fopen(input, "wb");
    if (!file || fwrite(bmp, 1, sizeof bmp, file) != sizeof bmp || fclose(file) != 0) return 2;

    expect(veerpix_init() == 1, "init returns 1");
    expect(strcmp(veerpix_last_error(), "") == 0, "empty text after init");
    expect(veerpix_fixed(input, output, 90) == 1, "fixed");
    expect(veerpix_flip_h(input, output) == 1, "flip_h");
    expect(veerpix_flip_v(input, output) == 1, "flip_v");
    expect(veerpix_angle(input, output, 12.5f, 1, 2, 3) == 1, "angle");
    expect(veerpix_auto_orient(input, output) == 1, "auto_orient");
    expect(veerpix_copy_metadata(input, output) == 0, "copy_metadata refuses a BMP source");
    {
        veerpix_options options;
        int road = VEERPIX_ROAD_NONE;
        memset(&options, 0, sizeof options);
        options.size = sizeof options;
        options.flags = VEERPIX_KEEP_METADATA;
        expect(veerpix_transform(input, output, VEERPIX_TRANSPOSE, &options, &road) == 1, "transform");
        expect((road & VEERPIX_ROAD_MASK) == VEERPIX_ROAD_REENCODE, "transform reports re-encoding");
        expect(veerpix_transform(input, input, VEERPIX_AUTO_ORIENT, NULL, &road) == 1, "transform in place");
        expect(road == VEERPIX_ROAD_COPY, "auto-orient of a BMP is a copy");
        options.size = 3;
        expect(veerpix_transform(input, output, VEERPIX_KEEP, &options, NULL) == 0, "a short record is refused");
        expect(strcmp(veerpix_last_error(), "options record has an unknown size (3 bytes)") == 0,
               "the record's message");
    }
    expect(veerpix_fixed(NULL, output, 90) == 0, "NULL refused");
    expect(strcmp(veerpix_last_error(), "input/output must not be NULL") == 0, "NULL message");
    veerpix_cleanup();
    expect(strcmp(veerpix_last_error(), "") == 0, "empty text after cleanup");
    remove(input);
    remove(output);
    if (failures == 0) printf("c_host: all calls behaved\n");
    return failures ? 1 : 0;
}
