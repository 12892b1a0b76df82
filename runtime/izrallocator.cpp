#include "izrallocator.h"

#include <cstdlib>

void* ZR_Alloc(_IZR_Allocator* pAllocator, size_t size)
{
    if (size == 0)
        size = 1;
    if (pAllocator)
        return pAllocator->m_Alloc(pAllocator, size);
    return std::malloc(size);
}

void ZR_Free(_IZR_Allocator* pAllocator, void* p)
{
    if (!p)
        return;
    if (pAllocator)
        pAllocator->m_Free(pAllocator, p);
    else
        std::free(p);
}
