// Allocator of the host process: the C heap, behind names that a host
// process can interpose to count or fail allocations.
#include "host/mem.h"

#include <cstdlib>

extern "C" {

VELMO_API void *mem_malloc(size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

VELMO_API void mem_free(void *pointer)
{
    std::free(pointer);
}
}
