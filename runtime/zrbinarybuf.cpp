#include "zrbinarybuf.h"

#include <cstring>

CZR_BinaryBuf::CZR_BinaryBuf(_IZR_Allocator* pAllocator)
    : m_pAllocator(pAllocator), m_pBuffer(nullptr), m_DataSize(0), m_AllocSize(0)
{
}

CZR_BinaryBuf::~CZR_BinaryBuf()
{
    DeleteBuf();
}

void CZR_BinaryBuf::DeleteBuf()
{
    ZR_Free(m_pAllocator, m_pBuffer);
    m_pBuffer = nullptr;
    m_DataSize = 0;
    m_AllocSize = 0;
}

bool CZR_BinaryBuf::ExpandBuf(size_t addSize)
{
    const size_t limit = static_cast<size_t>(INT32_MAX);
    if (addSize > limit - m_DataSize)
        return false;
    const size_t needed = m_DataSize + addSize;
    if (needed <= m_AllocSize)
        return true;
    size_t newSize = m_AllocSize < 64 ? 64 : m_AllocSize;
    while (newSize < needed)
        newSize = newSize > limit / 2 ? limit : newSize * 2;
    auto* pNew = static_cast<uint8_t*>(ZR_Alloc(m_pAllocator, newSize));
    if (!pNew)
        return false;
    if (m_DataSize)
        std::memcpy(pNew, m_pBuffer, m_DataSize);
    ZR_Free(m_pAllocator, m_pBuffer);
    m_pBuffer = pNew;
    m_AllocSize = newSize;
    return true;
}

bool CZR_BinaryBuf::AppendBlockSlow(const void* pData, size_t size)
{
    if (size == 0)
        return true;
    if (!ExpandBuf(size))
        return false;
    if (pData)
        std::memcpy(m_pBuffer + m_DataSize, pData, size);
    else
        std::memset(m_pBuffer + m_DataSize, 0, size);
    m_DataSize += size;
    return true;
}

bool CZR_BinaryBuf::AppendByte(uint8_t byte)
{
    if (m_DataSize < m_AllocSize) {
        m_pBuffer[m_DataSize++] = byte;
        return true;
    }
    return AppendBlock(&byte, 1);
}

CZR_ByteStringC CZR_BinaryBuf::GetByteString() const
{
    return CZR_ByteStringC(reinterpret_cast<const char*>(m_pBuffer), GetSize());
}
