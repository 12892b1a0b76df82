#include "xmlcontent.h"

#include <cstring>
#include <new>

CXML_Content* CXML_Content::Create(const CZR_WideStringC& text, int32_t bCDATA,
                                   _IZR_Allocator* pAllocator)
{
    const int32_t length = text.GetLength();
    const size_t textBytes = length > 0 ? (static_cast<size_t>(length) + 1) * sizeof(wchar_t) : 0;
    // Lengths come from 32-bit views, so this only fails where size_t is 32 bits wide.
    if (length > 0 && static_cast<size_t>(length) >= (SIZE_MAX - sizeof(CXML_Content)) / sizeof(wchar_t) - 1)
        return nullptr;
    void* pMemory = ZR_Alloc(pAllocator, sizeof(CXML_Content) + textBytes);
    if (!pMemory)
        return nullptr;
    auto* pContent = new (pMemory) CXML_Content();
    pContent->m_bCDATA = bCDATA;
    if (length > 0) {
        wchar_t* pText = pContent->InlineText();
        std::memcpy(pText, text.GetPtr(), static_cast<size_t>(length) * sizeof(wchar_t));
        pText[length] = 0;
        pContent->m_Content.Attach(pText, length);
    }
    return pContent;
}

void CXML_Content::Destroy(CXML_Content* pContent, _IZR_Allocator* pAllocator)
{
    if (!pContent)
        return;
    if (pContent->m_Content.GetPtr() == pContent->InlineText())
        pContent->m_Content.Detach();
    else
        pContent->m_Content.Empty(pAllocator);
    ZR_Free(pAllocator, pContent);
}
