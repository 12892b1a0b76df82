#include "xmlpackedrange.h"

void CXML_PackedRange::Free(_IZR_Allocator* pAllocator, void* p) const
{
    if (!Holds(p))
        ZR_Free(pAllocator, p);
}
