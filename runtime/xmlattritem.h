#ifndef XMLATTRITEM_H
#define XMLATTRITEM_H

#include "izrallocator.h"
#include "zrbytestringl.h"
#include "zrwidestringl.h"

// One attribute of an element: namespace prefix (empty if none), local name and value.
// A plain record: the owning map releases its strings with Empty(allocator).
struct CXML_AttrItem {
    CZR_ByteStringL m_QSpaceName;
    CZR_ByteStringL m_AttrName;
    CZR_WideStringL m_Value;

    // The local name equals `name` and, when `prefix` is not empty, the prefix equals it.
    bool Matches(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name) const;
    void Empty(_IZR_Allocator* pAllocator);
};

#endif // XMLATTRITEM_H
