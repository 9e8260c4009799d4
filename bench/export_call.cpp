// One call of an exported operation as a whole process, for
// bench/compare.sh to time beside the peers:
//   veerpix_export_call fixed IN OUT DEGREES [PNG_LEVEL]
//   veerpix_export_call auto-orient IN OUT
// PNG_LEVEL sets the PNG writer's level for the call (the compressor's
// own level, 1 to 12, where the build has libdeflate), so that the
// benchmark can time each candidate level through the very same call.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stb_image_write.h"
#include "veerpix.h"

int main(int argc, char** argv) {
    const bool fixed = argc >= 5 && argc <= 6 && std::strcmp(argv[1], "fixed") == 0;
    const bool auto_orient = argc == 4 && std::strcmp(argv[1], "auto-orient") == 0;
    if (!fixed && !auto_orient) {
        std::fprintf(stderr, "usage: veerpix_export_call fixed IN OUT DEGREES [PNG_LEVEL]\n"
                             "       veerpix_export_call auto-orient IN OUT\n");
        return 2;
    }
    if (argc == 6) stbi_write_png_compression_level = std::atoi(argv[5]);
    if (veerpix_init() != 1) return 1;
    const int done =
        fixed ? veerpix_fixed(argv[2], argv[3], std::atoi(argv[4])) : veerpix_auto_orient(argv[2], argv[3]);
    if (done != 1) std::fprintf(stderr, "veerpix_export_call: %s\n", veerpix_last_error());
    veerpix_cleanup();
    return done == 1 ? 0 : 1;
}
