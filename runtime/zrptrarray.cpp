#include "zrptrarray.h"

#include <cstring>

namespace {

// Most words an array may hold: the byte size of its storage stays below 2 GiB.
const int32_t kMaxWords = static_cast<int32_t>(INT32_MAX / sizeof(void*));

} // namespace

CZR_PtrArray::CZR_PtrArray(_IZR_Allocator* pAllocator)
    : m_pAllocator(pAllocator), m_pData(m_Inline), m_nSize(0), m_nMaxSize(kInlineWords), m_Inline{}
{
}

CZR_PtrArray::~CZR_PtrArray()
{
    RemoveAll();
}

bool CZR_PtrArray::Reserve(int32_t needed)
{
    if (needed <= m_nMaxSize)
        return true;
    if (needed > kMaxWords)
        return false;
    // Doubling from the inline pair: most elements of a document have one child (a pair
    // of words) and need no storage; large arrays are rarely moved and freed.
    int32_t newMax = m_nMaxSize;
    while (newMax < needed)
        newMax = newMax > kMaxWords / 2 ? kMaxWords : newMax * 2;
    auto** pNew = static_cast<void**>(ZR_Alloc(m_pAllocator, static_cast<size_t>(newMax) * sizeof(void*)));
    if (!pNew)
        return false;
    if (m_nSize)
        std::memcpy(pNew, m_pData, static_cast<size_t>(m_nSize) * sizeof(void*));
    if (!HoldsInline())
        ZR_Free(m_pAllocator, m_pData);
    m_pData = pNew;
    m_nMaxSize = newMax;
    return true;
}

bool CZR_PtrArray::Add(void* p)
{
    if (!Reserve(m_nSize + 1))
        return false;
    m_pData[m_nSize++] = p;
    return true;
}

bool CZR_PtrArray::AddPair(void* first, void* second)
{
    if (m_nSize > kMaxWords - 2 || !Reserve(m_nSize + 2))
        return false;
    m_pData[m_nSize++] = first;
    m_pData[m_nSize++] = second;
    return true;
}

void CZR_PtrArray::RemoveLast(int32_t count)
{
    if (count <= 0)
        return;
    m_nSize = count >= m_nSize ? 0 : m_nSize - count;
}

void CZR_PtrArray::RemoveAll()
{
    if (!HoldsInline())
        ZR_Free(m_pAllocator, m_pData);
    m_pData = m_Inline;
    m_nSize = 0;
    m_nMaxSize = kInlineWords;
}
