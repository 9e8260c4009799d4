/* Rasters and codec buffers of many megabytes. The first touch of each page
 * of fresh memory costs a page fault; a 24 MP raster is 23,000 pages of
 * 4 KiB, and on virtual machines that hand freed memory back to their
 * host those faults can take far longer than filling the raster: a malloc
 * and memcpy of 96 MB took 1 s on the project's build machine, 60 ms with
 * this hint, 30 ms into memory touched before. Backed by 2 MiB pages the
 * raster takes 48 faults. The block is a plain malloc block, released with
 * free; the hint changes nothing else. C and C++. */
#ifndef VEERPIX_LARGE_BLOCK_H
#define VEERPIX_LARGE_BLOCK_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

/* Asks for huge pages over the whole 2 MiB pages of a block not yet
 * touched. */
static inline void veerpix_hint_huge_pages(void *block, size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t huge_page = (uintptr_t)2 << 20;
    /* Small blocks share their pages with other allocations: leave them be. */
    if (block && bytes >= 4 * huge_page) {
        const uintptr_t start = ((uintptr_t)block + huge_page - 1) & ~(huge_page - 1);
        const uintptr_t end = ((uintptr_t)block + bytes) & ~(huge_page - 1);
        /* Only a hint: where the kernel declines, the block works as ever. */
        if (end > start) (void)madvise((void *)start, end - start, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

static inline void *veerpix_malloc_large(size_t bytes)
{
    void *block = malloc(bytes);
    veerpix_hint_huge_pages(block, bytes);
    return block;
}

/* Zero-filled. A large block comes fresh from the kernel, already zero, and
 * calloc then leaves it untouched: zeroing it again would cost a write of
 * every page. */
static inline void *veerpix_calloc_large(size_t count, size_t size)
{
    void *block = calloc(count, size);
    if (block && count) veerpix_hint_huge_pages(block, count * size);
    return block;
}

#endif
