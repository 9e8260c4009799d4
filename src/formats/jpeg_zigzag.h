// The order in which a JPEG carries a block's 64 coefficients (the zigzag
// scan) against their natural, row-major order. Shared by the pixel writer
// and the coefficient reader and writer.
#pragma once

#include <cstdint>

// Position in the zigzag scan of each coefficient in natural order.
constexpr uint8_t kZigzagPosition[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

// The coefficient in natural order at each position of the zigzag scan.
constexpr struct natural_order {
    uint8_t index[64];
    constexpr natural_order() : index() {
        for (int i = 0; i < 64; ++i) index[kZigzagPosition[i]] = static_cast<uint8_t>(i);
    }
    constexpr uint8_t operator[](int position) const { return index[position]; }
} kNaturalOrder;
