#ifndef XMLCONTENT_H
#define XMLCONTENT_H

#include "izrallocator.h"
#include "zrwidestringl.h"

#include <cstdint>

// A text child of an element. The parser never stores empty text and always stores a
// CDATA flag of 0 (CDATA sections are skipped).
struct CXML_Content {
    int32_t m_bCDATA;
    CZR_WideStringL m_Content;

    // A new text child holding a copy of `text`, from the allocator in one allocation
    // together with the record; null when memory runs out.
    static CXML_Content* Create(const CZR_WideStringC& text, int32_t bCDATA, _IZR_Allocator* pAllocator);
    // Frees a text child made by Create with the same allocator. Null is ignored.
    static void Destroy(CXML_Content* pContent, _IZR_Allocator* pAllocator);

private:
    // Where Create puts the text: right after the record.
    wchar_t* InlineText() { return reinterpret_cast<wchar_t*>(this + 1); }
};

#endif // XMLCONTENT_H
