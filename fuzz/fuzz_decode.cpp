// The decoding step on arbitrary files: the header checks and the decoder
// behind them, as every operation that changes pixels reaches them. Under
// AddressSanitizer any read or write the decoder makes out of bounds shows.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/error.h"
#include "formats/image_io.h"
#include "veerpix.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The operations never decode an empty file: read_file refuses it.
    if (size == 0) return 0;
    clear_err();
    pix_image raster{};
    if (decode_image(data, size, "input", &raster)) {
        require(raster.width > 0 && raster.height > 0 && raster.pixels != nullptr);
        // Touch the last pixel: the buffer must hold the whole raster.
        const size_t bytes = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height) * 4;
        volatile uint8_t last = raster.pixels[bytes - 1];
        (void)last;
        std::free(raster.pixels);
    } else {
        require(std::strncmp(veerpix_last_error(), "cannot decode image: ", 21) == 0);
    }
    return 0;
}
