#include "xmlcontent.h"

#include <new>

CXML_Content* CXML_Content::Create(const CZR_WideStringC& text, int32_t bCDATA,
                                   _IZR_Allocator* pAllocator)
{
    void* pMemory = ZR_Alloc(pAllocator, sizeof(CXML_Content));
    if (!pMemory)
        return nullptr;
    auto* pContent = new (pMemory) CXML_Content();
    pContent->m_bCDATA = bCDATA;
    if (!pContent->m_Content.Set(text, pAllocator)) {
        ZR_Free(pAllocator, pMemory);
        return nullptr;
    }
    return pContent;
}

void CXML_Content::Destroy(CXML_Content* pContent, _IZR_Allocator* pAllocator)
{
    if (!pContent)
        return;
    pContent->m_Content.Empty(pAllocator);
    ZR_Free(pAllocator, pContent);
}
