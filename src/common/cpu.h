// What the CPU offers, asked at run time: the AVX2 kernels of the JPEG
// writer and decoder are called only where it says yes.
#pragma once

#if defined(_MSC_VER)
#include <intrin.h>
#endif

// The CPU must have AVX2 and the system must save the 256-bit registers
// (XGETBV); GCC's and clang's check asks both.
inline bool cpu_has_avx2() {
#if defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool os_saves_ymm = (info[2] & (1 << 27)) && (_xgetbv(0) & 6) == 6;
    __cpuidex(info, 7, 0);
    return os_saves_ymm && (info[1] & (1 << 5));
#else
    return __builtin_cpu_supports("avx2");
#endif
}
