#ifndef ZRBINARYBUF_H
#define ZRBINARYBUF_H

#include "izrallocator.h"
#include "zrbytestringc.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// A growable byte buffer. It never holds more than INT32_MAX bytes, so its contents can
// always be viewed as a CZR_ByteStringC; an append that would go past that, or that finds
// no memory, is refused (returns false) and leaves the contents as they were.
class CZR_BinaryBuf {
public:
    explicit CZR_BinaryBuf(_IZR_Allocator* pAllocator = nullptr);
    ~CZR_BinaryBuf();
    CZR_BinaryBuf(const CZR_BinaryBuf&) = delete;
    CZR_BinaryBuf& operator=(const CZR_BinaryBuf&) = delete;

    // Appends `size` bytes from `pData` (zeros when it is null).
    bool AppendBlock(const void* pData, size_t size)
    {
        if (pData && size - 1 < m_AllocSize - m_DataSize) { // 0 < size <= room
            std::memcpy(m_pBuffer + m_DataSize, pData, size);
            m_DataSize += size;
            return true;
        }
        return AppendBlockSlow(pData, size);
    }
    bool AppendByte(uint8_t byte);
    // Forgets the contents but keeps the memory for reuse.
    void Clear() { m_DataSize = 0; }
    // Keeps only the first `size` bytes (when there are more).
    void Truncate(size_t size) { m_DataSize = size < m_DataSize ? size : m_DataSize; }
    // Forgets the contents and frees the memory.
    void DeleteBuf();

    uint8_t* GetBuffer() const { return m_pBuffer; }
    int32_t GetSize() const { return static_cast<int32_t>(m_DataSize); }
    CZR_ByteStringC GetByteString() const;

protected:
    bool AppendBlockSlow(const void* pData, size_t size);
    // Makes room for `addSize` more bytes.
    bool ExpandBuf(size_t addSize);

    _IZR_Allocator* m_pAllocator;
    uint8_t* m_pBuffer;
    size_t m_DataSize;
    size_t m_AllocSize;
};

#endif // ZRBINARYBUF_H
