// The decode road's JPEG decoder against the codec on arbitrary files:
// wherever ours takes a file, the codec must decode it too, to the same
// RGBA bytes. Files the decoder guard refuses reach neither (the codec's
// known faults lie behind it).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "formats/decode_guard.h"
#include "formats/jpeg_decoder.h"
#include "stb_image.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24) || decode_guard_check(data, size) != nullptr) return 0;
    int width = 0, height = 0, channels = 0;
    // Large pictures take long under the sanitizers and teach nothing new.
    if (!stbi_info_from_memory(data, static_cast<int>(size), &width, &height, &channels)) return 0;
    if (int64_t{width} * height > (int64_t{1} << 22)) return 0;
    uint32_t our_width = 0, our_height = 0;
    const malloc_ptr<uint8_t> ours = decode_jpeg_rgba(data, size, &our_width, &our_height);
    if (!ours) return 0;
    uint8_t* codec = stbi_load_from_memory(data, static_cast<int>(size), &width, &height, &channels, 4);
    require(codec != nullptr);
    require(uint32_t(width) == our_width && uint32_t(height) == our_height);
    require(std::memcmp(codec, ours.get(), size_t{our_width} * our_height * 4) == 0);
    std::free(codec);
    return 0;
}
