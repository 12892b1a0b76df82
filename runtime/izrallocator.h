#ifndef IZRALLOCATOR_H
#define IZRALLOCATOR_H

#include <cstddef>

// Memory source for the XML tree and the plain strings stored in it. Both hooks get the
// allocator itself, so an implementation can keep its own state next to the two
// pointers. Wherever an allocator pointer is taken, null means the default heap.
// m_Alloc returns null when it cannot serve the request; m_Free accepts only pointers
// that m_Alloc returned.
struct _IZR_Allocator {
    void* (*m_Alloc)(_IZR_Allocator* pAllocator, size_t size);
    void (*m_Free)(_IZR_Allocator* pAllocator, void* p);
};

// Allocates through the allocator, or from the default heap when it is null.
// Returns null on failure. A request of 0 bytes is served as 1 byte.
void* ZR_Alloc(_IZR_Allocator* pAllocator, size_t size);

// Frees what ZR_Alloc returned for the same allocator. A null pointer is ignored.
void ZR_Free(_IZR_Allocator* pAllocator, void* p);

#endif // IZRALLOCATOR_H
