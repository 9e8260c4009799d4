// Owners of malloc'd buffers: every buffer of the library comes from malloc
// and goes back with free, on every path.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using malloc_ptr = std::unique_ptr<T, FreeDeleter>;
