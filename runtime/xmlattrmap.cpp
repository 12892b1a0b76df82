#include "xmlattrmap.h"

#include <cstring>
#include <new>

namespace {

const int32_t kMaxItems = static_cast<int32_t>(INT32_MAX / sizeof(CXML_AttrItem));

} // namespace

const CZR_WideStringL* CXML_AttrMap::Lookup(const CZR_ByteStringC& prefix,
                                            const CZR_ByteStringC& name) const
{
    for (int32_t i = 0; i < m_nSize; ++i) {
        if (m_pItems[i].Matches(prefix, name))
            return &m_pItems[i].m_Value;
    }
    return nullptr;
}

bool CXML_AttrMap::SetAt(const CZR_ByteStringC& prefix, const CZR_ByteStringC& name,
                         const CZR_WideStringC& value, _IZR_Allocator* pAllocator,
                         const CXML_PackedRange& packed)
{
    for (int32_t i = 0; i < m_nSize; ++i) {
        CXML_AttrItem& item = m_pItems[i];
        if (!item.Matches(prefix, name))
            continue;
        CZR_WideStringL newValue;
        if (!newValue.Set(value, pAllocator))
            return false;
        packed.Release(item.m_Value, pAllocator);
        item.m_Value = newValue;
        m_bAllPacked = false;
        return true;
    }
    if (m_nSize == m_nMaxSize) {
        if (m_nSize >= kMaxItems)
            return false;
        const int32_t newMax = m_nMaxSize < 4 ? 4 : (m_nMaxSize > kMaxItems / 2 ? kMaxItems : m_nMaxSize * 2);
        if (!Reserve(newMax, pAllocator, packed))
            return false;
    }
    CXML_AttrItem& item = m_pItems[m_nSize];
    item = CXML_AttrItem();
    if (!item.m_QSpaceName.Set(prefix, pAllocator) || !item.m_AttrName.Set(name, pAllocator)
        || !item.m_Value.Set(value, pAllocator)) {
        item.Empty(pAllocator);
        return false;
    }
    ++m_nSize;
    return true;
}

bool CXML_AttrMap::Reserve(int32_t count, _IZR_Allocator* pAllocator, const CXML_PackedRange& packed)
{
    if (count <= m_nMaxSize)
        return true;
    if (count > kMaxItems)
        return false;
    void* pMemory = ZR_Alloc(pAllocator, static_cast<size_t>(count) * sizeof(CXML_AttrItem));
    if (!pMemory)
        return false;
    auto* pNew = static_cast<CXML_AttrItem*>(pMemory);
    for (int32_t i = 0; i < count; ++i)
        new (&pNew[i]) CXML_AttrItem();
    for (int32_t i = 0; i < m_nSize; ++i)
        pNew[i] = m_pItems[i]; // plain records: the strings move with their pointers
    packed.Free(pAllocator, m_pItems);
    m_pItems = pNew;
    m_nMaxSize = count;
    m_bAllPacked = false;
    return true;
}

void CXML_AttrMap::AttachPacked(CXML_AttrItem* pItems, int32_t count)
{
    m_pItems = pItems;
    m_nSize = count;
    m_nMaxSize = count;
    m_bAllPacked = true;
}

void CXML_AttrMap::RemoveAll(_IZR_Allocator* pAllocator, const CXML_PackedRange& packed)
{
    if (m_bAllPacked) {
        m_pItems = nullptr;
        m_nSize = 0;
        m_nMaxSize = 0;
        m_bAllPacked = false;
        return;
    }
    for (int32_t i = 0; i < m_nSize; ++i) {
        packed.Release(m_pItems[i].m_QSpaceName, pAllocator);
        packed.Release(m_pItems[i].m_AttrName, pAllocator);
        packed.Release(m_pItems[i].m_Value, pAllocator);
    }
    packed.Free(pAllocator, m_pItems);
    m_pItems = nullptr;
    m_nSize = 0;
    m_nMaxSize = 0;
}
