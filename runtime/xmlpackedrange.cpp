#include "xmlpackedrange.h"

void CXML_PackedRange::Free(_IZR_Allocator* pAllocator, void* p) const
{
    if (!Holds(p))
        ZR_Free(pAllocator, p);
}

void CXML_PackedRange::Release(CZR_ByteStringL& text, _IZR_Allocator* pAllocator) const
{
    if (Holds(text.GetPtr()))
        text.Detach();
    else
        text.Empty(pAllocator);
}

void CXML_PackedRange::Release(CZR_WideStringL& text, _IZR_Allocator* pAllocator) const
{
    if (Holds(text.GetPtr()))
        text.Detach();
    else
        text.Empty(pAllocator);
}
