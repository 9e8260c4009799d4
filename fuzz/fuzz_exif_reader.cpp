// The EXIF reader on arbitrary bytes, with message buffers of several
// sizes: each buffer is allocated to its exact size, so AddressSanitizer
// sees any write past it, and the result must not depend on the size.
#include <cstdint>
#include <cstring>
#include <memory>

#include "metadata/exif.h"

namespace {

constexpr uint64_t kMessageSizes[] = {1, 2, 5, 17, 256};
constexpr char kUnwritten = 'x';

bool untouched(const char* msg, uint64_t msg_size) {
    for (uint64_t i = 0; i < msg_size; ++i) {
        if (msg[i] != kUnwritten) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int expected = qv_exif_parse_orientation(data, size, nullptr, 0);
    if (expected < 0 || expected > 0xFFFF) __builtin_trap();

    // Size 0 with a real pointer: nothing may be written to it.
    char sentinel = kUnwritten;
    if (qv_exif_parse_orientation(data, size, &sentinel, 0) != expected) __builtin_trap();
    if (sentinel != kUnwritten) __builtin_trap();

    for (uint64_t msg_size : kMessageSizes) {
        std::unique_ptr<char[]> msg(new char[msg_size]);
        std::memset(msg.get(), kUnwritten, msg_size);
        const int result = qv_exif_parse_orientation(data, size, msg.get(), msg_size);
        if (result != expected) __builtin_trap();
        // A message, where one was written, ends inside the buffer; a found
        // value comes without one.
        const bool written = !untouched(msg.get(), msg_size);
        if (written && std::memchr(msg.get(), '\0', msg_size) == nullptr) __builtin_trap();
        if (written && result != 0) __builtin_trap();
    }
    return 0;
}
