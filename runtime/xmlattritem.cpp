#include "xmlattritem.h"

bool CXML_AttrItem::Matches(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name) const
{
    if (m_AttrName != name)
        return false;
    return prefix.IsEmpty() || m_QSpaceName == prefix;
}

void CXML_AttrItem::Empty(_IZR_Allocator* pAllocator)
{
    m_QSpaceName.Empty(pAllocator);
    m_AttrName.Empty(pAllocator);
    m_Value.Empty(pAllocator);
}
